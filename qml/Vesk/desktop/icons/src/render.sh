#!/usr/bin/env bash
# Renders the interface icons from the SVG sources beside this script into the PNGs the interface loads
# (icons/<name>.png). The glyphs are black on transparent: the interface tints them to the palette. The PNGs
# are committed, so running the program needs no SVG support; run this after changing a source.
# Needs rsvg-convert (Debian: librsvg2-bin).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="$(dirname "$here")"
for svg in "$here"/*.svg; do
    name="$(basename "$svg" .svg)"
    case "$name" in
        illus-*) size=192 ;; # shown at 96 logical pixels
        *) size=48 ;;        # shown at 24 or less
    esac
    rsvg-convert --width "$size" --height "$size" --format png --output "$out/$name.png" "$svg"
done
