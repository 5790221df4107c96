// Start-up: streams, log hook, command line, backends, hello, frame loop.
#pragma once

#include <string>
#include <vector>

namespace quillet {

// The accelerator directory from the command line: the value after the last
// "--accelerators" that has one; empty when absent.
std::string parseAcceleratorsOption(const std::vector<std::string> & args);

int engineMain(int argc, char ** argv);

} // namespace quillet
