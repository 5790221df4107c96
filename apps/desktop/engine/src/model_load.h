// The Load frame: validate, free the old model, open the file, choose the
// device, build the speech context through a loader over the open file.
#pragma once

#include "runtime.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace quillet {

void handleLoad(const uint8_t * payload, size_t length);

// The slot the model loader reads from; closed exactly once. The rest tells
// whether the library read the file the walk accepted: a file cut short
// while the library reads it hands the library zeros without any error.
struct ModelFileSlot {
    FILE *    file       = nullptr;
    int64_t   walkedSize = 0;     // bytes the walk accepted
    int64_t   bytesRead  = 0;     // bytes handed to the library so far
    int32_t   shortReads = 0;     // reads that ended before walkedSize
    bool      closeStamp = false; // the file's stamp was read as it was closed
    FileStamp atClose    = {};    // that stamp
};

size_t loaderRead(void * slot, void * dst, size_t n);
bool   loaderEof(void * slot);
void   loaderClose(void * slot);

// Why the library's read of a closed slot may differ from the file the walk
// saw (`walked`, stamped before the walk); null when it cannot.
const char * modelReadFault(const ModelFileSlot & slot, const FileStamp & walked);

// Test seam: when set, runs once the walk has accepted the file (Walked) and
// as the slot closes the file, before its stamp is read (Read). The engine
// never sets it.
enum class LoadStep : uint8_t {
    Walked,
    Read
};
extern void (*modelLoadTestHook)(LoadStep step);

} // namespace quillet
