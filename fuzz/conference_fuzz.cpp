// The conference file reader and the start offset. Input: the start offset
// text, a newline, then the conference file. A file that loads must save
// and load again to the same durations.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "Conference.h"
#include "hpt.h"

namespace {

// A directory of its own for the conference file, removed at exit.
struct Dir {
  Dir() {
    // A memory file system keeps the rewrite's fsync cheap.
    for (const char* base : {"/dev/shm", "/tmp"}) {
      path = std::string(base) + "/fuzz-conference.XXXXXX";
      if (mkdtemp(&path[0])) return;
    }
    abort();
  }
  ~Dir() {
    unlink((path + "/c.cf").c_str());
    rmdir(path.c_str());
  }
  std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t nl = input.find('\n');
  std::string start = input.substr(0, nl), text = nl == std::string::npos ? "" : input.substr(nl + 1);
  static Dir dir;
  const std::string name = dir.path + "/c";
  {
    std::ofstream out(name + ".cf", std::ios::binary | std::ios::trunc);
    out << text;
  }

  Conference c(name);
  std::fstream file;
  file >> c;
  if (file.fail()) return 0;
  const int32_t count = c.NumSessionsRecorded();
  if (count < 0) abort();
  // Saving what was loaded must give a file that loads the same.
  Conference again(name);
  std::fstream f2;
  f2 << c;
  if (f2.fail()) abort();
  f2 >> again;
  if (f2.fail() || again.NumSessionsRecorded() != count) abort();
  std::string s1 = start, s2 = start;
  ManageStartPosition(&c, s1);
  ManageStartPosition(&again, s2);
  if (s1 != s2) abort();
  // A positive offset never turns negative, however the durations read
  // (what is left of it is rounded down to whole seconds, so it may be 0).
  if (TextToInt(start.c_str()) > 0 && TextToInt(s1.c_str()) < 0) abort();
  unlink((name + ".cf").c_str());
  return 0;
}
