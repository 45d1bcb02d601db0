#include "args.h"

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

}  // namespace rtptools
