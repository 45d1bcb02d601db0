// The values that confrec and its tools take on their command lines. Each
// kind is read by one function here, used by all four programs, so that
// whatever confrec passes on, its tools accept.
#ifndef RTPTOOLS_ARGS_H
#define RTPTOOLS_ARGS_H

#include <cstdint>
#include <string>

namespace rtptools {

// Decimal digits only, no sign or space, value at most `max`.
bool ParseDecimal(const std::string& text, unsigned long max, unsigned long* value);

// Reads a number as atoi does (leading white space, an optional sign, decimal
// digits; 0 when there are none), but saturates at the limits of a 32-bit
// int instead of overflowing. Start offsets in seconds are read so.
int TextToInt(const char* text);

// A UDP port for RTP: 1..65534, as PORT + 1 carries RTCP.
constexpr unsigned long kMaxPort = 65534;
bool ParsePort(const std::string& text, uint16_t* port);
// A TTL or hop limit: 0..255.
constexpr unsigned long kMaxTtl = 255;
bool ParseTtl(const std::string& text, int* ttl);

// Minutes as they start `text`: leading white space, an optional sign, then
// digits with an optional decimal fraction ("90", "1.5", ".25", "60 min").
// In milliseconds, rounded up so that a duration is never cut short, and
// saturating at kMaxMinutes; 0 when the text starts with no number. *end,
// if given, is where the number stopped.
constexpr int64_t kMaxMinutes = 1000000000000;
int64_t MinutesToMs(const char* text, const char** end = nullptr);
// A duration as it is given with -t: a positive number of minutes with an
// optional decimal fraction and nothing else.
bool ParseMinutes(const std::string& text, int64_t* ms);

}  // namespace rtptools

#endif
