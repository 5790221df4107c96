// The Load frame: validate, free the old model, open the file, choose the
// device, build the speech context through a loader over the open file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace quillet {

void handleLoad(const uint8_t * payload, size_t length);

// The slot the model loader reads from; closed exactly once.
struct ModelFileSlot {
    FILE * file = nullptr;
};

size_t loaderRead(void * slot, void * dst, size_t n);
bool   loaderEof(void * slot);
void   loaderClose(void * slot);

} // namespace quillet
