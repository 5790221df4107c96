#include "failures.h"

#include <string.h>

namespace keywatch {

bool sameFailure(const char * a, const char * b) {
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    return strcmp(a, b) == 0;
}

} // namespace keywatch
