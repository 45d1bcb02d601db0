// Running the built programs as a user would, and the files around them.
#ifndef CONFREC_TESTS_PROCESS_H
#define CONFREC_TESTS_PROCESS_H

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using Args = std::vector<std::string>;

// The one scale factor for slow machines (CONFREC_TEST_SCALE, default 1):
// every bound on a wait in the tests is multiplied by it.
double Scale();
// Whether this build is instrumented (AddressSanitizer). A test that judges
// timing or media rather than memory runs in the plain build alone: slowed
// several times, it would judge the instruments.
bool Instrumented();
#define SKIP_IF_INSTRUMENTED() \
  if (Instrumented()) GTEST_SKIP() << "judges timing or media: the plain build runs it"
// Checks `ready` every few milliseconds until it holds; false after
// `seconds` × Scale().
bool WaitUntil(const std::function<bool()>& ready, double seconds);

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

struct ProcessOptions {
  std::string cwd;               // empty: the test's own
  std::string pathPrefix;        // put first on PATH
  std::vector<std::string> env;  // "NAME=value" entries, replacing inherited ones
  bool newProcessGroup = false;
};

// How a program ended, and what it wrote.
struct RunResult {
  int status = 0;
  bool finished = false;  // by itself, in time
  std::string out, err;
  bool ExitedWith(int code) const;
  int TermSignal() const;  // 0 when it exited
};

// A child whose standard output and error go to files; killed (with its
// group, if it leads one) when it goes out of scope.
class Process {
 public:
  explicit Process(const Args& argv, const ProcessOptions& options = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  pid_t Pid() const { return pid_; }
  void Signal(int sig, bool group = false) const;  // group: to the group it leads
  bool Running();
  // Waits up to `seconds` × Scale(), killing it then.
  RunResult Finish(double seconds);
  std::string Err() const;

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1, status_ = 0;
  bool reaped_ = false, group_ = false;
  TempDir io_;
};

// A program run to its end, at most `seconds` × Scale().
RunResult RunProgram(const Args& argv, const ProcessOptions& options = {}, double seconds = 30);
// It ended by itself with `code`, having written exactly `err` to standard error.
::testing::AssertionResult Ended(const RunResult& r, int code, const std::string& err);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
std::vector<std::string> Lines(const std::string& text);
// The names in `dir`, sorted, one per line.
std::string Listing(const std::string& dir);

#endif
