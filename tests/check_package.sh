#!/usr/bin/env bash
# Builds the .deb from a finished build tree and checks it as a distribution would: control
# fields, every file under /usr and none elsewhere, a copyright file, a run-time dependency on the
# package of every library the programs load, and lintian without errors.
# Usage: check_package.sh BUILD_DIR EXPECTED_FILES_LIST
# Exits 77 (skipped) when a tool it needs is not installed.
set -euo pipefail
build=$1
expected=$2

for tool in cpack dpkg-deb dpkg-shlibdeps lintian objdump; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed (scripts/deps.sh installs it in CI)"
        exit 77
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/mirastellon-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/out/*.deb)
echo "package: $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = mirastellon ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
[ -n "$(field Version)" ] || fail "no Version"
[ "$(field Section)" = science ] || fail "Section is '$(field Section)'"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
echo "Depends: $depends"
# One package name a line, alternatives included.
depended=$(tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//')

# Every path in the package lies under /usr, and the files are exactly the installed layout.
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/paths"
if grep -v '^\./usr/' "$work/paths"; then fail "paths outside /usr"; fi
grep -v '/$' "$work/paths" | sed 's|^\./usr/||' | sort >"$work/files"
sort "$expected" >"$work/expected"
diff -u "$work/expected" "$work/files" || fail "package files differ from the installed layout"
grep -qx 'share/doc/mirastellon/copyright' "$work/files" || fail "no copyright file"

# Each library a program needs comes from a package that Depends names.
dpkg-deb -x "$deb" "$work/root"
for program in "$work"/root/usr/bin/*; do
    for library in $(objdump -p "$program" | awk '$1 == "NEEDED" {print $2}'); do
        # awk reads to the end: leaving early would break ldconfig's pipe under pipefail.
        path=$(ldconfig -p | awk -v lib="$library" '!found && $1 == lib {print $NF; found = 1}')
        [ -n "$path" ] || fail "$(basename "$program") needs $library, which is not installed here"
        owner=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null || dpkg -S "$path" 2>/dev/null) || true
        owner=$(sed -n '1s/:.*//p' <<<"$owner")
        [ -n "$owner" ] || fail "no package owns $path"
        if ! grep -qx "$owner" <<<"$depended"; then
            fail "$(basename "$program") needs $library from $owner, which Depends does not name"
        fi
        echo "$(basename "$program"): $library from $owner"
    done
done

# Errors fail; warnings are shown for whoever reads the log.
status=0
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || status=$?
grep -v 'root privileges' "$work/lintian.log" || true
[ "$status" -eq 0 ] || fail "lintian reports errors (status $status)"
echo "package checks passed"
