#include "hpt.h"

#include <cstring>

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
