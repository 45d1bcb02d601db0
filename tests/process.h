// Helpers for tests that run the built executables as a user would.
#ifndef CONFREC_TESTS_PROCESS_H
#define CONFREC_TESTS_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct ProcessOptions {
  std::string cwd;                  // empty: the test's own
  std::string pathPrefix;           // put first on PATH
  std::vector<std::string> env;     // extra "NAME=value" entries
  bool closeStderr = false;         // start with descriptor 2 closed
  bool newProcessGroup = false;     // lead a process group of its own
};

// A child process whose standard output and standard error go to files.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  ~Process();  // kills the whole group if still running
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t Pid() const { return pid_; }
  void Signal(int sig) const;       // the process alone
  void SignalGroup(int sig) const;  // its process group (needs newProcessGroup)
  // Waits up to `seconds`; on timeout kills the process with SIGKILL and
  // returns false. The wait status is then in Status().
  bool Wait(double seconds);
  bool Running();

  int Status() const { return status_; }
  bool ExitedWith(int code) const;
  int TermSignal() const;  // 0 when it exited normally
  std::string Out() const;
  std::string Err() const;

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  bool group_ = false;
  int status_ = 0;
  TempDir io_;
};

// Runs to the end (at most `seconds`), for the common case.
struct RunResult {
  int status = 0;
  bool finished = false;
  std::string out, err;
  bool ExitedWith(int code) const;
  int TermSignal() const;
};
RunResult RunProgram(const std::vector<std::string>& argv, const ProcessOptions& options = {},
              double seconds = 30);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// Mounts a tmpfs of `size` (a mount(8) size, e.g. "64k") on the directory
// `dir`, in a mount namespace of the test's own (made on first use), so
// that nothing outside the test sees it; unmounted when it goes out of
// scope. Ok() is false where mounting is not allowed.
class SmallDisk {
 public:
  SmallDisk(const std::string& dir, const std::string& size);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool Ok() const { return mounted_; }
  // Writes a filler file in `dir` until the disk is full.
  void Fill() const;

 private:
  std::string dir_;
  bool mounted_ = false;
};

// Counts the lines of `text`, for messages.
std::vector<std::string> Lines(const std::string& text);

#endif
