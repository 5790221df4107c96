// Start-up: streams, log hook, command line, backends, hello, frame loop.
#pragma once

#include <string>

namespace quillet {

// The accelerator directory from the command line: the value after the last
// "--accelerators" that has one; empty when absent.
std::string parseAcceleratorsOption(int argc, char ** argv);

// The hello line for the given backend list body.
std::string helloLine(const std::string & backendList);

int engineMain(int argc, char ** argv);

} // namespace quillet
