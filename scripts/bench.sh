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
