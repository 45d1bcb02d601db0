#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

bool Instrumented() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

double Scale() {
  const char* s = std::getenv("CONFREC_TEST_SCALE");
  return s && std::atof(s) > 0 ? std::atof(s) : 1.0;
}

bool WaitUntil(const std::function<bool()>& ready, double seconds) {
  const long rounds = long(seconds * Scale() * 200);
  for (long i = 0; i < rounds; ++i) {
    if (ready()) return true;
    usleep(5000);
  }
  return ready();
}

TempDir::TempDir() : path(std::filesystem::temp_directory_path() / "confrec-test.XXXXXX") {
  if (!mkdtemp(&path[0])) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

Process::Process(const Args& argv, const ProcessOptions& options)
    : group_(options.newProcessGroup) {
  // env(1) sets the variables, replacing inherited ones, and execs the
  // program in its place.
  Args args = options.env;
  if (!options.pathPrefix.empty()) args.push_back("PATH=" + options.pathPrefix + ":" + std::getenv("PATH"));
  if (!args.empty()) args.insert(args.begin(), "/usr/bin/env");
  args.insert(args.end(), argv.begin(), argv.end());
  std::vector<char*> cargv;
  for (const auto& a : args) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  const std::string out = io_ / "out", err = io_ / "err";
  sigset_t none;
  sigemptyset(&none);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
  if (pid_ == 0) {
    // The test runner may ignore or block signals; children start clean.
    if (group_) setpgid(0, 0);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), 2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  if (group_) setpgid(pid_, pid_);  // either side may win the race
  pidfd_ = int(syscall(SYS_pidfd_open, pid_, 0));
}

Process::~Process() {
  if (!reaped_) Finish(0);
  if (pidfd_ >= 0) close(pidfd_);
}

void Process::Signal(int sig, bool group) const { kill(group ? -pid_ : pid_, sig); }

bool Process::Running() {
  if (!reaped_ && waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

RunResult Process::Finish(double seconds) {
  // The pidfd becomes readable when the process ends.
  pollfd p{pidfd_, POLLIN, 0};
  RunResult r;
  r.finished = !Running() || poll(&p, 1, int(seconds * Scale() * 1000)) > 0;
  if (!r.finished) kill(group_ ? -pid_ : pid_, SIGKILL);
  if (!reaped_) waitpid(pid_, &status_, 0);
  reaped_ = true;
  r.status = status_;
  r.out = ReadFile(io_ / "out");
  r.err = Err();
  return r;
}

std::string Process::Err() const { return ReadFile(io_ / "err"); }

bool RunResult::ExitedWith(int code) const { return finished && WIFEXITED(status) && WEXITSTATUS(status) == code; }
int RunResult::TermSignal() const { return finished && WIFSIGNALED(status) ? WTERMSIG(status) : 0; }

RunResult RunProgram(const Args& argv, const ProcessOptions& options, double seconds) {
  return Process(argv, options).Finish(seconds);
}

::testing::AssertionResult Ended(const RunResult& r, int code, const std::string& err) {
  if (r.ExitedWith(code) && r.err == err) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "status " << std::hex << r.status << ", standard error:\n" << r.err;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!(out << content).flush()) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Listing(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename());
  std::string out;
  for (const auto& n : names) out += n + "\n";
  return out;
}
