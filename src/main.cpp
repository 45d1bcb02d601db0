#include "main.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "args.h"
#include "hpt.h"
#include "net.h"
#include "stdfds.h"

namespace {

// Each line is flushed at once so that lines appear in the order of the steps.
void Say(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

[[noreturn]] void Fail(const std::string& line, bool withUsage) {
  Say(line);
  if (withUsage) usage();
  std::exit(1);
}

// The recorders of the running session, for passing SIGTERM and SIGHUP on.
volatile sig_atomic_t recorders[2];

extern "C" void PassOn(int sig) {
  int saved = errno;
  for (sig_atomic_t pid : recorders)
    if (pid > 0) kill(pid, sig);
  errno = saved;
}

// What a record run does with signals while its recorders run, and what it
// had before, which the recorders get back.
struct SignalSetup {
  struct sigaction before[4];
  sigset_t mask;
};
const int kSignals[4] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

// Like system(3): the terminal's interrupt and quit keys reach the recorders,
// which stop and leave their files whole, while confrec waits to count the
// session. TERM and HUP are passed on for the same reason, unless they were
// ignored when confrec started (nohup): then they stay ignored.
void GuardSignals(SignalSetup& setup) {
  struct sigaction ignore = {}, passOn = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  passOn.sa_handler = PassOn;
  sigemptyset(&passOn.sa_mask);
  passOn.sa_flags = SA_RESTART;
  for (int i = 0; i < 4; ++i) {
    sigaction(kSignals[i], nullptr, &setup.before[i]);
    bool wasIgnored = setup.before[i].sa_handler == SIG_IGN;
    if (kSignals[i] == SIGINT || kSignals[i] == SIGQUIT || wasIgnored)
      sigaction(kSignals[i], &ignore, nullptr);
    else
      sigaction(kSignals[i], &passOn, nullptr);
  }
}

// Forks; the child comes back with the signal state of `setup` restored when
// there is one, ready to exec.
pid_t ForkChild(const SignalSetup* setup) {
  pid_t pid = fork();
  if (pid < 0) PANIC();
  if (pid == 0 && setup) {
    for (int i = 0; i < 4; ++i) sigaction(kSignals[i], &setup->before[i], nullptr);
    sigprocmask(SIG_SETMASK, &setup->mask, nullptr);
  }
  return pid;
}

const SignalSetup* recordSignals;  // set while a record run starts its recorders

// One medium's address as hpt took it apart, and its port and TTL as typed,
// for messages.
struct Medium {
  explicit Medium(const char* label) : label(label) {}
  const char* label;
  char* host = nullptr;
  std::string port, ttl = "1";
  std::string typedPort, typedTtl;
};

// Takes -a or -v apart into `m`; false when hpt refuses it.
bool TakeAddress(char* arg, Medium& m) {
  const std::string typed = arg;
  m.host = arg;
  if (hpt(arg, m.port, &m.ttl) < 0) return false;
  size_t slash = typed.find('/'), second = typed.find('/', slash + 1);
  m.typedPort = typed.substr(slash + 1, second == std::string::npos ? std::string::npos : second - slash - 1);
  if (second != std::string::npos) m.typedTtl = typed.substr(second + 1, typed.find('/', second + 1) - second - 1);
  return true;
}

// The values the tools would refuse, refused here first, before any file is
// touched or any child started: a run that records nothing must not look
// like one that succeeded.
void CheckForTools(const Medium& m, bool play) {
  uint16_t port;
  int ttl;
  if (!rtptools::ParsePort(m.port, &port))
    Fail(std::string(m.label) + " port " + m.typedPort + " is not ranged [2.." +
             std::to_string(rtptools::kMaxPort) + "]",
         true);
  if (play && !rtptools::ParseTtl(m.ttl, &ttl))
    Fail(std::string(m.label) + " TTL " + m.typedTtl + " is not ranged [0.." + std::to_string(rtptools::kMaxTtl) + "]",
         true);
  // The host as the tool will read it from the destination confrec builds.
  std::string host, error;
  rtptools::ParseHostPort(std::string(m.host) + "/" + m.port, &host, &port);
  std::vector<rtptools::Address> found;
  rtptools::Scope scope;
  if (rtptools::ResolveHost(host, port, play ? rtptools::HostUse::kSend : rtptools::HostUse::kListen, &found, &scope,
                            &error) != 0)
    Fail(std::string(m.label) + " host " + m.host + " " + error, true);
}

// What the command line asks for.
struct Settings {
  bool record = false, play = false, durationGiven = false, startGiven = false;
  std::string duration, start;
  std::unique_ptr<Conference> conf;
  Medium audio{"Audio"}, video{"Video"};
};

// Reads the options in order; a bad one ends the run with the usage line.
void ReadOptions(int argc, char* argv[], Settings& s) {
  int opt;
  while ((opt = getopt(argc, argv, "rpo:c:t:a:v:")) != -1) {
    bool error = false;
    switch (opt) {
      case 'r':
        error = s.play;
        s.record = !error;
        break;
      case 'p':
        error = s.record;
        s.play = !error;
        break;
      case 'o':
        s.start = optarg;
        s.startGiven = true;
        break;
      case 'c':
        s.conf = std::make_unique<Conference>(optarg);
        break;
      case 't':
        s.duration = optarg;
        s.durationGiven = true;
        break;
      case 'a':
        error = !TakeAddress(optarg, s.audio);
        break;
      case 'v':
        error = !TakeAddress(optarg, s.video);
        break;
      default:
        error = true;
    }
    if (error) {
      usage();
      std::exit(1);
    }
  }
}

// The checks, in order, each ending the run with its message; then the defaults.
void CheckSettings(Settings& s) {
  if (s.durationGiven && s.play) Fail("No allowed options -t and -p simultaneous", true);
  if (s.startGiven) {
    if (s.record) Fail("Start seconds only allowed with play option", true);
    if (TextToInt(s.start.c_str()) < 0)
      Fail("Start seconds is not ranged [0.." + std::to_string(INT_MAX) + "]", true);
  } else {
    s.start = "0";
  }
  if (!s.record && !s.play) Fail("Un option -r or -p is needed", true);
  if (!s.conf) Fail("Conference name is needed", true);
  int64_t ms;
  if (s.durationGiven && !rtptools::ParseMinutes(s.duration, &ms))
    Fail("Duration " + s.duration + " is not a positive number of minutes", true);
  if (!s.durationGiven) s.duration = "1000000";
  for (const Medium* m : {&s.audio, &s.video})
    if (m->host) CheckForTools(*m, s.play);
}

}  // namespace

void usage() {
  Say("Usage: confrec [-r/-p [-o time]] [-c conference] [-t minutes] "
      "[-a address/port[/ttl]] [-v address/port[/ttl]]");
}

void Panic(const char* file, int line) {
  int err = errno;
  std::fprintf(stderr, "\n!! Panic in line %d of file %s\n", line, file);
  errno = err;
  std::perror("Unexpected library error");
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
  std::abort();
}

pid_t CheckChildren() {
  int status;
  pid_t pid;
  while ((pid = wait(&status)) < 0 && errno == EINTR) {
  }
  if (pid < 0) PANIC();
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
    Say("Child exited with code " + std::to_string(WEXITSTATUS(status)));
  else if (WIFSIGNALED(status))
    Say("Child died with signal " + std::to_string(WTERMSIG(status)));
  return pid;
}

pid_t CreateChildRecord(const char* host, const std::string& port, const std::string& file,
                        const std::string& duration) {
  std::string destination = std::string(host) + "/" + port;
  pid_t pid = ForkChild(recordSignals);
  if (pid == 0) {
    execlp("rtpdump", "rtpdump", "-F", "dump", "-t", duration.c_str(), "-d", file.c_str(),
           destination.c_str(), static_cast<char*>(nullptr));
    PANIC();
  }
  return pid;
}

pid_t CreateChildPlay(const char* host, const std::string& port, const std::string& ttl,
                      const std::string& file, const std::string& start) {
  std::string destination = std::string(host) + "/" + port + "/" + ttl;
  pid_t pid = ForkChild(nullptr);
  if (pid == 0) {
    execlp("rtpplay", "rtpplay", "-f", file.c_str(), "-o", start.c_str(), destination.c_str(),
           static_cast<char*>(nullptr));
    PANIC();
  }
  return pid;
}

void Record(const char* audioHost, const std::string& audioPort, const char* videoHost,
            const std::string& videoPort, Conference* conf, const std::string& duration) {
  if (!audioHost && !videoHost) Fail("No hosts to record ", false);

  // Every session file first: a recorder never starts unless all can.
  std::string audioFile, videoFile;
  if (audioHost && (audioFile = conf->FileSessionToRecord(Audio)).empty())
    Fail(conf->Error(), false);
  if (videoHost && (videoFile = conf->FileSessionToRecord(Video)).empty())
    Fail(conf->Error(), false);

  SignalSetup setup;
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGHUP);
  // Until both pids are known, a TERM or HUP waits; it is then passed on.
  sigprocmask(SIG_BLOCK, &block, &setup.mask);
  GuardSignals(setup);
  recordSignals = &setup;
  if (audioHost) recorders[Audio] = CreateChildRecord(audioHost, audioPort, audioFile, duration);
  if (videoHost) recorders[Video] = CreateChildRecord(videoHost, videoPort, videoFile, duration);
  recordSignals = nullptr;
  sigprocmask(SIG_SETMASK, &setup.mask, nullptr);

  for (int started = (audioHost ? 1 : 0) + (videoHost ? 1 : 0); started > 0; --started) {
    // Wait for an end without reaping it, then reap and forget the pid with
    // TERM and HUP held back: passed on in between, they could reach an
    // unrelated process that was given the pid.
    siginfo_t info;
    while (waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    sigset_t old;
    sigprocmask(SIG_BLOCK, &block, &old);
    pid_t ended = CheckChildren();
    for (auto& pid : recorders)
      if (pid == ended) pid = 0;
    sigprocmask(SIG_SETMASK, &old, nullptr);
  }
  if (!conf->SessionRecorded(duration)) Fail(conf->Error(), false);
}

void Play(const char* audioHost, const std::string& audioPort, const std::string& audioTtl,
          const char* videoHost, const std::string& videoPort, const std::string& videoTtl,
          Conference* conf, std::string start) {
  if (!audioHost && !videoHost) Fail("No hosts to play ", false);
  if (!conf->ExistConference()) Fail("No exist conference " + conf->Name() + " to play", false);

  int more;
  while ((more = conf->ExistSessionToPlay(start)) > 0) {
    // Both files first, so that a missing one leaves no player running.
    std::string audioFile, videoFile;
    if (audioHost && (audioFile = conf->FileSessionToPlay(Audio)).empty())
      Fail("Corrupt conference file " + conf->FileName(), false);
    if (videoHost && (videoFile = conf->FileSessionToPlay(Video)).empty())
      Fail("Corrupt conference file " + conf->FileName(), false);
    if (audioHost) CreateChildPlay(audioHost, audioPort, audioTtl, audioFile, start);
    if (videoHost) CreateChildPlay(videoHost, videoPort, videoTtl, videoFile, start);
    if (audioHost) CheckChildren();
    if (videoHost) CheckChildren();
    conf->SessionPlayed();
    start = "0";
  }
  if (more < 0) Fail(conf->Error(), false);
}

int main(int argc, char* argv[]) {
  if (!rtptools::EnsureStdFds()) return 1;
  Settings s;
  ReadOptions(argc, argv, s);
  CheckSettings(s);
  // Children start with descriptor 2 closed.
  fcntl(2, F_SETFD, fcntl(2, F_GETFD) | FD_CLOEXEC);
  if (s.record)
    Record(s.audio.host, s.audio.port, s.video.host, s.video.port, s.conf.get(), s.duration);
  else
    Play(s.audio.host, s.audio.port, s.audio.ttl, s.video.host, s.video.port, s.video.ttl, s.conf.get(), s.start);
  return 0;
}
