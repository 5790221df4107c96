#include "whisper.h"
int main() { return 0; }
