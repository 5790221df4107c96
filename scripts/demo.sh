#!/usr/bin/env bash
# The main job: build the engine and transcribe the sample WAV through it,
# as the desktop host would (spawned process, binary frames, JSON lines).
#   bash scripts/demo.sh [file.wav] [--model PATH] [other transcribe options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
say() { echo "demo: $*" >&2; }
say "checking the Debian packages and pinned sources (the first run installs them: minutes)"
bash scripts/setup.sh >/dev/null
say "configuring the build (build/linux)"
cmake --preset linux >/dev/null
say "building the engine and whisper.cpp (the first build takes several minutes on 2 cores; later ones seconds)"
cmake --build --preset linux -j"${QUILLET_JOBS:-2}" --target quillet-whisper >/dev/null
wav=apps/desktop/engine/samples/dictation.wav
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then wav=$1; shift; fi
say "transcribing $wav (starting the engine, loading the model, decoding)"
exec node apps/desktop/engine/client/transcribe.mjs "$wav" --engine build/linux/bin/quillet-whisper "$@"
