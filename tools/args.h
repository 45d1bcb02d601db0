// Numbers on the command line.
#ifndef RTPTOOLS_ARGS_H
#define RTPTOOLS_ARGS_H

#include <string>

namespace rtptools {

// Decimal digits only, no sign or space, value at most `max`.
bool ParseDecimal(const std::string& text, unsigned long max, unsigned long* value);

}  // namespace rtptools

#endif
