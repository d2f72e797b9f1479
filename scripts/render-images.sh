#!/usr/bin/env bash
# Renders the drawn pictures in resources/images/src/ into the PNG and ICO files the program's
# resource bundle and the desktop icon theme use, and records in resources/images/src/rendered.sha256
# which source each file was rendered from, so a test can tell a stale picture.
# A developer tool: the build uses the rendered files kept in the repository.
# Needs rsvg-convert (Debian package librsvg2-bin) and ImageMagick's convert (package imagemagick).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
resources="$root/resources"
sources="$resources/images/src"
manifest="$sources/rendered.sha256"

missing_packages=()
if ! command -v rsvg-convert >/dev/null 2>&1; then
    echo "render-images: rsvg-convert is missing (Debian package librsvg2-bin)" >&2
    missing_packages+=(librsvg2-bin)
fi
# Some machines carry a stand-in named convert; only ImageMagick's own writes an ICO.
if ! convert -version 2>/dev/null | head -n 1 | grep -q '^Version: ImageMagick'; then
    echo "render-images: ImageMagick's convert is missing (Debian package imagemagick)" >&2
    missing_packages+=(imagemagick)
fi
if [ "${#missing_packages[@]}" -gt 0 ]; then
    echo "render-images: install with: apt-get install ${missing_packages[*]}" >&2
    exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
manifest_lines=()

sha256_of() {
    sha256sum "$1" | cut -d ' ' -f 1
}

# record SOURCE OUTPUT, both relative to resources/
record() {
    manifest_lines+=("$(sha256_of "$resources/$1") $1 $(sha256_of "$resources/$2") $2")
}

# render SOURCE OUTPUT WIDTH HEIGHT, both paths relative to resources/
render() {
    local source="$1" output="$2" width="$3" height="$4"
    mkdir -p "$(dirname "$resources/$output")"
    rsvg-convert --width "$width" --height "$height" --format png \
        --output "$work/picture.png" "$resources/$source"
    mv "$work/picture.png" "$resources/$output"
    record "$source" "$output"
}

for model in T5 M7 K3; do
    render "images/src/$model.svg" "images/$model.png" 320 136
    render "images/src/guide_$model.svg" "images/guide_$model.png" 144 132
done
render images/src/close.svg images/close.png 32 32
render images/src/arrow.svg images/arrow.png 48 16
render images/src/logo.svg images/logo.png 64 64

icon_name=brivane-firmware-tool
for size in 16 24 32 48 64 128 256; do
    render images/src/logo.svg "icons/hicolor/${size}x${size}/apps/$icon_name.png" "$size" "$size"
done
mkdir -p "$resources/icons/hicolor/scalable/apps"
cp "$sources/logo.svg" "$resources/icons/hicolor/scalable/apps/$icon_name.svg"
record images/src/logo.svg "icons/hicolor/scalable/apps/$icon_name.svg"

# The ICO takes each size drawn from the source at that size, not scaled from one bitmap.
# Without the date chunks the file is the same on every run.
ico_parts=()
for size in 16 32 48 256; do
    rsvg-convert --width "$size" --height "$size" --format png \
        --output "$work/logo-$size.png" "$sources/logo.svg"
    ico_parts+=("$work/logo-$size.png")
done
convert "${ico_parts[@]}" -define png:exclude-chunks=date,time "$work/logo.ico"
mv "$work/logo.ico" "$resources/images/logo.ico"
record images/src/logo.svg images/logo.ico

{
    echo "# source-sha256 source rendered-sha256 rendered (paths under resources/); written by scripts/render-images.sh"
    printf '%s\n' "${manifest_lines[@]}"
} >"$work/rendered.sha256"
mv "$work/rendered.sha256" "$manifest"
echo "render-images: ${#manifest_lines[@]} files rendered from $(find "$sources" -name '*.svg' | wc -l) drawings"
