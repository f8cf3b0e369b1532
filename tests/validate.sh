#!/usr/bin/env bash
# Runs one of the distribution's validators on installed-to-be files and fails on anything it
# reports, warnings included:
#   validate.sh desktop FILE...    desktop-file-validate
#   validate.sh appstream FILE...  appstreamcli validate --no-net
#   validate.sh manual FILE...     man's formatter warnings, and a NAME line whatis can read
# Exits 77 (skipped) when the validator is not installed.
set -euo pipefail
kind=$1
shift
case $kind in
desktop) tools=(desktop-file-validate) ;;
appstream) tools=(appstreamcli) ;;
manual) tools=(man lexgrog) ;;
*) echo "unknown kind $kind" >&2; exit 2 ;;
esac
for tool in "${tools[@]}"; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed (scripts/deps.sh installs it in CI)"
        exit 77
    fi
done

failed=0
for file in "$@"; do
    case $kind in
    desktop)
        report=$(desktop-file-validate "$file" 2>&1) || failed=1
        ;;
    appstream)
        report=$(appstreamcli validate --no-net "$file" 2>&1) || failed=1
        ;;
    manual)
        report=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null) ||
            failed=1
        name=$(basename "$file" | sed 's/\.1\(\.gz\)\?$//')
        whatis=$(lexgrog "$file" 2>&1) || failed=1
        if ! grep -q "\"$name - " <<<"$whatis"; then
            report+="no NAME line for $name: $whatis"
        fi
        ;;
    esac
    echo "$(basename "$file"): ${report:-clean}"
    if [ -n "$report" ] && [ "$kind" != appstream ]; then failed=1; fi
done
exit $failed
