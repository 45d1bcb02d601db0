// Stands in for the recorder and the player: logs how it was started, then
// does what the test asks through its environment.
//
//   STANDIN_LOG       file that gets one "S|..." line at start and "E|..." at end
//   STANDIN_ACTION    comma-separated steps: sleep:MS, exit:N, kill:SIG, wait,
//                     parent:SIG (signals the parent, confrec)
//   STANDIN_ACTION_V  the same, used instead when the session file is video's
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

const char* Disposition(int sig) {
  struct sigaction sa;
  sigaction(sig, nullptr, &sa);
  return sa.sa_handler == SIG_DFL ? "dfl" : sa.sa_handler == SIG_IGN ? "ign" : "handler";
}

std::string logPath, name;

void Log(const std::string& line) {
  if (logPath.empty()) return;
  int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string l = line + "\n";
  if (write(fd, l.data(), l.size()) < 0) {
  }
  close(fd);
}

}  // namespace

int main(int argc, char* argv[]) {
  // Before anything opens a descriptor, which would take the place of a closed 2.
  bool fd2Open = fcntl(2, F_GETFD) != -1;
  const char* slash = std::strrchr(argv[0], '/');
  name = slash ? slash + 1 : argv[0];
  if (const char* l = std::getenv("STANDIN_LOG")) logPath = l;

  std::string file;
  for (int i = 1; i + 1 < argc; ++i)
    if (!std::strcmp(argv[i], "-d") || !std::strcmp(argv[i], "-f")) file = argv[i + 1];
  struct stat st;
  long long size = stat(file.c_str(), &st) == 0 ? st.st_size : -1;
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  bool masked = false;
  for (int s = 1; s < 32; ++s) masked = masked || sigismember(&mask, s) == 1;

  std::ostringstream start;
  start << "S|" << name << "|" << getpid() << "|" << NowMs() << "|fd2=" << fd2Open
        << "|int=" << Disposition(SIGINT) << "|quit=" << Disposition(SIGQUIT)
        << "|term=" << Disposition(SIGTERM) << "|hup=" << Disposition(SIGHUP)
        << "|mask=" << masked << "|size=" << size;
  for (int i = 1; i < argc; ++i) start << "|" << argv[i];
  Log(start.str());

  const char* action = std::getenv("STANDIN_ACTION");
  if (file.find(".v.rtp") != std::string::npos && std::getenv("STANDIN_ACTION_V"))
    action = std::getenv("STANDIN_ACTION_V");
  int code = 0;
  std::istringstream steps(action ? action : "");
  for (std::string step; std::getline(steps, step, ',');) {
    std::string verb = step.substr(0, step.find(':'));
    int arg = step.find(':') == std::string::npos ? 0 : std::atoi(step.c_str() + step.find(':') + 1);
    if (verb == "sleep") {
      usleep(static_cast<useconds_t>(arg) * 1000);
    } else if (verb == "exit") {
      code = arg;
      break;
    } else if (verb == "kill") {
      Log("E|" + name + "|" + std::to_string(getpid()) + "|" + std::to_string(NowMs()));
      raise(arg);
    } else if (verb == "parent") {
      kill(getppid(), arg);
    } else if (verb == "wait") {
      // Until a signal ends it; bounded so that no test can hang on it.
      for (int i = 0; i < 300; ++i) usleep(100000);
    }
  }
  Log("E|" + name + "|" + std::to_string(getpid()) + "|" + std::to_string(NowMs()));
  return code;
}
