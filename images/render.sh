#!/bin/sh
# Renders the PNG images (and the Windows .ico) from their SVG sources.
# Needs rsvg-convert (librsvg) and python3. Run from anywhere.
set -eu
cd "$(dirname "$0")"

for name in connect disconnect settings clear application-exit trace sequence; do
    rsvg-convert -w 48 -h 48 -f png -o "$name.png" "$name.svg"
done

rsvg-convert -w 256 -h 256 -f png -o Mirastellon_Icon_only@500x.png Mirastellon_Icon_only@500x.svg

# One 256x256, 32-bit image stored as PNG: 6-byte ICONDIR + 16-byte ICONDIRENTRY + the PNG bytes.
python3 - Mirastellon_Icon_only@500x.png Mirastellon_Icon_only@500x.ico <<'PY'
import struct, sys
png = open(sys.argv[1], "rb").read()
header = struct.pack("<HHH", 0, 1, 1)
entry = struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(png), 6 + 16)  # 0 means 256
open(sys.argv[2], "wb").write(header + entry + png)
PY
