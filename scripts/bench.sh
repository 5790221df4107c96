#!/usr/bin/env bash
# Prints the performance figures (benchmarks, not tests) of every part, in
# named sections; each prints the load average beside its tables, since
# figures taken beside other work are not comparable with quiet ones.
#
# Usage: scripts/bench.sh [SECTION...]    (default: every section, in order)
#        scripts/bench.sh --list
# Sections:
#   engine        the engine against the bare library in one process
#   side-by-side  the engine against whisper-cli (unpatched source): one
#                 transcription per process, and the marginal cost of more
#   contention    dictation latency quiet and beside busy loops, at 1 and 2
#                 threads, engine against whisper-cli (unpatched source), and
#                 quiet against the engine with the unpatched CPU backend
#   wine          the contention case for the Windows build under Wine
#   windows       the Windows build under Wine against the Linux build, same
#                 machine, interleaved: decodeMs ratio at 1 and 2 threads
#   variants      the release builds (Linux, and Windows under Wine) with every
#                 CPU backend variant, so the loader picks this CPU's best,
#                 against the same build with only the AVX2 one, interleaved
#   modules       the keywatch and appfocus benchmarks
# A section is a function section_<name> (dashes as underscores) and its name
# in the list below; the helpers need_* build what it uses, once.
# Environment: QUILLET_JOBS (build jobs, 2), QUILLET_BENCH_ROUNDS (side-by-side
# rounds, 5), QUILLET_BENCH_THREADS (engine and side-by-side threads; default 1
# on a machine of 2 or fewer logical CPUs, else half of them; the contention
# sections always measure 1 and 2), QUILLET_BENCH_RUNS (contention dictations
# per median, and rounds of the windows section, 10), QUILLET_WINE_BUILD (a
# Windows build to use as it is), QUILLET_BENCH_WIN_THREADS and
# QUILLET_BENCH_WIN_MODELS (the windows section's thread counts, 1,2, and
# models, toy,q8_0,f16).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
jobs=${QUILLET_JOBS:-2}
bin="$root/build/linux/bin"
cpus=$(nproc)
# Threads for the engine and side-by-side sections: 1 on a machine of 2 or
# fewer logical CPUs, where 2 threads beside any outside load scatter widely.
threads=${QUILLET_BENCH_THREADS:-$(( cpus <= 2 ? 1 : cpus / 2 ))}
sections=(engine side-by-side contention wine windows variants modules)

load() { echo "(load average $(cut -d' ' -f1-3 /proc/loadavg))"; }

built_linux=""
need_linux() {
  [ -n "$built_linux" ] && return 0
  bash scripts/setup.sh >/dev/null || return 1
  cmake --preset linux >/dev/null && cmake --build --preset linux -j"$jobs" >/dev/null || return 1
  built_linux=1
}

# The pinned source without our patches, built in Release with the CPU backend
# configured as the engine's is (shared libraries, run-time loaded backend,
# same instruction sets, same thread pool): whisper-cli, and the CPU backend
# that the unpatched engine (need_unpatched) loads.
cli_src="$root/build/whisper.cpp-unpatched"
cli_build="$root/build/whisper-cli-unpatched"
cli="$cli_build/bin/whisper-cli"
built_cli=""
need_cli() {
  [ -n "$built_cli" ] && return 0
  bash scripts/fetch-deps.sh --pristine whisper.cpp "$cli_src" >/dev/null || return 1
  cmake -S "$cli_src" -B "$cli_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DBUILD_SHARED_LIBS=ON -DGGML_BACKEND_DL=ON -DWHISPER_BUILD_EXAMPLES=ON -DWHISPER_BUILD_TESTS=OFF \
    -DWHISPER_SDL2=OFF -DWHISPER_CURL=OFF -DGGML_NATIVE=OFF -DGGML_OPENMP=OFF -DGGML_CPU_ALL_VARIANTS=OFF \
    -DGGML_SSE42=ON -DGGML_AVX=ON -DGGML_AVX2=ON -DGGML_FMA=ON -DGGML_F16C=ON -DGGML_BMI2=ON >/dev/null &&
    cmake --build "$cli_build" -j"$jobs" --target whisper-cli ggml-cpu >/dev/null || return 1
  built_cli=1
}

# The engine as built, beside the CPU backend of the unpatched source: the
# same program with upstream's waiting threads, for interleaved comparisons.
unpatched="$root/build/engine-unpatched"
need_unpatched() {
  need_linux && need_cli || return 1
  rm -rf "$unpatched" && mkdir -p "$unpatched" &&
    cp -a "$bin/quillet-whisper" "$bin"/libwhisper.so* "$bin"/libggml.so* "$bin"/libggml-base.so* "$unpatched/" &&
    cp -a "$cli_build/bin/libggml-cpu.so" "$unpatched/"
}

section_engine() {
  need_linux || return 1
  local model; model=$(mktemp --suffix=.bin)
  node apps/desktop/engine/tools/make-test-model.mjs --variant multilingual --dims tiny --out "$model" >/dev/null
  load
  "$bin/engine_core_bench"
  "$bin/engine_bench" "$bin/quillet-whisper" "$model" "$threads" 5
  load
  rm -f "$model"
}

section_side_by_side() {
  need_linux && need_cli || return 1
  node apps/desktop/engine/bench/side_by_side.mjs --engine "$bin/quillet-whisper" --cli "$cli" \
    --rounds "${QUILLET_BENCH_ROUNDS:-5}" --threads "$threads"
}

section_contention() {
  need_unpatched || return 1
  node apps/desktop/engine/bench/contention.mjs --engine "$bin/quillet-whisper" --cli "$cli" \
    --unpatched "$unpatched/quillet-whisper" --runs "${QUILLET_BENCH_RUNS:-10}"
}

# The Windows build's engine under Wine, in a prefix of its own (so that it
# never stops the Wine tests' server), with one wineserver kept for the
# section so that each start is warm. QUILLET_WINE_BUILD names a Windows build
# to use as it is; without it the windows-mingw preset is built. Sets wbuild.
wbuild=""
need_wine() {
  local build=${QUILLET_WINE_BUILD:-}
  if [ -z "$build" ]; then
    if ! command -v x86_64-w64-mingw32-gcc >/dev/null; then
      echo "(skipping: no mingw-w64 cross compiler; run scripts/setup.sh)"
      return 2
    fi
    cmake --preset windows-mingw >/dev/null && cmake --build --preset windows-mingw -j"$jobs" >/dev/null || return 1
    build=build/windows
  fi
  wbuild=$(cd "$build" 2>/dev/null && pwd) && [ -f "$wbuild/bin/quillet-whisper.exe" ] ||
    { echo "no bin/quillet-whisper.exe in ${QUILLET_WINE_BUILD:-build/windows}"; return 1; }
  bash scripts/wine-setup.sh >/dev/null || return 1
  export WINEPREFIX="$root/build/wine-bench/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset WINEARCH
  mkdir -p "$(dirname "$WINEPREFIX")"
  [ -f "$WINEPREFIX/system.reg" ] || timeout 180 wineboot --init >/dev/null 2>&1 || { echo "wineboot failed"; return 1; }
  timeout 20 wineserver -k 2>/dev/null
  wineserver -p </dev/null >/dev/null 2>&1 || { echo "wineserver did not start"; return 1; }
  echo "$(wine --version), $wbuild"
}

section_wine() {
  need_wine; case $? in 0) ;; 2) return 0 ;; *) return 1 ;; esac
  node apps/desktop/engine/bench/contention.mjs --engine "$wbuild/bin/quillet-whisper.exe" --engine-prefix wine \
    --runs "${QUILLET_BENCH_RUNS:-10}"
  local rc=$?
  timeout 20 wineserver -k 2>/dev/null
  return $rc
}

# The same source as a Windows .exe under Wine (which runs its machine code
# natively) and as the Linux engine: the toy model and random-weight tiny
# models in q8_0 and f16, at 1 and 2 threads.
section_windows() {
  need_linux || return 1
  need_wine; case $? in 0) ;; 2) return 0 ;; *) return 1 ;; esac
  node apps/desktop/engine/bench/windows_vs_linux.mjs --linux "$bin/quillet-whisper" \
    --windows "$wbuild/bin/quillet-whisper.exe" --rounds "${QUILLET_BENCH_RUNS:-10}" --threads "${QUILLET_BENCH_WIN_THREADS:-1,2}" --models "${QUILLET_BENCH_WIN_MODELS:-toy,q8_0,f16}"
  local rc=$?
  timeout 20 wineserver -k 2>/dev/null
  return $rc
}

# stage_variants <bin> <dir>: <dir>/all holds the build's bin folder as it is,
# <dir>/avx2 the same with the AVX2 (haswell) CPU backend as the only one.
stage_variants() {
  rm -rf "$2" && mkdir -p "$2/all" "$2/avx2" || return 1
  cp -a "$1"/. "$2/all/" && cp -a "$1"/. "$2/avx2/" || return 1
  find "$2/avx2" -name '*ggml-cpu-*' ! -name '*ggml-cpu-haswell*' -delete
}

section_variants() {
  local out="$root/build/bench-variants" model=${QUILLET_BENCH_WIN_MODELS:-toy,q8_0}
  cmake --preset release >/dev/null && cmake --build --preset release -j"$jobs" >/dev/null || return 1
  stage_variants build/release/bin "$out/linux" || return 1
  echo "Linux: $("$out/linux/all/quillet-whisper" </dev/null 2>&1 | grep -o 'libggml-cpu-[a-z0-9]*' | head -1) against haswell"
  node apps/desktop/engine/bench/windows_vs_linux.mjs --names all,avx2 --linux "$out/linux/avx2/quillet-whisper" \
    --windows "$out/linux/all/quillet-whisper" --rounds "${QUILLET_BENCH_RUNS:-10}" --threads 1 --models "$model" || return 1
  need_wine; case $? in 0) ;; 2) return 0 ;; *) return 1 ;; esac
  cmake --preset windows-release >/dev/null && cmake --build --preset windows-release -j"$jobs" >/dev/null || return 1
  stage_variants build/windows-release/bin "$out/windows" || return 1
  # (through a file: Wine's services inherit the engine's standard error and
  # would hold a pipe open)
  wine "$out/windows/all/quillet-whisper.exe" </dev/null >"$out/windows/hello.txt" 2>&1
  echo "Windows under Wine: $(grep -o 'ggml-cpu-[a-z0-9]*' "$out/windows/hello.txt" | head -1) against haswell"
  node apps/desktop/engine/bench/windows_vs_linux.mjs --names all,avx2 --linux "$out/windows/avx2/quillet-whisper.exe" \
    --windows "$out/windows/all/quillet-whisper.exe" --rounds "${QUILLET_BENCH_RUNS:-10}" --threads 1 --models "$model"
  local rc=$?
  timeout 20 wineserver -k 2>/dev/null
  return $rc
}

section_modules() {
  need_linux || return 1
  local b js
  for b in "$bin"/*_bench; do
    case "$(basename "$b")" in engine_bench|engine_core_bench) continue ;; esac
    echo "== $(basename "$b")  $(load)"; "$b"
  done
  for js in apps/desktop/native/*/bench/*.mjs apps/desktop/native/*/bench/*.js; do
    [ -f "$js" ] || continue
    echo "== $js  $(load)"
    KEYWATCH_MODULE="$bin/keywatch_sim.node" APPFOCUS_MODULE="$bin/appfocus_sim.node" \
    KEYWATCH_TEST_MODULE="$bin/keywatch_test.node" APPFOCUS_TEST_MODULE="$bin/appfocus_test.node" node "$js"
  done
}

if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${sections[@]}"
  exit 0
fi
want=("$@")
[ ${#want[@]} -gt 0 ] || want=("${sections[@]}")
for s in "${want[@]}"; do
  if ! printf '%s\n' "${sections[@]}" | grep -qxF -- "$s"; then
    echo "bench: no section '$s' (sections: ${sections[*]})" >&2
    exit 2
  fi
done

failed=0
for s in "${want[@]}"; do
  echo "==== $s  ($cpus logical CPUs)  $(load)"
  started=$(date +%s)
  if ! "section_${s//-/_}"; then
    echo "==== $s: FAILED"
    failed=1
  fi
  echo "==== $s: $(( $(date +%s) - started )) s  $(load)"
done
exit $failed
