#!/usr/bin/env bash
# Builds the accelerator pack (ggml's CUDA backend + manifest) into
# build/cuda-pack/pack. Needs nvcc (CUDA 12 or 13). Not part of CI.
#   CUDA_ARCHS   architectures (default "86-real;90": Ampere/Ada consumer
#                cards as machine code, Hopper as machine code plus PTX that
#                newer GPUs compile at first load)
#   BUILD_DIR    default build/cuda-pack
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
archs=${CUDA_ARCHS:-86-real;90}
build=${BUILD_DIR:-$root/build/cuda-pack}
jobs=${JOBS:-$(nproc)}
nvcc=${CUDACXX:-$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)}
bash "$root/scripts/fetch-deps.sh"
start=$(date +%s)
cmake -S "$root/apps/desktop/engine/cuda_pack" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CUDA_COMPILER="$nvcc" -DCMAKE_CUDA_ARCHITECTURES="$archs"
cmake --build "$build" -j"$jobs" --target cuda_pack
# The shipped library must find its runtime beside itself, never in this build tree.
if [ -f "$build/pack/libggml-cuda.so" ] && command -v readelf >/dev/null; then
  runpath=$(readelf -d "$build/pack/libggml-cuda.so" | sed -n 's/.*R\(UN\)\{0,1\}PATH.*\[\(.*\)\]/\2/p')
  [ "$runpath" = '$ORIGIN' ] || { echo "pack backend run path is '$runpath', expected '\$ORIGIN'" >&2; exit 1; }
fi
echo "cuda pack built in $(( $(date +%s) - start ))s for architectures $archs:"
ls -l "$build/pack"
cat "$build/pack/quillet-pack.json"
