#!/usr/bin/env bash
# Renders Vesk's artwork from the hand-written SVG sources in resources/src/ into the PNGs that are compiled into
# the program (resources/) and installed for the desktop (packaging/icons/). The PNGs are committed, so a normal
# build never needs this script; run it after changing a source and commit the results.
#
# Needs rsvg-convert (Debian: librsvg2-bin) and the DejaVu fonts (fonts-dejavu-core) for the labels.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
src="$root/resources/src"
pics="$root/resources/qml/Vesk/pics"
hicolor="$root/packaging/icons/hicolor"

command -v rsvg-convert >/dev/null || { echo "rsvg-convert not found (apt-get install librsvg2-bin)" >&2; exit 1; }

render() { # render <svg> <size-w> <size-h> <png>
    mkdir -p "$(dirname "$4")"
    rsvg-convert --width "$2" --height "$3" --format png --output "$4" "$1"
}

render "$src/vesk.svg" 512 512 "$pics/Vesk.png"
render "$src/redcircle.svg" 256 256 "$pics/redcircle.png"
render "$src/logo.svg" 256 256 "$pics/ui/img-logo.png"
render "$src/avatar-default.svg" 512 512 "$pics/ui/icn-avatar-default-512.png"
render "$src/avatar-default.svg" 256 256 "$pics/ui/bl-avatar-default.png"
render "$src/watermark.svg" 165 348 "$root/resources/vesk_watermark.png"
# A folder sent or received as one entry of the file lists.
render "$src/folder-entry.svg" 128 128 "$pics/fileicons/folder-entry.png"

# Desktop icons: the small sizes come from a redrawn mark that stays legible at 16 and 32 pixels.
for n in 16 32; do
    render "$src/vesk-small.svg" "$n" "$n" "$hicolor/${n}x${n}/apps/vesk.png"
done
for n in 48 64 128 256 512; do
    render "$src/vesk.svg" "$n" "$n" "$hicolor/${n}x${n}/apps/vesk.png"
done
mkdir -p "$hicolor/scalable/apps"
cp "$src/vesk.svg" "$hicolor/scalable/apps/vesk.svg"

# File-type icons: one template, filled in per type.
#   name        glyph    colour   label
filetypes="
fileicon_bg  lines    #7D8F9C  FILE
movie        play     #8A5CC7  VIDEO
image        picture  #2FA37A  IMAGE
pdf          lines    #D9463F  PDF
word         lines    #2F6FC0  DOC
excel        grid     #2E8B57  XLS
compressed   zipper   #B7893A  ZIP
text         lines    #5F7A8A  TXT
music        note     #D6477F  AUDIO
powerpoint   pie      #DD6A35  PPT
photoshop    layers   #2A5DA8  PSD
fireworks    star     #C9A227  FW
developer    code     #3F4E5A  CODE
keynote      easel    #3B8BD0  KEY
flash        bolt     #C6392F  SWF
css          braces   #2D86C4  CSS
folder       folder   #E2A93B  FOLDER
html         globe    #E0723A  HTML
numbers      bars     #3DA34E  NUM
illustrator  pen      #D9822B  AI
pages        lines    #E69A2E  PAGES
"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
while read -r name glyph colour label; do
    [ -n "$name" ] || continue
    # Longer labels get a smaller size so they stay inside the band.
    case ${#label} in
        [1-4]) size=19 ;;
        5) size=16 ;;
        *) size=14 ;;
    esac
    sed -e "s|@GLYPH@|$glyph|g" -e "s|@COLOR@|$colour|g" -e "s|@LABEL@|$label|g" -e "s|@LABELSIZE@|$size|g" \
        "$src/fileicon-template.svg" >"$work/$name.svg"
    render "$work/$name.svg" 128 128 "$pics/fileicons/$name.png"
done <<<"$filetypes"

echo "Artwork rendered into $root/resources and $hicolor"
