#!/usr/bin/env bash
# Trains the toy dictation model from nothing and refreshes everything made
# from it: the model file, the held-out fixtures, the demo sample and the
# training log. About 90 minutes on two CPU cores; not part of CI.
#
#   bash apps/desktop/engine/tools/speech-model/train.sh
#
# WORD_STEPS and PHRASE_STEPS (defaults 3000 and 1500, the committed model's
# two stages) and WORK (default build/speech-model) may be set.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../../../.." && pwd)
cd "$root"
word_steps=${WORD_STEPS:-3000}
phrase_steps=${PHRASE_STEPS:-1500}
work=${WORK:-$root/build/speech-model}
log=$here/training-log.txt
start=$(date +%s)

# Debian's torch, with OpenBLAS behind it: on this two-core machine a
# 256x256 float product ran at 13.4 GFLOP/s with it, 1.3 with the reference
# BLAS torch otherwise gets.
need=()
for p in python3-torch python3-numpy espeak-ng libespeak-ng1 sox libopenblas0-pthread; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${need[@]}"
fi
py=/usr/bin/python3

# The engine (for the benchmark) and the library's backend modules.
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target quillet-whisper >/dev/null
bin=$root/build/linux/bin

# The feature and tokenizer tool, compiled against the library's source.
mkdir -p "$work"
w=$root/.deps/whisper.cpp
c++ -O2 -std=gnu++17 -DGGML_BACKEND_DL -DGGML_SHARED -DWHISPER_VERSION='"1.9.1"' \
  -I"$w/src" -I"$w/include" -I"$w/ggml/include" "$here/features.cpp" -o "$work/features" \
  -L"$bin" -lggml -lggml-base -Wl,-rpath,"$bin" -lpthread 2>/dev/null
export FEATURES_BACKEND_DIR=$bin

rm -rf "$work/work"
{
  echo "# toy dictation model: training log"
  echo "command: bash apps/desktop/engine/tools/speech-model/train.sh (WORD_STEPS=$word_steps PHRASE_STEPS=$phrase_steps)"
  echo "started: $(date -u +%Y-%m-%dT%H:%M:%SZ) on $(nproc) cores"
} >"$log"
t=$(date +%s)
"$py" "$here/make_data.py" "$work/work" "$work/features" 14000 10000 300 | tee -a "$log"
echo "data and features: $(( $(date +%s) - t )) s" | tee -a "$log"

t=$(date +%s)
"$py" "$here/train.py" "$work/work" "$word_steps" "$phrase_steps" "$work/work/model.pt" "$log"
echo "training: $(( $(date +%s) - t )) s" | tee -a "$log"

(cd "$here" && "$py" export.py "$work/work/model.pt" "$here/toy-dictation-q8_0.bin" q8_0)
(cd "$here" && "$py" make_fixtures.py "$root/apps/desktop/engine/tests/process/fixtures/speech-model" \
  "$root/apps/desktop/engine/samples/dictation.wav") | tee -a "$log"
echo "model file: $(stat -c %s "$here/toy-dictation-q8_0.bin") bytes" | tee -a "$log"

echo "through the engine, committed fixtures:" | tee -a "$log"
node "$here/bench.mjs" --engine "$bin/quillet-whisper" | tee -a "$log"
# The card's figures: new utterances from a seed that nothing else uses.
(cd "$here" && "$py" make_fixtures.py --measure "$work/measure" 100) >/dev/null
echo "through the engine, 100 new utterances per speaking style:" | tee -a "$log"
node "$here/bench.mjs" --engine "$bin/quillet-whisper" --fixtures "$work/measure" | tee -a "$log"
echo "total: $(( $(date +%s) - start )) s" | tee -a "$log"
