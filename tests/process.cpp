#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

double Scale() {
  static const double scale = [] {
    const char* s = std::getenv("CONFREC_TEST_SCALE");
    return s && std::atof(s) > 0 ? std::atof(s) : 1.0;
  }();
  return scale;
}

bool WaitUntil(const std::function<bool()>& ready, double seconds) {
  const long rounds = long(seconds * Scale() * 200);
  for (long i = 0; i < rounds; ++i) {
    if (ready()) return true;
    usleep(5000);
  }
  return ready();
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/confrec-test.XXXXXX";
  if (!mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
  path_ = tmpl;
}

TempDir::~TempDir() {
  // Test directories are ours and hold no quotes.
  if (std::system(("rm -rf '" + path_ + "'").c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", path_.c_str());
}

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& options)
    : group_(options.newProcessGroup) {
  std::vector<std::string> env = options.env;
  const char* path = std::getenv("PATH");
  if (!options.pathPrefix.empty()) env.push_back("PATH=" + options.pathPrefix + ":" + (path ? path : "/usr/bin:/bin"));
  // Entries given replace inherited ones of the same name.
  for (char** e = environ; *e; ++e) {
    const std::string name(*e, std::strcspn(*e, "="));
    if (std::none_of(env.begin(), env.end(), [&](const std::string& x) { return x.rfind(name + "=", 0) == 0; }))
      env.push_back(*e);
  }
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cargv.push_back(nullptr);
  cenv.push_back(nullptr);
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
    if (options.closeStderr) close(2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  if (group_) setpgid(pid_, pid_);  // either side may win the race
  pidfd_ = int(syscall(SYS_pidfd_open, pid_, 0));
}

Process::~Process() {
  if (!reaped_) {
    kill(group_ ? -pid_ : pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
  if (pidfd_ >= 0) close(pidfd_);
}

void Process::Signal(int sig) const { kill(pid_, sig); }
void Process::SignalGroup(int sig) const { kill(-pid_, sig); }

bool Process::Running() {
  if (!reaped_ && waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

bool Process::Wait(double seconds) {
  // The pidfd becomes readable when the process ends.
  pollfd p{pidfd_, POLLIN, 0};
  if (Running() && poll(&p, 1, int(seconds * Scale() * 1000)) <= 0) {
    kill(group_ ? -pid_ : pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    reaped_ = true;
    return false;
  }
  return !Running();
}

bool Process::ExitedWith(int code) const { return reaped_ && WIFEXITED(status_) && WEXITSTATUS(status_) == code; }
int Process::TermSignal() const { return reaped_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }
std::string Process::Out() const { return ReadFile(io_ / "out"); }
std::string Process::Err() const { return ReadFile(io_ / "err"); }

bool RunResult::ExitedWith(int code) const { return finished && WIFEXITED(status) && WEXITSTATUS(status) == code; }

RunResult RunProgram(const std::vector<std::string>& argv, const ProcessOptions& options, double seconds) {
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
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!(out << content).flush()) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Listing(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  std::string out;
  for (const auto& n : names) out += n + "\n";
  return out;
}
