// Unit tests run the core on a clock they set by hand.
#pragma once

namespace keywatch {

void setManualClockMs(double ms);

} // namespace keywatch
