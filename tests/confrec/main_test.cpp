// The built confrec, with stand-ins for the recorder and the player.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "process.h"

namespace {

const std::string kUsage =
    "Usage: confrec [-r/-p [-o time]] [-c conference] [-t minutes] [-a address/port[/ttl]] [-v address/port[/ttl]]\n";
// How the recorders and players start: no standard error, default signals,
// none blocked, their session file there and empty.
const std::string kClean = "fd2=0 int=dfl quit=dfl term=dfl hup=dfl mask=0 size=0";

// One start of a stand-in, as it logged it.
struct Start {
  int pid;
  std::string facts, command;
};

class Confrec : public ::testing::Test {
 protected:
  ProcessOptions Options(Args env = {}) const {
    env.push_back("STANDIN_LOG=" + (dir / "log"));
    return {dir.path, STANDIN_DIR, env};
  }
  RunResult Run(Args args, const Args& env = {}) {
    args.insert(args.begin(), CONFREC_BIN);
    RunResult r = RunProgram(args, Options(env));
    EXPECT_EQ(r.out, "");  // nothing ever goes to standard output
    return r;
  }
  Args Log() const { return Lines(ReadFile(dir / "log")); }
  std::vector<Start> Starts() const {
    std::vector<Start> starts;
    for (const std::string& line : Log())
      if (line[0] == 'S') {
        const size_t space = line.find(' ', 2), bar = line.find('|');
        starts.push_back({std::stoi(line.substr(2)), line.substr(space + 1, bar - space - 1), line.substr(bar + 1)});
      }
    return starts;
  }
  std::vector<std::string> Commands() const {
    std::vector<std::string> commands;
    for (const Start& s : Starts()) commands.push_back(s.command);
    std::sort(commands.begin(), commands.end());
    return commands;
  }
  std::string Cf() const { return ReadFile(dir / "m.cf"); }
  void Forget() const { unlink((dir / "log").c_str()), unlink((dir / "m.cf").c_str()); }

  TempDir dir;
};

// Each refusal: its message (a prefix of it; "" for none), then the usage
// line where the command line is at fault, status 1, no child, no file
// created or changed.
TEST_F(Confrec, RefusesBadCommandLinesAndFilesBeforeTouchingAnything) {
  const std::string cf = "SessionsRecorded = 1\nTimeRecorded0 = 5\n", getopt = std::string(CONFREC_BIN) + ": ";
  const std::string bad = "SessionsRecorded = 2\nTimeRecorded0 = 5\n";
  WriteFile(dir / "m.cf", cf);
  WriteFile(dir / "m.1.a.rtp", "stale");
  WriteFile(dir / "bad.cf", bad);
  ASSERT_EQ(mkdir((dir / "d.cf").c_str(), 0755), 0);
  const struct { Args args; std::string message; bool usage; } cases[] = {
      {{"-o", "5"}, "Un option -r or -p is needed", true}, {{"-p", "-r", "-c", "m"}, "", true},
      {{"-r", "-p"}, "", true}, {{"-r", "-c"}, getopt, true},
      {{"-r", "-o", "10", "-c", "m", "-a", "localhost/2"}, "Start seconds only allowed with play option", true},
      {{"-p", "-o", "-5", "-c", "m", "-a", "localhost/2"}, "Start seconds is not ranged [0..2147483647]", true},
      {{"-t", "30", "-o", "-5", "-p"}, "No allowed options -t and -p simultaneous", true},
      {{"-p", "-a", "localhost/2"}, "Conference name is needed", true}, {{"-r", "-c", "m", "-a", "host/401"}, "", true},
      {{"-r", "-c", "m", "-a", "host"}, "", true},
      {{"-r", "-c", "m", "-t", "60 min", "-a", "localhost/2"}, "Duration 60 min is not a positive number of minutes", true},
      {{"-r", "-c", "m", "-a", "localhost/abc"}, "Audio port abc is not ranged [2..65534]", true},
      {{"-r", "-c", "m", "-a", "localhost/2", "-v", "localhost/-4"}, "Video port -4 is not ranged [2..65534]", true},
      {{"-p", "-c", "m", "-v", "localhost/65536/1"}, "Video port 65536 is not ranged [2..65534]", true},
      {{"-p", "-c", "m", "-a", "localhost/2/7", "-a", "localhost/4", "-v", "localhost/6/-1"}, "Video TTL -1 is not ranged [0..255]", true},
      {{"-r", "-c", "m", "-a", "nosuch.invalid/2"}, "Audio host nosuch.invalid does not resolve: ", true},
      {{"-p", "-c", "m", "-a", "localhost/2", "-v", "nosuch.invalid/4"}, "Video host nosuch.invalid does not resolve: ", true},
      {{"-r", "-c", "m", "-a", "232.1.1.1%nosuch0/2"}, "Audio host 232.1.1.1%nosuch0 names an interface that does not exist: nosuch0", true},
      {{"-p", "-c", "m", "-v", "224.1.1.1@232.1.1.1/2"}, "Video host 224.1.1.1@232.1.1.1 names a source that is not a unicast IPv4 address: 224.1.1.1", true},
      {{"-r", "-c", "m", "-a", "198.51.100.7@192.0.2.1/2"}, "Audio host 198.51.100.7@192.0.2.1 names a source, but 192.0.2.1 is not a multicast group", true},
      {{"-r", "-c", "x"}, "No hosts to record ", false}, {{"-p", "-c", "m"}, "No hosts to play ", false},
      {{"-p", "-c", "nosuch", "-v", "localhost/2"}, "No exist conference nosuch to play", false},
      {{"-r", "-c", "bad", "-a", "localhost/2"}, "Corrupt conference file bad.cf", false},
      {{"-r", "-c", "d", "-a", "localhost/2"}, "Corrupt conference file d.cf", false},
      {{"-p", "-c", "d", "-v", "localhost/2"}, "Corrupt conference file d.cf", false},
  };
  for (const auto& c : cases) {
    RunResult r = Run(c.args);
    EXPECT_TRUE(r.ExitedWith(1)) << testing::PrintToString(c.args);
    const Args lines = Lines(r.err);
    ASSERT_EQ(lines.size(), size_t(!c.message.empty()) + c.usage) << r.err;
    EXPECT_EQ(lines[0].substr(0, c.message.size()), c.message) << r.err;
    if (c.usage) { EXPECT_EQ(lines.back() + "\n", kUsage); }
  }
  EXPECT_EQ(Listing(dir.path), "bad.cf\nd.cf\nm.1.a.rtp\nm.cf\n");
  EXPECT_EQ(Cf(), cf);
  EXPECT_EQ(ReadFile(dir / "bad.cf"), bad);
  EXPECT_EQ(ReadFile(dir / "m.1.a.rtp"), "stale");
}

TEST_F(Confrec, RecordsEachMediumGivenIntoItsEmptiedSessionFile) {
  const mode_t old = umask(0);
  EXPECT_TRUE(Ended(Run({"-r", "-r", "-c", "m", "-a", "localhost/8/999", "-a", "224.2.0.1/0400/x"}), 0, ""));
  umask(old);
  EXPECT_EQ(Commands(), Args({"rtpdump -F dump -t 1000000 -d m.0.a.rtp 224.2.0.1/400"}));
  EXPECT_EQ(Cf(), "SessionsRecorded = 1\nTimeRecorded0 = 1000000\n");
  for (const char* file : {"m.cf", "m.0.a.rtp"})
    EXPECT_EQ(int(std::filesystem::status(dir / file).permissions()), 0664) << file;
  // Both media at once (a stand-in waits for the other), on one index.
  unlink((dir / "log").c_str());
  WriteFile(dir / "m.1.a.rtp", "stale");
  EXPECT_TRUE(Ended(Run({"-r", "-c", "m", "-t", "1.5", "-a", "localhost/400", "-v", "localhost/600/3"},
                        {"STANDIN_ACTION=together"}), 0, ""));
  EXPECT_EQ(Cf(), "SessionsRecorded = 2\nTimeRecorded0 = 1000000\nTimeRecorded1 = 1.5\n");
  EXPECT_EQ(Commands(), Args({"rtpdump -F dump -t 1.5 -d m.1.a.rtp localhost/400", "rtpdump -F dump -t 1.5 -d m.1.v.rtp localhost/600"}));
  for (const Start& s : Starts()) EXPECT_EQ(s.facts, kClean);
}

TEST_F(Confrec, FailingChildrenAreReportedAndTheSessionStillCounts) {
  RunResult r = Run({"-r", "-c", "m", "-t", "12345678901", "-a", "localhost/2", "-v", "localhost/4"},
                    {"STANDIN_ACTION=together,exit:2", "STANDIN_ACTION_V=together,kill:15"});
  EXPECT_TRUE(r.ExitedWith(0));
  Args lines = Lines(r.err);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, Args({"Child died with signal 15", "Child exited with code 2"}));
  EXPECT_EQ(Cf(), "SessionsRecorded = 1\nTimeRecorded0 = 12345678901\n");
  // A tool missing from PATH: the child's exec fails, and it panics.
  ProcessOptions o = Options({"PATH=" + dir.path});
  o.pathPrefix.clear();
  r = RunProgram({CONFREC_BIN, "-r", "-c", "m", "-a", "localhost/2"}, o);
  EXPECT_TRUE(r.ExitedWith(0));
  EXPECT_EQ(r.err.find("\n!! Panic in line "), 0u) << r.err;
  EXPECT_NE(r.err.find(" of file src/main.cpp\nUnexpected library error: No such file or directory\n\nChild died with signal 6\n"),
            std::string::npos) << r.err;
}

TEST_F(Confrec, FilesThatCannotBeWrittenStartNothing) {
  ASSERT_EQ(mkdir((dir / "m.0.v.rtp").c_str(), 0755), 0);
  EXPECT_TRUE(Ended(Run({"-r", "-c", "m", "-a", "localhost/2", "-v", "localhost/4"}), 1,
                    "Cannot create session file m.0.v.rtp: Is a directory\n"));
  EXPECT_EQ(Cf(), "SessionsRecorded = 0\n");
  EXPECT_TRUE(Ended(Run({"-r", "-c", "nodir/m", "-a", "localhost/2"}), 1,
                    "Cannot write conference file nodir/m.cf: No such file or directory\n"));
  EXPECT_EQ(Log().size(), 0u);
  // The rewrite after the session fails as on a full disk: files may not
  // grow past one block.
  const std::string before = "SessionsRecorded = 1\nTimeRecorded0 = " + std::string(3000, 'x') + "\n";
  WriteFile(dir / "m.cf", before);
  const RunResult r = RunProgram({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" -r -c m -a localhost/2", CONFREC_BIN}, Options());
  EXPECT_TRUE(Ended(r, 1, "Cannot write conference file m.cf: File too large\n"));
  EXPECT_EQ(Cf(), before);
  EXPECT_EQ(Starts().size(), 1u);
  EXPECT_EQ(Listing(dir.path), "log\nm.0.a.rtp\nm.0.v.rtp\nm.1.a.rtp\nm.cf\n");
}

// No recorder outlives a record run, whenever a signal comes, and a session
// whose recorders ran is counted.
TEST_F(Confrec, SignalsReachTheRecordersAndTheSessionCounts) {
  const Args args = {CONFREC_BIN, "-r", "-c", "m", "-a", "localhost/2", "-v", "localhost/4"};
  const std::string counted = "SessionsRecorded = 1\nTimeRecorded0 = 1000000\n";
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    // Before any recorder starts: confrec opens its conference file, a FIFO,
    // and is held there until the test opens the other end.
    ASSERT_EQ(mkfifo((dir / "m.cf").c_str(), 0644), 0);
    Process before(args, Options());
    int fifo = -1;
    ASSERT_TRUE(WaitUntil([&] { return (fifo = open((dir / "m.cf").c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, 10));
    before.Signal(sig);
    EXPECT_EQ(before.Finish(10).TermSignal(), sig);
    close(fifo);
    EXPECT_EQ(Log().size(), 0u);
    Forget();
    // While they run: the interrupt key reaches the whole group, TERM and
    // HUP confrec alone, which passes them on.
    ProcessOptions o = Options({"STANDIN_ACTION=wait"});
    o.newProcessGroup = true;
    Process during(args, o);
    ASSERT_TRUE(WaitUntil([&] { return Starts().size() == 2; }, 10));
    during.Signal(sig, sig == SIGINT);
    const std::string line = "Child died with signal " + std::to_string(sig) + "\n";
    EXPECT_TRUE(Ended(during.Finish(20), 0, line + line));
    EXPECT_EQ(Cf(), counted);
    for (const Start& s : Starts()) EXPECT_EQ(s.facts, kClean);
    Forget();
    // At every moment from the recorders' start to confrec's end.
    Process storm(args, Options({"STANDIN_ACTION=parent:" + std::to_string(sig) + ",together"}));
    ASSERT_TRUE(WaitUntil([&] { return !Starts().empty(); }, 10));
    for (int i = 0; i < 5000 && storm.Running(); ++i) storm.Signal(sig), usleep(1000);
    EXPECT_TRUE(storm.Finish(10).ExitedWith(0));
    EXPECT_EQ(Cf(), counted);
    for (const Start& s : Starts()) EXPECT_TRUE(kill(s.pid, 0) != 0 && errno == ESRCH);
    Forget();
  }
}

// Sessions play in order, both media of each together, from an offset; a
// failing player does not stop the run, a missing file does.
TEST_F(Confrec, PlaysSessionsInOrderPastFailingPlayersUntilAFileIsMissing) {
  WriteFile(dir / "m.cf", "SessionsRecorded = 3\nTimeRecorded0 = 10\nTimeRecorded1 = 20\nTimeRecorded2 = 5\n");
  for (const char* file : {"m.0.a.rtp", "m.0.v.rtp", "m.1.a.rtp", "m.1.v.rtp", "m.2.a.rtp", "m.2.v.rtp"}) WriteFile(dir / file, "");
  EXPECT_TRUE(Ended(Run({"-p", "-c", "m", "-a", "224.2.0.1/400", "-v", "localhost/600/16"}, {"STANDIN_ACTION=together"}), 0, ""));
  // Both players of a session start before either ends; no session overlaps.
  std::string pattern;
  for (const std::string& line : Log()) pattern += line[0];
  ASSERT_EQ(pattern, "SSEESSEESSEE");
  for (size_t s = 0; s < 3; ++s) {
    const std::string n = std::to_string(s);
    Args pair = {Starts()[s * 2].command, Starts()[s * 2 + 1].command};
    std::sort(pair.begin(), pair.end());
    EXPECT_EQ(pair, Args({"rtpplay -f m." + n + ".a.rtp -o 0 224.2.0.1/400/1", "rtpplay -f m." + n + ".v.rtp -o 0 localhost/600/16"}));
  }
  for (const Start& s : Starts()) EXPECT_EQ(s.facts, kClean);
  const std::string failed = "Child exited with code 3\n";
  const std::tuple<std::string, Args, std::string> offsets[] = {
      {"700", {"rtpplay -f m.1.a.rtp -o 100 localhost/2/1", "rtpplay -f m.2.a.rtp -o 0 localhost/2/1"}, failed + failed},
      {"2101", {}, ""}};
  for (const auto& [offset, want, err] : offsets) {
    unlink((dir / "log").c_str());
    EXPECT_TRUE(Ended(Run({"-p", "-c", "m", "-o", offset, "-a", "localhost/2"}, {"STANDIN_ACTION=exit:3"}), 0, err));
    EXPECT_EQ(Commands(), want) << offset;
  }
  // Video or audio of session 1 is missing: session 0 plays, then nothing more.
  for (const std::string missing : {"m.1.v.rtp", "m.1.a.rtp"}) {
    unlink((dir / "log").c_str());
    rename((dir / missing).c_str(), (dir / "gone").c_str());
    EXPECT_TRUE(Ended(Run({"-p", "-c", "m", "-a", "localhost/2", "-v", "localhost/4"}), 1, "Corrupt conference file m.cf\n"));
    EXPECT_EQ(Commands(), Args({"rtpplay -f m.0.a.rtp -o 0 localhost/2/1", "rtpplay -f m.0.v.rtp -o 0 localhost/4/1"})) << missing;
    rename((dir / "gone").c_str(), (dir / missing).c_str());
  }
  WriteFile(dir / "m.cf", "SessionsRecorded = 0\n");
  EXPECT_TRUE(Ended(Run({"-p", "-c", "m", "-a", "localhost/2"}), 0, ""));
}

}  // namespace
