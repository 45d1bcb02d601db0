#include "args.h"

#include <climits>
#include <cctype>

namespace rtptools {

bool ParseDecimal(const std::string& text, unsigned long max, unsigned long* value) {
  if (text.empty()) return false;
  unsigned long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    unsigned d = unsigned(c - '0');
    if (d > max || v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  *value = v;
  return true;
}

int AtoiSaturating(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long v = 0;
  const long long limit = negative ? -(long long)INT_MIN : INT_MAX;
  for (; *p >= '0' && *p <= '9'; ++p) {
    v = v * 10 + (*p - '0');
    if (v >= limit) {
      v = limit;
      break;
    }
  }
  return int(negative ? -v : v);
}

}  // namespace rtptools
