#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
#   scripts/test.sh              normal build in build-tests/
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build in build-sanitize/
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"

build="$root/build-tests"
extra=()
if [ "${1:-}" = "--sanitize" ]; then
    build="$root/build-sanitize"
    extra=(-DBRIVANE_SANITIZE=ON)
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug "${extra[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"

runtime_dir="$(mktemp -d)"
chmod 700 "$runtime_dir"
trap 'rm -rf "$runtime_dir"' EXIT
export XDG_RUNTIME_DIR="$runtime_dir"

cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600
