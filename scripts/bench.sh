#!/usr/bin/env bash
# Prints the performance figures (benchmarks, not tests) of every part.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
cmake --preset linux >/dev/null && cmake --build --preset linux -j"${QUILLET_JOBS:-2}" >/dev/null || exit 1
bin="$root/build/linux/bin"
model=$(mktemp --suffix=.bin)
node apps/desktop/engine/tools/make-test-model.mjs --variant multilingual --dims tiny --out "$model" >/dev/null
echo "== engine"
"$bin/engine_core_bench"
"$bin/engine_bench" "$bin/quillet-whisper" "$model" 2 5
rm -f "$model"

# whisper-cli from the same pinned source, in Release, with the CPU backend
# configured as the engine's is (same instruction sets, same thread pool), so
# that the side-by-side figures measure the engine and nothing else.
echo "== engine against whisper-cli (Release)"
cli_build="$root/build/whisper-cli"
cmake -S .deps/whisper.cpp -B "$cli_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DBUILD_SHARED_LIBS=OFF -DWHISPER_BUILD_EXAMPLES=ON -DWHISPER_BUILD_TESTS=OFF \
  -DWHISPER_SDL2=OFF -DWHISPER_CURL=OFF -DGGML_NATIVE=OFF -DGGML_OPENMP=OFF \
  -DGGML_SSE42=ON -DGGML_AVX=ON -DGGML_AVX2=ON -DGGML_FMA=ON -DGGML_F16C=ON -DGGML_BMI2=ON >/dev/null &&
  cmake --build "$cli_build" -j"${QUILLET_JOBS:-2}" --target whisper-cli >/dev/null || exit 1
node apps/desktop/engine/bench/side_by_side.mjs --engine "$bin/quillet-whisper" --cli "$cli_build/bin/whisper-cli" \
  --rounds "${QUILLET_BENCH_ROUNDS:-5}" --threads "${QUILLET_BENCH_THREADS:-2}"
for b in "$bin"/*_bench; do
  case "$(basename "$b")" in engine_bench|engine_core_bench) continue ;; esac
  echo "== $(basename "$b")"; "$b"
done
for js in apps/desktop/native/*/bench/*.mjs apps/desktop/native/*/bench/*.js; do
  [ -f "$js" ] || continue
  echo "== $js"
  KEYWATCH_MODULE="$bin/keywatch_sim.node" APPFOCUS_MODULE="$bin/appfocus_sim.node" \
  KEYWATCH_TEST_MODULE="$bin/keywatch_test.node" APPFOCUS_TEST_MODULE="$bin/appfocus_test.node" node "$js"
done
