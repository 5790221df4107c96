#!/usr/bin/env bash
# The CUDA pack checked on a GPU machine, in one prepared run (about 6 to 9
# minutes on 16 cores). Prepare here, then run there:
#   here:   bash scripts/device-cuda-check.sh prepare
#   there:  bash scripts/device-cuda-check.sh run      (carry: .deps/tarballs, .devcarry)
# The device machine has nvcc, CMake and ninja but no registry: the pinned
# tarballs travel in .deps/tarballs and the test model in .devcarry.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
case "${1:-}" in
  prepare)
    bash scripts/fetch-deps.sh
    mkdir -p .devcarry
    node apps/desktop/engine/tools/make-test-model.mjs --variant multilingual --dims tiny --out .devcarry/model.bin
    du -sh .deps/tarballs .devcarry
    ;;
  run)
    out=${OUT:-/tmp/quillet-device}
    mkdir -p "$out"
    start=$(date +%s)
    bash scripts/fetch-deps.sh
    cmake -S . -B build/device -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_MODULES=OFF -DQUILLET_TESTS=OFF >"$out/configure.log"
    cmake --build build/device -j"$(nproc)" --target quillet-whisper >"$out/engine-build.log"
    echo "engine built after $(( $(date +%s) - start ))s"
    CUDA_ARCHS=${CUDA_ARCHS:-90} BUILD_DIR=build/device-pack bash scripts/build-cuda-pack.sh >"$out/pack-build.log" 2>&1 ||
      { tail -30 "$out/pack-build.log"; exit 1; }
    tail -4 "$out/pack-build.log"
    # As a user would: the CUDA runtime beside the backend, found through its $ORIGIN run path.
    cudalib=$(dirname "$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)")/../lib64
    for lib in libcudart.so.1[23] libcublas.so.1[23] libcublasLt.so.1[23]; do
      for f in "$cudalib"/$lib; do if [ -e "$f" ]; then cp -L "$f" build/device-pack/pack/; fi; done
    done
    ls build/device-pack/pack
    echo "pack built after $(( $(date +%s) - start ))s"
    nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv || true
    python3 scripts/device/cuda_check.py build/device/bin/quillet-whisper build/device-pack/pack .devcarry/model.bin 8 \
      2> "$out/engine-stderr.log" | tee "$out/check.log"
    ;;
  *)
    echo "usage: $0 prepare|run" >&2; exit 2 ;;
esac
