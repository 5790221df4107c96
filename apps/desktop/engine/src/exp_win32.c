/* Linked into the speech library's DLLs on Windows, ahead of the runtime's
 * x87 exp (see fast_exp.h): the linker takes a symbol from an object file
 * before it searches the runtime's archives. */
#include "fast_exp.h"

double exp(double x) { return quillet_exp(x); }
