#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs them.
#
#   scripts/fuzz.sh [--seconds N] [--jobs J] [--merge] [target ...]
#
#   --seconds N  run each target for N seconds (default 60)
#   --jobs J     fuzzing processes per target (default 1) and build jobs
#   --merge      add the inputs that found new coverage to fuzz/corpus/<target>/
#   target       package, backup, catalogue, s3xml, replies, adapterjson (default: all)
#
# Each target runs on a scratch copy of its corpus, one target after the
# other; fuzz/corpus/ changes only with --merge. For each target it prints
# executions, coverage (cov/ft), corpus size and crashes. A crash, leak or
# time-out saves its input under fuzz/crashes/<target>/ and makes the script
# exit non-zero; once fixed, the input belongs in fuzz/regressions/<target>/,
# which the normal test suite replays.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
all_targets=(package backup catalogue s3xml replies adapterjson)

seconds=60
jobs=1
merge=0
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
    --seconds)
        seconds="${2:?--seconds needs a number}"
        shift 2
        ;;
    --jobs)
        jobs="${2:?--jobs needs a number}"
        shift 2
        ;;
    --merge)
        merge=1
        shift
        ;;
    -h | --help)
        sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    -*)
        echo "fuzz: unknown option $1" >&2
        exit 2
        ;;
    *)
        known=0
        for candidate in "${all_targets[@]}"; do
            [ "$candidate" = "$1" ] && known=1
        done
        if [ "$known" -eq 0 ]; then
            echo "fuzz: unknown target $1 (targets: ${all_targets[*]})" >&2
            exit 2
        fi
        targets+=("$1")
        shift
        ;;
    esac
done
if [ ${#targets[@]} -eq 0 ]; then
    targets=("${all_targets[@]}")
fi
if ! [[ "$seconds" =~ ^[0-9]+$ && "$jobs" =~ ^[1-9][0-9]*$ ]]; then
    echo "fuzz: --seconds and --jobs take whole numbers" >&2
    exit 2
fi

# The project's own packages, then clang and its libFuzzer runtime.
"$root/scripts/setup.sh"
missing=()
for package in clang-14 libclang-rt-14-dev; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    apt_prefix=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "fuzz: these Debian packages are missing: ${missing[*]}" >&2
            echo "fuzz: run this script as root (or install them with apt-get) and try again." >&2
            exit 1
        fi
        apt_prefix=(sudo)
    fi
    echo "fuzz: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${apt_prefix[@]}" apt-get update -q
    "${apt_prefix[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

build="$root/build-fuzz"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DBRIVANE_FUZZ=ON -DBRIVANE_BUILD_GUI=OFF -DBRIVANE_BUILD_TESTS=OFF \
    -DBRIVANE_BUILD_BENCHMARKS=OFF >/dev/null
programs=()
for target in "${targets[@]}"; do
    programs+=("${target}_fuzzer")
done
cmake --build "$build" -j "$jobs" --target "${programs[@]}"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# Leaks count as findings; the suppressions cover the system libraries and,
# for the JSON targets, a leak inside Qt's JSON parser (fuzz/lsan-json.supp).
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=0
printf '%-12s %12s %9s %8s %8s %14s %8s\n' target executions exec/s cov ft corpus crashes
for target in "${targets[@]}"; do
    program="$build/fuzz/${target}_fuzzer"
    corpus="$root/fuzz/corpus/$target"
    work="$scratch/$target"
    crashes="$root/fuzz/crashes/$target"
    mkdir -p "$work/corpus" "$work/artifacts"
    case "$target" in
    catalogue | adapterjson) export LSAN_OPTIONS="suppressions=$root/fuzz/lsan-json.supp" ;;
    *) export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp" ;;
    esac
    cp -r "$corpus/." "$work/corpus/" 2>/dev/null || true
    before="$(find "$work/corpus" -type f | wc -l)"
    log="$work/fuzz.log"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1
        -artifact_prefix="$work/artifacts/")
    if [ "$jobs" -gt 1 ]; then
        options+=(-jobs="$jobs" -workers="$jobs")
    fi
    status=0
    (cd "$work" && "$program" "${options[@]}" "$work/corpus" >"$log" 2>&1) || status=$?
    # With several jobs each worker logs to fuzz-<n>.log; the figures are
    # summed over the workers (exec/s is then the total rate).
    logs=("$log")
    if [ "$jobs" -gt 1 ]; then
        logs=("$work"/fuzz-*.log)
    fi

    executions="$(cat "${logs[@]}" | grep -o 'stat::number_of_executed_units: *[0-9]*' |
        awk '{sum += $2} END {print sum + 0}')"
    rate="$(cat "${logs[@]}" | grep -o 'stat::average_exec_per_sec: *[0-9]*' |
        awk '{sum += $2} END {print sum + 0}')"
    # The highest coverage a process reached (all of them see the corpus).
    coverage="$(cat "${logs[@]}" | sed -n 's/^#[0-9].* cov: \([0-9]*\).*/\1/p' | sort -n |
        tail -n 1)"
    features="$(cat "${logs[@]}" | sed -n 's/^#[0-9].* ft: \([0-9]*\).*/\1/p' | sort -n |
        tail -n 1)"
    after="$(find "$work/corpus" -type f | wc -l)"
    found="$(find "$work/artifacts" -type f | wc -l)"
    if [ "$found" -gt 0 ] || [ "$status" -ne 0 ]; then
        mkdir -p "$crashes"
        cp "$work"/artifacts/* "$crashes/" 2>/dev/null || true
        cat "${logs[@]}" >"$crashes/last-run.log"
        failed=1
    fi
    printf '%-12s %12s %9s %8s %8s %14s %8s\n' "$target" "$executions" "$rate" "${coverage:--}" \
        "${features:--}" "$before -> $after" "$found"
    if [ "$found" -gt 0 ] || [ "$status" -ne 0 ]; then
        echo "fuzz: $target stopped with status $status; inputs and log in ${crashes#"$root"/}/" >&2
        grep -E '^(==[0-9]+==ERROR|SUMMARY|invariant broken|.*runtime error)' "$crashes/last-run.log" |
            head -n 5 >&2 || true
    fi

    if [ "$merge" -eq 1 ]; then
        # The hand-made seeds (seed-*, from fuzz/make_seeds.py) stay; of the
        # other inputs, old and new, only those that add coverage to them
        # are kept, none larger than 64 KiB. Catalogue inputs are cut to
        # 2 KiB: longer documents add little and the corpus stays small.
        merge_limit=65536
        [ "$target" = catalogue ] && merge_limit=2048
        minimised="$work/minimised"
        mkdir -p "$minimised"
        find "$corpus" -maxdepth 1 -type f -name 'seed-*' -exec cp {} "$minimised/" \;
        if "$program" -merge=1 -max_len="$merge_limit" "$minimised" "$corpus" "$work/corpus" \
            >"$work/merge.log" 2>&1; then
            find "$corpus" -maxdepth 1 -type f ! -name 'seed-*' -delete
            find "$minimised" -maxdepth 1 -type f ! -name 'seed-*' -exec cp {} "$corpus/" \;
            echo "fuzz: fuzz/corpus/$target now holds $(find "$corpus" -type f | wc -l) inputs," \
                "$(du -sb "$corpus" | cut -f1) bytes"
        else
            echo "fuzz: merging into fuzz/corpus/$target failed:" >&2
            tail -n 20 "$work/merge.log" >&2
            failed=1
        fi
    fi
done

if [ "$failed" -ne 0 ]; then
    echo "fuzz: findings above; fix them and move each input to fuzz/regressions/<target>/" >&2
    exit 1
fi
