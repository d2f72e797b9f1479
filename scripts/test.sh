#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
#   scripts/test.sh              optimised build (RelWithDebInfo, as shipped) in build-tests/
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build (Debug) in build-sanitize/
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"

# The cloud tests run a local store on moto. It patches moto's and botocore's
# internals, so it needs the versions pinned in tests/cloud/requirements.txt.
requirements="$root/tests/cloud/requirements.txt"
checker="$root/tests/cloud/check_test_python.py"
venv="${XDG_CACHE_HOME:-$HOME/.cache}/brivane-firmware-tool/test-venv"

# Prints the first interpreter that has the pinned versions; the reasons of
# the others go to the file named by $1.
find_test_python() {
    local reasons="$1" candidate
    local candidates=()
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3; do
        candidates+=("$candidate")
    done
    candidates+=("$(command -v python3 || true)" /usr/bin/python3 "$venv/bin/python3")
    local -A tried=()
    for candidate in "${candidates[@]}"; do
        if [ -z "$candidate" ] || [ ! -x "$candidate" ] || [ -n "${tried[$candidate]:-}" ]; then
            continue
        fi
        tried[$candidate]=1
        if "$candidate" "$checker" 2>>"$reasons"; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

# Makes the virtual environment from the Python package index; prints why
# not on failure.
make_test_venv() {
    local log="$1"
    rm -rf "$venv"
    mkdir -p "$(dirname "$venv")"
    if ! /usr/bin/python3 -m venv "$venv" >>"$log" 2>&1; then
        echo "python3 -m venv failed (Debian's python3-venv missing?)"
        return 1
    fi
    if ! PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python3" -m pip install --quiet \
        --timeout 30 --retries 1 -r "$requirements" >>"$log" 2>&1; then
        echo "pip could not install them: $(grep -v '^\s*$' "$log" | tail -n 1)"
        return 1
    fi
    if ! "$venv/bin/python3" "$checker" 2>>"$log"; then
        echo "the installed versions do not match: $(tail -n 1 "$log")"
        return 1
    fi
}

provide_test_python() {
    local scratch pinned
    scratch="$(mktemp -d)"
    pinned="$(grep -E '^(moto\[server\]|boto3|botocore)==' "$requirements" | tr '\n' ' ')"
    if [ -n "${BRIVANE_TEST_PYTHON:-}" ]; then
        if "$BRIVANE_TEST_PYTHON" "$checker" 2>"$scratch/reason"; then
            rm -rf "$scratch"
            return 0
        fi
        echo "test: BRIVANE_TEST_PYTHON=$BRIVANE_TEST_PYTHON cannot run the local test store:" >&2
        echo "test:   $(cat "$scratch/reason")" >&2
        echo "test: it needs ${pinned}(tests/cloud/requirements.txt); unset it to let" \
            "scripts/test.sh find or make one." >&2
        rm -rf "$scratch"
        exit 1
    fi
    if BRIVANE_TEST_PYTHON="$(find_test_python "$scratch/reasons")"; then
        export BRIVANE_TEST_PYTHON
        rm -rf "$scratch"
        return 0
    fi
    echo "test: no Python has ${pinned}for the cloud tests' local store;" \
        "installing them into $venv" >&2
    local failure
    if failure="$(make_test_venv "$scratch/venv.log")"; then
        export BRIVANE_TEST_PYTHON="$venv/bin/python3"
        rm -rf "$scratch"
        return 0
    fi
    rm -rf "$venv"
    {
        echo "test: the cloud tests need a Python 3 with ${pinned}and moto's server packages"
        echo "test: (all pinned in tests/cloud/requirements.txt). None was found:"
        sed 's/^/test:   /' "$scratch/reasons"
        echo "test: and making $venv failed: $failure"
        echo "test: Provide one and run scripts/test.sh again, either"
        echo "test:   - on a machine that reaches the Python package index, where"
        echo "test:     scripts/test.sh installs them itself, or"
        echo "test:   - with BRIVANE_TEST_PYTHON=/path/to/python3 naming a Python that has them, e.g."
        echo "test:     python3 -m venv DIR && DIR/bin/pip install -r tests/cloud/requirements.txt"
    } >&2
    rm -rf "$scratch"
    exit 1
}
provide_test_python

build="$root/build-tests"
build_type=RelWithDebInfo
extra=()
if [ "${1:-}" = "--sanitize" ]; then
    build="$root/build-sanitize"
    build_type=Debug
    extra=(-DBRIVANE_SANITIZE=ON)
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" "${extra[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"

runtime_dir="$(mktemp -d)"
chmod 700 "$runtime_dir"
trap 'rm -rf "$runtime_dir"' EXIT
export XDG_RUNTIME_DIR="$runtime_dir"

cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600
