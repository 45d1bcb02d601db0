// Stands in for the recorder and the player: logs how it was started, then
// does what the test asks through its environment, and logs its end.
//
//   STANDIN_LOG       file that gets "S PID FACTS|COMMAND LINE" at start, "E PID" at end
//   STANDIN_ACTION    comma-separated steps: exit:N, kill:SIG, parent:SIG
//                     (signals confrec), wait (until a signal ends it),
//                     together (until the other stand-in of its pair has started)
//   STANDIN_ACTION_V  the same, used instead when the session file is video's
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string logPath;

void Log(const std::string& line) {
  const int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0 && write(fd, (line + "\n").data(), line.size() + 1) >= 0) close(fd);
}

// Stand-ins started so far, as the log tells.
int Starts() {
  std::ifstream in(logPath);
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line[0] == 'S';
  return n;
}

const char* Disposition(int sig) {
  struct sigaction sa;
  sigaction(sig, nullptr, &sa);
  return sa.sa_handler == SIG_DFL ? "dfl" : sa.sa_handler == SIG_IGN ? "ign" : "handler";
}

}  // namespace

int main(int argc, char* argv[]) {
  // Before anything opens a descriptor, which would take the place of a closed 2.
  const bool fd2Open = fcntl(2, F_GETFD) != -1;
  const char* l = std::getenv("STANDIN_LOG");
  logPath = l ? l : "/dev/null";
  std::string file;
  for (int i = 1; i + 1 < argc; ++i)
    if (!std::strcmp(argv[i], "-d") || !std::strcmp(argv[i], "-f")) file = argv[i + 1];
  struct stat st;
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  bool masked = false;
  for (int s = 1; s < 32; ++s) masked = masked || sigismember(&mask, s) == 1;

  std::ostringstream start;
  start << "S " << getpid() << " fd2=" << fd2Open << " int=" << Disposition(SIGINT)
        << " quit=" << Disposition(SIGQUIT) << " term=" << Disposition(SIGTERM) << " hup=" << Disposition(SIGHUP)
        << " mask=" << masked << " size=" << (stat(file.c_str(), &st) == 0 ? st.st_size : -1) << "|";
  const char* slash = std::strrchr(argv[0], '/');
  for (int i = 0; i < argc; ++i) start << (i ? " " : "") << (i || !slash ? argv[i] : slash + 1);
  Log(start.str());
  // Started in pairs, one per medium: the first of a pair has an odd count.
  const int mine = Starts();

  const char* action = std::getenv("STANDIN_ACTION");
  if (file.find(".v.rtp") != std::string::npos && std::getenv("STANDIN_ACTION_V")) action = std::getenv("STANDIN_ACTION_V");
  std::istringstream steps(action ? action : "");
  int code = 0;
  for (std::string step; std::getline(steps, step, ',');) {
    const std::string verb = step.substr(0, step.find(':'));
    const int arg = std::atoi(step.c_str() + std::min(step.size(), step.find(':') + 1));
    if (verb == "exit") code = arg;
    if (verb == "parent") kill(getppid(), arg);
    if (verb == "kill") Log("E " + std::to_string(getpid())), raise(arg);
    // Bounded, so that no test can hang on a stand-in: 30 s, then 99.
    for (int i = 0; verb == "wait" && i < 300; ++i) usleep(100000);
    for (int i = 0; verb == "together" && mine % 2 == 1 && Starts() == mine; ++i)
      if (i == 6000) return 99;
      else usleep(5000);
  }
  Log("E " + std::to_string(getpid()));
  return code;
}
