#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

void RemoveTree(const std::string& path) {
  // Test directories are shallow and ours; a shell is the simplest safe way.
  std::string cmd = "rm -rf '" + path + "'";
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", path.c_str());
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/confrec-test.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
  path_ = buf.data();
}

TempDir::~TempDir() { RemoveTree(path_); }

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& options)
    : group_(options.newProcessGroup) {
  // Entries of options.env replace inherited ones of the same name.
  auto overridden = [&](const char* entry) {
    std::string name(entry, std::strcspn(entry, "="));
    if (!options.pathPrefix.empty() && name == "PATH") return true;
    for (const auto& e : options.env)
      if (e.compare(0, name.size() + 1, name + "=") == 0) return true;
    return false;
  };
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (!overridden(*e)) env.push_back(*e);
  if (!options.pathPrefix.empty()) {
    const char* path = std::getenv("PATH");
    env.push_back("PATH=" + options.pathPrefix + ":" + (path ? path : "/usr/bin:/bin"));
  }
  for (const auto& e : options.env) env.push_back(e);

  // Everything the child needs is prepared before the fork.
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);
  std::string out = io_ / "out", err = io_ / "err";

  // The test runner may ignore or block signals; children start clean.
  sigset_t none;
  sigemptyset(&none);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork: " + std::string(strerror(errno)));
  if (pid_ == 0) {
    if (group_) setpgid(0, 0);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    int fd = open("/dev/null", O_RDONLY);
    dup2(fd, 0);
    close(fd);
    fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    close(fd);
    fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    close(fd);
    if (options.closeStderr) close(2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  if (group_) setpgid(pid_, pid_);  // either side may win the race
}

Process::~Process() {
  if (!reaped_) {
    if (group_)
      kill(-pid_, SIGKILL);
    else
      kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
}

void Process::Signal(int sig) const { kill(pid_, sig); }
void Process::SignalGroup(int sig) const { kill(-pid_, sig); }

bool Process::Running() {
  if (reaped_) return false;
  pid_t r = waitpid(pid_, &status_, WNOHANG);
  if (r == pid_) reaped_ = true;
  return !reaped_;
}

bool Process::Wait(double seconds) {
  double deadline = Now() + seconds;
  while (Running()) {
    if (Now() > deadline) {
      if (group_) kill(-pid_, SIGKILL);
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
      reaped_ = true;
      return false;
    }
    usleep(5000);
  }
  return true;
}

bool Process::ExitedWith(int code) const {
  return reaped_ && WIFEXITED(status_) && WEXITSTATUS(status_) == code;
}

int Process::TermSignal() const { return reaped_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }
std::string Process::Out() const { return ReadFile(io_ / "out"); }
std::string Process::Err() const { return ReadFile(io_ / "err"); }

bool RunResult::ExitedWith(int code) const {
  return finished && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

int RunResult::TermSignal() const { return finished && WIFSIGNALED(status) ? WTERMSIG(status) : 0; }

RunResult RunProgram(const std::vector<std::string>& argv, const ProcessOptions& options,
              double seconds) {
  Process p(argv, options);
  RunResult r;
  r.finished = p.Wait(seconds);
  r.status = p.Status();
  r.out = p.Out();
  r.err = p.Err();
  return r;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

SmallDisk::SmallDisk(const std::string& dir, const std::string& size) : dir_(dir) {
  static bool ownNamespace =
      unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  mounted_ = ownNamespace &&
             mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, ("size=" + size).c_str()) == 0;
}

SmallDisk::~SmallDisk() {
  if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
}

void SmallDisk::Fill() const {
  int fd = open((dir_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::string block(4096, 'f');
  // Bounded: the disk is small, and write stops at the first refusal.
  for (int i = 0; i < 100000 && write(fd, block.data(), block.size()) > 0; ++i) {
  }
  for (int i = 0; i < 4096 && write(fd, block.data(), 1) > 0; ++i) {
  }
  close(fd);
}
