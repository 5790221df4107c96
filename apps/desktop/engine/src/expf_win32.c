/* Linked into the speech library's DLLs on Windows, ahead of the runtime's
 * x87 expf (see fast_expf.h): the linker takes a symbol from an object file
 * before it searches the runtime's archives. */
#include "fast_expf.h"

float expf(float x) { return quillet_expf(x); }
