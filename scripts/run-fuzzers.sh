#!/usr/bin/env bash
# Builds every libFuzzer target in fuzz/ with clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs each on a copy of its checked-in seed corpus (fuzz/corpus/<name>/) for FUZZ_SECONDS seconds
# (default 60). Fails when a target cannot be built or finds anything.
#   FUZZ_SECONDS   run time per target (default 60)
#   BUILD_DIR      build folder (default build-fuzz)
#   FUZZ_JOBS      build jobs (default: number of processors)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
build=${BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-$(nproc)}

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCV_FUZZ=ON -DCV_SANITIZE=ON -DCV_BENCH=OFF

mapfile -t targets < <(find fuzz -maxdepth 1 -name '*_fuzz.cpp' -printf '%f\n' | sed 's/\.cpp$//' | sort)
if ((${#targets[@]} == 0)); then
    echo "no fuzz targets"
    exit 0
fi

# Every sanitizer stops the target at its first report (options given by the caller come first; these
# later ones win), so a finding is never scrolled past.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}:abort_on_error=1:halt_on_error=1"
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}:halt_on_error=1:abort_on_error=1"
export QT_QPA_PLATFORM=offscreen

root=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
built=()
for name in "${targets[@]}"; do
    # One target that does not build must not hide the findings of the others.
    if ! cmake --build "$build" -j"$jobs" --target "$name" > "$work/$name.build.log" 2>&1; then
        tail -n 30 "$work/$name.build.log"
        echo "== $name: does not build"
        failed+=("$name")
    else
        built+=("$name")
    fi
done

# Runs one target on a copy of its corpus; its status is left in $work/<name>.status.
run_target() {
    local name=$1 corpus="$work/$1"
    mkdir -p "$corpus"
    if [ -d "fuzz/corpus/$name" ]; then
        cp -r "fuzz/corpus/$name/." "$corpus/"
    fi
    mkdir -p "$work/$name.run"
    if (cd "$work/$name.run" && "$root/$build/fuzz/$name" -max_total_time="$seconds" -rss_limit_mb=2048 \
            -max_len=65536 -print_final_stats=1 "$corpus" > "$work/$name.log" 2>&1); then
        echo ok > "$work/$name.status"
    else
        echo failed > "$work/$name.status"
    fi
}

# The targets run side by side, as many at a time as there are processors.
parallel=$(nproc)
for ((i = 0; i < ${#built[@]}; i += parallel)); do
    for name in "${built[@]:i:parallel}"; do
        echo "== $name: ${seconds}s"
        run_target "$name" &
    done
    wait
done
for name in "${built[@]}"; do
    if [ "$(cat "$work/$name.status" 2>/dev/null)" = ok ]; then
        echo "== $name"
        grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$work/$name.log" || true
    else
        echo "== $name: FAILED"
        tail -n 60 "$work/$name.log"
        failed+=("$name")
        mkdir -p "$build/fuzz-findings"
        cp "$work/$name.run"/crash-* "$work/$name.run"/leak-* "$work/$name.run"/timeout-* "$work/$name.run"/oom-* \
            "$build/fuzz-findings/" 2>/dev/null || true
    fi
done

if ((${#failed[@]})); then
    echo "fuzzers that failed to build or found something: ${failed[*]} (inputs in $build/fuzz-findings/)"
    exit 1
fi
echo "fuzzers ok: ${targets[*]}"
