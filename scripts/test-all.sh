#!/usr/bin/env bash
# Every test of the project, as CI runs it:
#   the C and C++ formatting check; unit, process and Node tests; the same under ASan/UBSan; the modules
#   (their threads, and their Node tests) under TSan; each fuzz target for a bounded time; the Windows
#   cross-build of every deliverable and its tests under Wine.
# ctest labels say what runs where: "napi" marks the tests that load a .node
# into node. In the sanitizer builds the .node files are instrumented too and
# those tests preload the sanitizer runtime into node (cmake/sanitize.cmake).
# Only tests count as tests: built Windows files get a line of their own, and
# a failed build or a missing file counts as a failure.
# Ends with one summary line: "total: N passed, M failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${QUILLET_JOBS:-2}
# Compiler cache hits across clones in other folders (CI clones afresh).
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
fuzz_seconds=${QUILLET_FUZZ_SECONDS:-60}
passed=0
failed=0
built=0
t0=$(date +%s)

stage() { printf '\n=== %s (%ss elapsed)\n' "$1" "$(( $(date +%s) - t0 ))"; }

# run_ctest <build dir> [ctest args...]: adds its counts to the totals.
run_ctest() {
  local dir=$1; shift
  local log; log=$(mktemp)
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@" 2>&1 | tee "$log"
  local line; line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$line" ]; then
    echo "no ctest summary from $dir"; failed=$((failed + 1))
  else
    local bad total
    bad=$(sed -E 's/.*tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.*tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + total - bad)); failed=$((failed + bad))
  fi
  rm -f "$log"
}

# build <preset> [extra cmake args...]: a failed build counts as a failure.
build() {
  local preset=$1; shift
  local log=/tmp/quillet-build-$preset.log
  if cmake --preset "$preset" "$@" >"$log" 2>&1 && cmake --build --preset "$preset" -j"$jobs" >>"$log" 2>&1; then
    tail -1 "$log"; return 0
  fi
  tail -40 "$log"; echo "build of $preset failed"; failed=$((failed + 1)); return 1
}

stage "setup"
bash scripts/setup.sh || { echo "setup failed"; echo "total: 0 passed, 1 failed"; exit 1; }

stage "format: C and C++ against .clang-format"
# A check, not a test: a file that differs counts as a failure, a clean tree
# adds nothing to the passed total.
bash scripts/check-format.sh | tail -20 || failed=$((failed + 1))

stage "linux: unit, process and Node tests"
build linux -DQUILLET_ENGINE=ON -DQUILLET_MODULES=ON -DQUILLET_TESTS=ON && run_ctest build/linux

stage "linux-asan: the same under AddressSanitizer and UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build linux-asan -DQUILLET_ENGINE=ON -DQUILLET_MODULES=ON -DQUILLET_TESTS=ON && run_ctest build/linux-asan

stage "linux-tsan: the modules under ThreadSanitizer"
build linux-tsan && run_ctest build/linux-tsan

stage "fuzz: ${fuzz_seconds}s per target"
if build fuzz; then
  for target in json_fuzz frame_loop_fuzz model_fuzz; do
    corpus=$(mktemp -d)
    seeds=apps/desktop/engine/fuzz/corpus/${target%_fuzz}
    # Model files with a whole set of weights run to a few MB, and each one
    # the walk accepts is loaded and decoded under ASan: seen here at up to
    # 33 s on a busy machine, so a hang there means minutes, not 20 s.
    extra=(-timeout=20)
    [ "$target" = model_fuzz ] && extra=(-timeout=180 -max_len=4194304)
    if ASAN_OPTIONS=detect_leaks=1 "build/fuzz/bin/$target" -max_total_time="$fuzz_seconds" \
         -rss_limit_mb=4096 -print_final_stats=1 "${extra[@]}" "$corpus" "$seeds" >"/tmp/quillet-$target.log" 2>&1; then
      echo "$target: clean ($(grep -E 'stat::number_of_executed_units' "/tmp/quillet-$target.log" | awk '{print $2}') runs)"
      passed=$((passed + 1))
    else
      tail -40 "/tmp/quillet-$target.log"; echo "$target: FINDING"; failed=$((failed + 1))
    fi
    rm -rf "$corpus"
  done
fi

stage "windows: mingw-w64 cross-build"
windows_built=0
if build windows-mingw; then
  windows_built=1
  for f in quillet-whisper.exe ggml-cpu.dll ggml-base.dll ggml.dll libwhisper.dll keywatch.node appfocus.node; do
    if [ -f "build/windows/bin/$f" ]; then
      echo "built $f"; built=$((built + 1))
    else
      echo "missing build/windows/bin/$f"; failed=$((failed + 1))
    fi
  done
fi

stage "windows under Wine: engine, keywatch, capture, remote keys, appfocus"
if [ "$windows_built" -eq 1 ]; then
  wine_log=$(mktemp)
  timeout 1800 bash scripts/test-wine.sh build/windows 2>&1 | tee "$wine_log"
  # test-wine.sh prints one node:test summary per stage at column 0.
  if grep -qE '^# fail [0-9]+$' "$wine_log"; then
    passed=$((passed + $(awk '/^# pass [0-9]+$/ {s += $3} END {print s + 0}' "$wine_log")))
    failed=$((failed + $(awk '/^# fail [0-9]+$/ {s += $3} END {print s + 0}' "$wine_log")))
  else
    echo "no summary from the Wine stage"; failed=$((failed + 1))
  fi
  rm -f "$wine_log"
else
  echo "skipped: the Windows build failed (counted above)"
fi

stage "done"
echo "wall time: $(( $(date +%s) - t0 ))s"
echo "built: $built Windows files"
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
