#include "args.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace rtptools {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool ParseDecimal(const std::string& text, unsigned long max, unsigned long* value) {
  if (text.empty()) return false;
  unsigned long v = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    unsigned d = unsigned(c - '0');
    if (d > max || v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  *value = v;
  return true;
}

int TextToInt(const char* text) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // Accumulate towards the sign's limit so INT_MIN itself is reachable.
  long long value = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  for (; IsDigit(*p); ++p) {
    value = value * 10 + (*p - '0');
    if (value >= limit) {
      value = limit;
      break;
    }
  }
  return static_cast<int>(negative ? -value : value);
}

bool ParsePort(const std::string& text, uint16_t* port) {
  unsigned long p;
  if (!ParseDecimal(text, kMaxPort, &p) || p == 0) return false;
  *port = uint16_t(p);
  return true;
}

bool ParseTtl(const std::string& text, int* ttl) {
  unsigned long t;
  if (!ParseDecimal(text, kMaxTtl, &t)) return false;
  *ttl = int(t);
  return true;
}

int64_t MinutesToMs(const char* text, const char** end) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  const char* digits = p;
  int64_t minutes = 0;
  for (; IsDigit(*p); ++p) minutes = std::min(kMaxMinutes, minutes * 10 + (*p - '0'));
  // The fraction's first nine digits, exactly; any later one only rounds up.
  int64_t fraction = 0, scale = 1;
  bool beyond = false;
  if (*p == '.' && IsDigit(p[1])) {
    for (++p; IsDigit(*p); ++p) {
      if (scale < 1000000000) {
        fraction = fraction * 10 + (*p - '0');
        scale *= 10;
      } else if (*p != '0') {
        beyond = true;
      }
    }
  }
  if (p == digits) {  // no number at all
    if (end) *end = text;
    return 0;
  }
  if (end) *end = p;
  int64_t ms = minutes * 60000 + fraction * 60000 / scale;
  if (fraction * 60000 % scale != 0 || beyond) ++ms;
  return negative ? -ms : ms;
}

bool ParseMinutes(const std::string& text, int64_t* ms) {
  if (text.empty() || !(IsDigit(text[0]) || text[0] == '.')) return false;
  const char* end;
  int64_t value = MinutesToMs(text.c_str(), &end);
  // Also past a NUL inside the text.
  if (end != text.c_str() + text.size() || value <= 0) return false;
  *ms = value;
  return true;
}

}  // namespace rtptools
