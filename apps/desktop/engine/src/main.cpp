#include "engine_main.h"

int main(int argc, char ** argv) { return quillet::engineMain(argc, argv); }
