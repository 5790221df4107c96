// A structural pre-check of a model file before the speech library reads it.
// The library trusts the file's tensor headers (dimension count, name length,
// type) and corrupts memory on hostile ones; this walk refuses such a file
// first. Everything it lets through is still judged by the library itself.
#pragma once

#include <cstdio>

namespace quillet {

// Walks the file's header, mel filters, vocabulary and tensor headers
// (seeking over the data) and leaves the file at its start. False when a
// field the library would use unchecked is out of its safe range. A file
// that is not in the library's format at all passes: the library refuses it.
bool modelFileStructureSafe(FILE * file);

} // namespace quillet
