// Numbers on the command line.
#ifndef RTPTOOLS_ARGS_H
#define RTPTOOLS_ARGS_H

#include <string>

namespace rtptools {

// Decimal digits only, no sign or space, value at most `max`.
bool ParseDecimal(const std::string& text, unsigned long max, unsigned long* value);

// As atoi(3) reads: leading white space, an optional sign, then the leading
// decimal digits; anything else ends the number ("90s" is 90, "abc" is 0).
// Values beyond the int range saturate at INT_MIN / INT_MAX.
int AtoiSaturating(const char* text);

}  // namespace rtptools

#endif
