# Installs the build into a scratch prefix and checks that the panel, its command-line client, the
# simulator, the desktop entry and the icons land where a desktop expects them.
set(prefix ${BUILD_DIR}/install-check)
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(file bin/mirastellon bin/mirastellon-ctl bin/dvxsim share/applications/mirastellon.desktop
             share/icons/hicolor/256x256/apps/mirastellon.png
             share/mirastellon/images/Mirastellon_Icon_only@500x.png)
    if(NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()
file(READ ${prefix}/share/applications/mirastellon.desktop desktop)
if(NOT desktop MATCHES "Exec=mirastellon" OR NOT desktop MATCHES "Icon=mirastellon")
    message(FATAL_ERROR "desktop entry lacks Exec or Icon:\n${desktop}")
endif()
file(REMOVE_RECURSE ${prefix})
