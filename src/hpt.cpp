#include "hpt.h"

#include <cctype>
#include <climits>
#include <cstring>

int TextToInt(const char* text) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // Accumulate towards the sign's limit so INT_MIN itself is reachable.
  long long value = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    value = value * 10 + (*p - '0');
    if (value >= limit) {
      value = limit;
      break;
    }
  }
  return static_cast<int>(negative ? -value : value);
}

int hpt(char* spec, std::string& port, std::string* ttl) {
  char* slash = std::strchr(spec, '/');
  if (!slash) return -1;
  *slash = '\0';
  char* rest = slash + 1;
  int p = TextToInt(rest);
  if (p & 1) return -2;
  if (char* second = std::strchr(rest, '/'); second && ttl) *ttl = std::to_string(TextToInt(second + 1));
  port = std::to_string(p);
  return 0;
}
