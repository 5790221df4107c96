#!/usr/bin/env bash
# The main job: build the engine and transcribe the sample WAV through it,
# as the desktop host would (spawned process, binary frames, JSON lines).
#   bash scripts/demo.sh [file.wav] [--model PATH] [other transcribe options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
cmake --preset linux >/dev/null
cmake --build --preset linux -j"${QUILLET_JOBS:-2}" --target quillet-whisper >/dev/null
wav=apps/desktop/engine/samples/dictation.wav
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then wav=$1; shift; fi
exec node apps/desktop/engine/client/transcribe.mjs "$wav" --engine build/linux/bin/quillet-whisper "$@"
