// The address specification parser and the number reader, checked against
// what they promise: atoi's reading with saturation, and hpt's cut.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hpt.h"

namespace {

int Reference(const char* text) {
  long long v = std::strtoll(text, nullptr, 10);
  return int(v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // As on a command line: the text ends at its first NUL.
  std::vector<char> arg(data, data + size);
  arg.push_back('\0');
  const std::string whole(arg.data());
  if (TextToInt(arg.data()) != Reference(arg.data())) abort();

  std::string port = "unset", ttl = "1";
  int r = hpt(arg.data(), port, &ttl);
  size_t slash = whole.find('/');
  if (slash == std::string::npos) {
    if (r != -1 || whole != arg.data() || port != "unset" || ttl != "1") abort();
    return 0;
  }
  // The host is everything before the first '/', cut out in place.
  if (whole.compare(0, slash, arg.data()) != 0 || std::strlen(arg.data()) != slash) abort();
  int p = Reference(whole.c_str() + slash + 1);
  if (p & 1) {
    if (r != -2 || port != "unset" || ttl != "1") abort();
    return 0;
  }
  if (r != 0 || port != std::to_string(p)) abort();
  size_t second = whole.find('/', slash + 1);
  std::string wantTtl = second == std::string::npos ? "1" : std::to_string(Reference(whole.c_str() + second + 1));
  if (ttl != wantTtl) abort();
  return 0;
}
