# Installs the build into a scratch prefix and checks every file there: exactly the expected set,
# programs that run from the prefix, a desktop entry whose program and icon are installed,
# AppStream metadata that names them, compressed manual pages for every program, and the window
# icon where the panel looks for it beside its own program file.
set(prefix ${BUILD_DIR}/install-check)
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

file(STRINGS ${EXPECTED} expected)
file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE ${prefix} ${prefix}/*)
list(SORT found)
if(NOT found STREQUAL expected)
    set(missing ${expected})
    list(REMOVE_ITEM missing ${found})
    set(extra ${found})
    list(REMOVE_ITEM extra ${expected})
    message(FATAL_ERROR "installed files differ: missing [${missing}], unexpected [${extra}]")
endif()

# Programs: each runs from the prefix (no display needed for --version) and has a manual page.
file(GLOB programs RELATIVE ${prefix}/bin ${prefix}/bin/*)
foreach(program ${programs})
    execute_process(COMMAND ${prefix}/bin/${program} --version RESULT_VARIABLE result
                    OUTPUT_VARIABLE output ERROR_VARIABLE error)
    if(NOT result EQUAL 0 OR NOT output MATCHES "^${program} ${VERSION}\n")
        message(FATAL_ERROR "${program} --version: status ${result}, '${output}' '${error}'")
    endif()
    set(manual ${prefix}/share/man/man1/${program}.1.gz)
    if(NOT EXISTS ${manual})
        message(FATAL_ERROR "no manual page for ${program}")
    endif()
    file(READ ${manual} magic LIMIT 2 HEX)
    if(NOT magic STREQUAL "1f8b")
        message(FATAL_ERROR "${program}.1.gz is not compressed")
    endif()
endforeach()

# Images: 256 x 256 PNG files.
foreach(png share/icons/hicolor/256x256/apps/mirastellon.png
            share/mirastellon/images/Mirastellon_Icon_only@500x.png)
    file(READ ${prefix}/${png} header LIMIT 24 HEX)
    string(SUBSTRING "${header}" 0 16 signature)
    string(SUBSTRING "${header}" 32 16 size)
    if(NOT signature STREQUAL "89504e470d0a1a0a" OR NOT size STREQUAL "0000010000000100")
        message(FATAL_ERROR "${png} is not a 256 x 256 PNG (${header})")
    endif()
endforeach()

# The panel looks for its window icon in ../share/mirastellon/images/ from its own program file
# when the working directory has none; a start from the desktop entry depends on it.
if(NOT EXISTS ${prefix}/bin/../share/mirastellon/images/Mirastellon_Icon_only@500x.png)
    message(FATAL_ERROR "no window icon beside the installed program")
endif()

# Desktop entry: its program and its icon are the installed ones; no working directory is needed.
file(READ ${prefix}/share/applications/mirastellon.desktop desktop)
foreach(line "Exec=mirastellon\n" "Icon=mirastellon\n" "Type=Application\n")
    string(FIND "${desktop}" "${line}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "desktop entry lacks ${line}${desktop}")
    endif()
endforeach()
if(desktop MATCHES "\nPath=")
    message(FATAL_ERROR "desktop entry names a working directory")
endif()

# AppStream metadata: launches the installed entry, provides the installed programs.
file(READ ${prefix}/share/metainfo/org.mirastellon.mirastellon.metainfo.xml metainfo)
string(FIND "${metainfo}" "<launchable type=\"desktop-id\">mirastellon.desktop</launchable>" at)
if(at EQUAL -1)
    message(FATAL_ERROR "metainfo does not launch mirastellon.desktop")
endif()
string(REGEX MATCHALL "<binary>[^<]+</binary>" provided "${metainfo}")
foreach(binary ${provided})
    string(REGEX REPLACE "</?binary>" "" binary "${binary}")
    if(NOT EXISTS ${prefix}/bin/${binary})
        message(FATAL_ERROR "metainfo provides ${binary}, which is not installed")
    endif()
endforeach()
string(FIND "${metainfo}" "<release version=\"${VERSION}\"" at)
if(at EQUAL -1)
    message(FATAL_ERROR "metainfo lacks release ${VERSION}")
endif()

file(READ ${prefix}/share/doc/mirastellon/copyright copyright)
string(FIND "${copyright}" "/usr/share/common-licenses/GPL-3" at)
if(at EQUAL -1)
    message(FATAL_ERROR "copyright names no licence")
endif()

file(REMOVE_RECURSE ${prefix})
