/* Linked into the speech library's DLLs on Windows, ahead of the runtime's
 * x87 exp (see fast_exp.h): the linker takes a symbol from an object file
 * before it searches the runtime's archives. Code that includes math.h
 * inline calls exp for expf; the speech library itself is compiled without
 * those inlines (cmake/whisper.cmake), so its expf calls land here. */
#include "fast_exp.h"

double exp(double x) { return quillet_exp(x); }

float expf(float x) { return quillet_expf(x); }
