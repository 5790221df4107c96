// The module clock: host monotonic nanoseconds as double milliseconds. Every
// time in the capture (frame times, clockMs, poll intervals) is on it.
#pragma once

namespace keywatch {

double moduleClockMs();

} // namespace keywatch
