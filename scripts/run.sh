#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
# Arguments are passed on to the program.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"

build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRIVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target brivane-firmware-tool brivane-fwtool

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "run: no display found; starting without a visible window (QT_QPA_PLATFORM=offscreen)." >&2
    export QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software
fi
exec "$build/app/gui/brivane-firmware-tool" "$@"
