// Runs the built confrec with stand-ins for the recorder and the player.
#include <signal.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "process.h"

namespace {

const std::string kUsage =
    "Usage: confrec [-r/-p [-o time]] [-c conference] [-t minutes] [-a address/port[/ttl]] "
    "[-v address/port[/ttl]]\n";

// One line of the stand-ins' log.
struct Event {
  bool start = false;
  std::string tool;
  int pid = 0;
  long long ms = 0;
  std::map<std::string, std::string> facts;  // fd2, int, quit, term, hup, mask, size
  std::vector<std::string> args;
};

class Confrec : public ::testing::Test {
 protected:
  ProcessOptions Options(const std::vector<std::string>& env = {}) const {
    ProcessOptions o;
    o.cwd = dir.Path();
    o.pathPrefix = STANDIN_DIR;
    o.env = env;
    o.env.push_back("STANDIN_LOG=" + (dir / "log"));
    return o;
  }
  RunResult RunConfrec(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), CONFREC_BIN);
    RunResult r = RunProgram(args, Options(env), 60);
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.out, "");  // nothing ever goes to standard output
    return r;
  }
  std::vector<Event> Log() const {
    std::vector<Event> events;
    for (const auto& line : Lines(ReadFile(dir / "log"))) {
      Event e;
      std::vector<std::string> f;
      size_t pos = 0;
      for (size_t bar; (bar = line.find('|', pos)) != std::string::npos; pos = bar + 1)
        f.push_back(line.substr(pos, bar - pos));
      f.push_back(line.substr(pos));
      e.start = f[0] == "S";
      e.tool = f[1];
      e.pid = std::stoi(f[2]);
      e.ms = std::stoll(f[3]);
      size_t i = 4;
      for (; e.start && i < 11; ++i) e.facts[f[i].substr(0, f[i].find('='))] = f[i].substr(f[i].find('=') + 1);
      e.args.assign(f.begin() + static_cast<long>(i), f.end());
      events.push_back(e);
    }
    return events;
  }
  std::vector<Event> Starts() const {
    std::vector<Event> s;
    for (const auto& e : Log())
      if (e.start) s.push_back(e);
    return s;
  }
  // Waits (bounded) until the stand-ins have logged `n` starts.
  bool AwaitStarts(size_t n) const {
    for (int i = 0; i < 400 && Starts().size() < n; ++i) usleep(10000);
    return Starts().size() >= n;
  }
  void Conference(const std::vector<std::string>& durations, bool video = true) {
    std::string cf = "SessionsRecorded = " + std::to_string(durations.size()) + "\n";
    for (size_t i = 0; i < durations.size(); ++i) {
      cf += "TimeRecorded" + std::to_string(i) + " = " + durations[i] + "\n";
      WriteFile(dir / ("m." + std::to_string(i) + ".a.rtp"), "");
      if (video) WriteFile(dir / ("m." + std::to_string(i) + ".v.rtp"), "");
    }
    WriteFile(dir / "m.cf", cf);
  }
  std::string Cf() const { return ReadFile(dir / "m.cf"); }

  TempDir dir;
};

using Args = std::vector<std::string>;

TEST_F(Confrec, CommandLineErrorsInTheirOrder) {
  const std::vector<std::pair<Args, std::string>> cases = {
      {{}, "Un option -r or -p is needed\n" + kUsage},
      {{"-p", "-r", "-c", "x"}, kUsage},
      {{"-r", "-p"}, kUsage},
      {{"-r", "-o", "10", "-c", "x", "-a", "localhost/2"}, "Start seconds only allowed with play option\n" + kUsage},
      {{"-p", "-o", "-5", "-c", "x", "-a", "localhost/2"}, "Start seconds is not ranged [0..2147483647]\n" + kUsage},
      {{"-p", "-o", "-99999999999", "-c", "x"}, "Start seconds is not ranged [0..2147483647]\n" + kUsage},
      {{"-t", "30", "-o", "-5", "-p"}, "No allowed options -t and -p simultaneous\n" + kUsage},
      {{"-o", "5"}, "Un option -r or -p is needed\n" + kUsage},
      {{"-p", "-a", "localhost/2"}, "Conference name is needed\n" + kUsage},
      {{"-r", "-c", "x", "-a", "host/401"}, kUsage},
      {{"-r", "-c", "x", "-a", "host"}, kUsage},
      {{"-r", "-c", "x", "-v", "host/-3"}, kUsage},
      {{"-r", "-c", "x"}, "No hosts to record \n"},
      {{"-p", "-c", "x"}, "No hosts to play \n"},
      {{"-p", "-c", "nosuch", "-v", "localhost/2"}, "No exist conference nosuch to play\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.first));
    RunResult r = RunConfrec(c.first);
    EXPECT_TRUE(r.ExitedWith(1));
    EXPECT_EQ(r.err, c.second);
  }
  EXPECT_EQ(ReadFile(dir / "log"), "");
  EXPECT_EQ(RunProgram({"/bin/ls", "-A", dir.Path()}).out, "");  // not a file was made
}

// What the recorder or the player would refuse is refused before any file
// is touched or any child started, with the value and the option named.
TEST_F(Confrec, ValuesTheToolsWouldRefuse) {
  const std::string cf = "SessionsRecorded = 1\nTimeRecorded0 = 5\n";
  WriteFile(dir / "m.cf", cf);
  WriteFile(dir / "m.1.a.rtp", "stale");
  const std::vector<std::pair<Args, std::string>> cases = {
      {{"-r", "-c", "m", "-t", "60 min", "-a", "localhost/2"}, "Duration 60 min is not a positive number of minutes"},
      {{"-r", "-c", "m", "-t", "0", "-a", "localhost/2"}, "Duration 0 is not a positive number of minutes"},
      {{"-r", "-c", "m", "-t", "-1.5", "-a", "localhost/2"}, "Duration -1.5 is not a positive number of minutes"},
      {{"-r", "-c", "m", "-t", "", "-a", "localhost/2"}, "Duration  is not a positive number of minutes"},
      {{"-r", "-c", "m", "-t", "1.", "-a", "localhost/2"}, "Duration 1. is not a positive number of minutes"},
      {{"-r", "-c", "m", "-a", "localhost/abc"}, "Audio port abc is not ranged [2..65534]"},
      {{"-r", "-c", "m", "-a", "localhost/2", "-v", "localhost/-4"}, "Video port -4 is not ranged [2..65534]"},
      {{"-p", "-c", "m", "-v", "localhost/65536/1"}, "Video port 65536 is not ranged [2..65534]"},
      {{"-p", "-c", "m", "-a", "localhost/2/256"}, "Audio TTL 256 is not ranged [0..255]"},
      {{"-p", "-c", "m", "-a", "localhost/2/7", "-a", "localhost/4", "-v", "localhost/6/-1"},
       "Video TTL -1 is not ranged [0..255]"},
      {{"-r", "-c", "m", "-a", "nosuch.invalid/2"}, "Audio host nosuch.invalid does not resolve: "},
      {{"-p", "-c", "m", "-a", "localhost/2", "-v", "nosuch.invalid/4"}, "Video host nosuch.invalid does not resolve: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.first));
    RunResult r = RunConfrec(c.first);
    EXPECT_TRUE(r.ExitedWith(1));
    auto lines = Lines(r.err);
    ASSERT_EQ(lines.size(), 2u) << r.err;
    EXPECT_EQ(lines[0].substr(0, c.second.size()), c.second);
    EXPECT_EQ(lines[1] + "\n", kUsage);
  }
  EXPECT_EQ(ReadFile(dir / "log"), "");
  EXPECT_EQ(Cf(), cf);
  EXPECT_EQ(ReadFile(dir / "m.1.a.rtp"), "stale");
  EXPECT_EQ(RunProgram({"/bin/ls", dir.Path()}).out, "m.1.a.rtp\nm.cf\n");
}

TEST_F(Confrec, GetoptComplainsBeforeTheUsageLine) {
  for (const Args& args : {Args{"-x"}, Args{"-r", "-c"}, Args{"-p", "-c", "x", "-a"}}) {
    RunResult r = RunConfrec(args);
    EXPECT_TRUE(r.ExitedWith(1));
    auto lines = Lines(r.err);
    ASSERT_EQ(lines.size(), 2u) << r.err;
    EXPECT_NE(lines[0].find("option"), std::string::npos);
    EXPECT_EQ(lines[1] + "\n", kUsage);
  }
}

TEST_F(Confrec, RecordsOneMediumWithTheDefaultDuration) {
  mode_t old = umask(0);
  RunResult r = RunConfrec({"-r", "-r", "-c", "m", "-a", "localhost/8/99", "-a", "224.2.0.1/0400/x"});
  umask(old);
  EXPECT_TRUE(r.ExitedWith(0));
  EXPECT_EQ(r.err, "");
  auto starts = Starts();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].tool, "rtpdump");
  EXPECT_EQ(starts[0].args, Args({"-F", "dump", "-t", "1000000", "-d", "m.0.a.rtp", "224.2.0.1/400"}));
  EXPECT_EQ(starts[0].facts["fd2"], "0");
  EXPECT_EQ(starts[0].facts["size"], "0");
  EXPECT_EQ(Cf(), "SessionsRecorded = 1\nTimeRecorded0 = 1000000\n");
  struct stat st;
  ASSERT_EQ(stat((dir / "m.cf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);
  ASSERT_EQ(stat((dir / "m.0.a.rtp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);
}

TEST_F(Confrec, RecordsBothMediaAtOnceAndCountsTheSessionOnce) {
  WriteFile(dir / "m.1.a.rtp", "stale");
  for (int session = 0; session < 2; ++session)
    EXPECT_TRUE(RunConfrec({"-r", "-c", "m", "-t", "1.5", "-a", "localhost/400", "-v", "localhost/600/3"},
                         {"STANDIN_ACTION=sleep:300"})
                    .ExitedWith(0));
  EXPECT_EQ(Cf(), "SessionsRecorded = 2\nTimeRecorded0 = 1.5\nTimeRecorded1 = 1.5\n");
  auto log = Log();
  ASSERT_EQ(log.size(), 8u);
  for (int session = 0; session < 2; ++session) {
    const Event* e = &log[static_cast<size_t>(session) * 4];
    std::string n = std::to_string(session);
    // Both recorders start before either ends.
    EXPECT_TRUE(e[0].start && e[1].start && !e[2].start && !e[3].start);
    std::map<std::string, Args> byFile;
    for (int i = 0; i < 2; ++i) byFile[e[i].args[5]] = e[i].args;
    EXPECT_EQ(byFile["m." + n + ".a.rtp"], Args({"-F", "dump", "-t", "1.5", "-d", "m." + n + ".a.rtp", "localhost/400"}));
    EXPECT_EQ(byFile["m." + n + ".v.rtp"], Args({"-F", "dump", "-t", "1.5", "-d", "m." + n + ".v.rtp", "localhost/600"}));
    for (int i = 0; i < 2; ++i) EXPECT_EQ(e[i].facts.at("size"), "0");
  }
}

TEST_F(Confrec, FailingRecordersAreReportedAndTheSessionStillCounts) {
  RunResult r = RunConfrec({"-r", "-c", "m", "-t", "12345678901", "-a", "localhost/2", "-v", "localhost/4"},
                         {"STANDIN_ACTION=sleep:100,exit:2", "STANDIN_ACTION_V=kill:15"});
  EXPECT_TRUE(r.ExitedWith(0));
  auto lines = Lines(r.err);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, Args({"Child died with signal 15", "Child exited with code 2"}));
  EXPECT_EQ(Cf(), "SessionsRecorded = 1\nTimeRecorded0 = 12345678901\n");
}

TEST_F(Confrec, MissingToolPanicsInTheChild) {
  ProcessOptions o = Options({"PATH=" + dir.Path()});
  o.pathPrefix.clear();
  RunResult r = RunProgram({CONFREC_BIN, "-r", "-c", "m", "-a", "localhost/2"}, o, 30);
  EXPECT_TRUE(r.ExitedWith(0));
  EXPECT_NE(r.err.find("\n!! Panic in line "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" of file src/main.cpp\nUnexpected library error: No such file or directory\n\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Child died with signal 6\n"), std::string::npos);
  EXPECT_EQ(r.err.find("\n!! Panic"), 0u);
}

TEST_F(Confrec, SessionFileThatCannotBeCreatedStartsNothing) {
  ASSERT_EQ(mkdir((dir / "m.0.v.rtp").c_str(), 0755), 0);
  RunResult r = RunConfrec({"-r", "-c", "m", "-a", "localhost/2", "-v", "localhost/4"});
  EXPECT_TRUE(r.ExitedWith(1));
  EXPECT_EQ(r.err, "Cannot create session file m.0.v.rtp: Is a directory\n");
  EXPECT_EQ(ReadFile(dir / "log"), "");
  EXPECT_EQ(Cf(), "SessionsRecorded = 0\n");

  r = RunConfrec({"-r", "-c", "nodir/m", "-a", "localhost/2"});
  EXPECT_TRUE(r.ExitedWith(1));
  EXPECT_EQ(r.err, "Cannot write conference file nodir/m.cf: No such file or directory\n");
  EXPECT_EQ(ReadFile(dir / "log"), "");
}

TEST_F(Confrec, CorruptConferenceFileStopsBothDriversAndStaysUnchanged) {
  for (const std::string cf : {"", "SessionsRecorded = -2\n", "SessionsRecorded = 2\nTimeRecorded0 = 5\n",
                               "SessionsRecorded = many\n"}) {
    SCOPED_TRACE(cf);
    WriteFile(dir / "m.cf", cf);
    for (const Args& args : {Args{"-r", "-c", "m", "-a", "localhost/2", "-v", "localhost/4"}, Args{"-p", "-c", "m", "-v", "localhost/4"}}) {
      RunResult r = RunConfrec(args);
      EXPECT_TRUE(r.ExitedWith(1));
      EXPECT_EQ(r.err, "Corrupt conference file m.cf\n");
      EXPECT_EQ(Cf(), cf);
    }
  }
  EXPECT_EQ(ReadFile(dir / "log"), "");
}

TEST_F(Confrec, FailedRewriteKeepsTheConferenceFileAndFails) {
  const std::string before = "SessionsRecorded = 1\nTimeRecorded0 = " + std::string(3000, 'x') + "\n";
  WriteFile(dir / "m.cf", before);
  // Files may not grow past one block: the rewrite fails as on a full disk.
  ProcessOptions o = Options();
  RunResult r = RunProgram({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" -r -c m -a localhost/2", CONFREC_BIN},
                    o, 30);
  EXPECT_TRUE(r.ExitedWith(1));
  EXPECT_EQ(r.err, "Cannot write conference file m.cf: File too large\n");
  EXPECT_EQ(Cf(), before);
  EXPECT_EQ(Starts().size(), 1u);
  EXPECT_EQ(RunProgram({"/bin/ls", dir.Path()}).out, "log\nm.1.a.rtp\nm.cf\n");
}

TEST_F(Confrec, InterruptKeyEndsOnlyTheRecorders) {
  ProcessOptions o = Options({"STANDIN_ACTION=wait"});
  o.newProcessGroup = true;
  Process p({CONFREC_BIN, "-r", "-c", "m", "-a", "localhost/2", "-v", "localhost/4"}, o);
  ASSERT_TRUE(AwaitStarts(2));
  p.SignalGroup(SIGINT);
  ASSERT_TRUE(p.Wait(20));
  EXPECT_TRUE(p.ExitedWith(0));
  EXPECT_EQ(p.Err(), "Child died with signal 2\nChild died with signal 2\n");
  EXPECT_EQ(Cf(), "SessionsRecorded = 1\nTimeRecorded0 = 1000000\n");
  for (auto& e : Starts()) {
    EXPECT_EQ(e.facts["int"], "dfl");
    EXPECT_EQ(e.facts["quit"], "dfl");
    EXPECT_EQ(e.facts["term"], "dfl");
    EXPECT_EQ(e.facts["hup"], "dfl");
    EXPECT_EQ(e.facts["mask"], "0");
  }
}

TEST_F(Confrec, TermAndHupArePassedOnToTheRecorders) {
  for (int sig : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    unlink((dir / "log").c_str());
    Process p({CONFREC_BIN, "-r", "-c", "m", "-a", "localhost/2", "-v", "localhost/4"}, Options({"STANDIN_ACTION=wait"}));
    ASSERT_TRUE(AwaitStarts(2));
    p.Signal(sig);
    ASSERT_TRUE(p.Wait(20));
    EXPECT_TRUE(p.ExitedWith(0));
    std::string line = "Child died with signal " + std::to_string(sig) + "\n";
    EXPECT_EQ(p.Err(), line + line);
  }
  EXPECT_EQ(Cf(), "SessionsRecorded = 2\nTimeRecorded0 = 1000000\nTimeRecorded1 = 1000000\n");
}

TEST_F(Confrec, PlaysSessionsInOrderWithBothMediaTogether) {
  Conference({"1", "1", "1"});
  RunResult r = RunConfrec({"-p", "-c", "m", "-a", "224.2.0.1/400", "-v", "localhost/600/16"},
                         {"STANDIN_ACTION=sleep:150"});
  EXPECT_TRUE(r.ExitedWith(0));
  EXPECT_EQ(r.err, "");
  auto log = Log();
  ASSERT_EQ(log.size(), 12u);
  for (size_t s = 0; s < 3; ++s) {
    const Event* e = &log[s * 4];
    std::string n = std::to_string(s);
    EXPECT_TRUE(e[0].start && e[1].start && !e[2].start && !e[3].start) << "session " << s;
    std::map<std::string, Args> byFile;
    for (int i = 0; i < 2; ++i) {
      byFile[e[i].args[1]] = e[i].args;
      EXPECT_EQ(e[i].tool, "rtpplay");
      EXPECT_EQ(e[i].facts.at("fd2"), "0");
    }
    EXPECT_EQ(byFile["m." + n + ".a.rtp"], Args({"-f", "m." + n + ".a.rtp", "-o", "0", "224.2.0.1/400/1"}));
    EXPECT_EQ(byFile["m." + n + ".v.rtp"], Args({"-f", "m." + n + ".v.rtp", "-o", "0", "localhost/600/16"}));
  }
}

TEST_F(Confrec, PlaysFromAnOffsetAcrossTheConference) {
  Conference({"10", "20", "5"});
  auto firstArgs = [&](const std::string& offset) {
    unlink((dir / "log").c_str());
    EXPECT_TRUE(RunConfrec({"-p", "-c", "m", "-o", offset, "-a", "localhost/2"}).ExitedWith(0));
    std::vector<Args> args;
    for (auto& e : Starts()) args.push_back(e.args);
    return args;
  };
  EXPECT_EQ(firstArgs("700"), std::vector<Args>({{"-f", "m.1.a.rtp", "-o", "100", "localhost/2/1"},
                                                 {"-f", "m.2.a.rtp", "-o", "0", "localhost/2/1"}}));
  EXPECT_EQ(firstArgs("600").front(), Args({"-f", "m.0.a.rtp", "-o", "600", "localhost/2/1"}));
  EXPECT_EQ(firstArgs("abc").front(), Args({"-f", "m.0.a.rtp", "-o", "abc", "localhost/2/1"}));
  EXPECT_EQ(firstArgs("2100"), std::vector<Args>({{"-f", "m.2.a.rtp", "-o", "300", "localhost/2/1"}}));
  EXPECT_EQ(firstArgs("2101").size(), 0u);
  EXPECT_EQ(firstArgs("99999999999").size(), 0u);
}

TEST_F(Confrec, PlayGoesOnPastFailingPlayersAndEndsQuietlyWhenEmpty) {
  Conference({"1", "1"}, false);
  RunResult r = RunConfrec({"-p", "-c", "m", "-a", "localhost/2"}, {"STANDIN_ACTION=exit:3"});
  EXPECT_TRUE(r.ExitedWith(0));
  EXPECT_EQ(r.err, "Child exited with code 3\nChild exited with code 3\n");

  WriteFile(dir / "m.cf", "SessionsRecorded = 0\n");
  r = RunConfrec({"-p", "-c", "m", "-a", "localhost/2"});
  EXPECT_TRUE(r.ExitedWith(0));
  EXPECT_EQ(r.err, "");
}

TEST_F(Confrec, MissingSessionFileLeavesNoPlayerBehind) {
  Conference({"1", "1"});
  unlink((dir / "m.1.v.rtp").c_str());
  RunResult r = RunConfrec({"-p", "-c", "m", "-a", "localhost/2", "-v", "localhost/4"});
  EXPECT_TRUE(r.ExitedWith(1));
  EXPECT_EQ(r.err, "Corrupt conference file m.cf\n");
  auto starts = Starts();
  ASSERT_EQ(starts.size(), 2u);  // session 0 only
  for (auto& e : starts) EXPECT_EQ(e.args[1].substr(0, 4), "m.0.");
}

TEST_F(Confrec, FullDiskDuringTheRewriteKeepsTheConferenceFile) {
  ASSERT_EQ(mkdir((dir / "disk").c_str(), 0755), 0);
  SmallDisk disk(dir / "disk", "64k");
  if (!disk.Ok()) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  const std::string before = "SessionsRecorded = 1\nTimeRecorded0 = 5\n";
  WriteFile(dir / "disk/m.cf", before);
  disk.Fill();
  RunResult r = RunConfrec({"-r", "-c", "disk/m", "-a", "localhost/2"});
  EXPECT_TRUE(r.ExitedWith(1));
  EXPECT_EQ(r.err, "Cannot write conference file disk/m.cf: No space left on device\n");
  EXPECT_EQ(ReadFile(dir / "disk/m.cf"), before);
  EXPECT_EQ(Starts().size(), 1u);
  EXPECT_EQ(RunProgram({"/bin/ls", dir / "disk"}).out, "filler\nm.1.a.rtp\nm.cf\n");
}

// No recorder outlives a record run, whenever a signal comes.
bool AllGone(const std::vector<Event>& starts) {
  for (const Event& e : starts)
    if (kill(e.pid, 0) == 0 || errno != ESRCH) return false;
  return true;
}

TEST_F(Confrec, SignalsAtEveryStageOfARecordRun) {
  const std::string counted = "SessionsRecorded = 1\nTimeRecorded0 = 1000000\n";
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    // Before any recorder starts (confrec waits to open a FIFO as its
    // conference file): it ends by the signal, having started nothing.
    ASSERT_EQ(mkfifo((dir / "m.cf").c_str(), 0644), 0);
    Process before({CONFREC_BIN, "-r", "-c", "m", "-a", "localhost/2", "-v", "localhost/4"}, Options());
    usleep(100000);
    before.Signal(sig);
    ASSERT_TRUE(before.Wait(10));
    EXPECT_EQ(before.TermSignal(), sig);
    EXPECT_EQ(ReadFile(dir / "log"), "");
    unlink((dir / "m.cf").c_str());

    // While the recorders start, run and end, and while the session is
    // saved: TERM and HUP end the recorders, INT is theirs alone; confrec
    // counts the session whatever comes.
    Process during({CONFREC_BIN, "-r", "-c", "m", "-a", "localhost/2", "-v", "localhost/4"},
                   Options({"STANDIN_ACTION=parent:" + std::to_string(sig) + ",sleep:300",
                            "STANDIN_ACTION_V=sleep:300"}));
    // TERM and HUP may end the video recorder before it could tell.
    ASSERT_TRUE(AwaitStarts(1));
    for (int i = 0; i < 5000 && during.Running(); ++i) {
      during.Signal(sig);
      usleep(1000);
    }
    ASSERT_TRUE(during.Wait(10));
    EXPECT_TRUE(during.ExitedWith(0));
    std::string line = "Child died with signal " + std::to_string(sig) + "\n";
    EXPECT_EQ(during.Err(), sig == SIGINT ? "" : line + line);
    EXPECT_EQ(Cf(), counted);
    EXPECT_TRUE(AllGone(Starts()));
    unlink((dir / "m.cf").c_str());
    unlink((dir / "log").c_str());
  }
}

TEST_F(Confrec, AwkwardConferenceNamesGetTheirFilesOrAClearMessage) {
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  for (const std::string name : {"a b", "caf\xc3\xa9 \xff", "-x", "--", "sub/"}) {
    SCOPED_TRACE(name);
    unlink((dir / "log").c_str());
    RunResult r = RunConfrec({"-r", "-c", name, "-a", "localhost/2"});
    EXPECT_TRUE(r.ExitedWith(0));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(dir / (name + ".cf")), "SessionsRecorded = 1\nTimeRecorded0 = 1000000\n");
    r = RunConfrec({"-p", "-c", name, "-a", "localhost/2"});
    EXPECT_TRUE(r.ExitedWith(0));
    auto starts = Starts();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].args[5], name + ".0.a.rtp");
    EXPECT_EQ(starts[1].args[1], name + ".0.a.rtp");
  }

  // A conference file that is a directory.
  ASSERT_EQ(mkdir((dir / "d.cf").c_str(), 0755), 0);
  for (const Args& args : {Args{"-r", "-c", "d", "-a", "localhost/2"}, Args{"-p", "-c", "d", "-a", "localhost/2"}}) {
    RunResult r = RunConfrec(args);
    EXPECT_TRUE(r.ExitedWith(1));
    EXPECT_EQ(r.err, "Corrupt conference file d.cf\n");
  }

  // Paths near PATH_MAX: 20 directories of 200 characters, then the name.
  std::string deep;
  for (int i = 0; i < 20; ++i) {
    deep += std::string(200, char('a' + i)) + "/";
    ASSERT_EQ(mkdir((dir / deep).c_str(), 0755), 0);
  }
  // The longest name whose files and the conference file's temporary fit.
  std::string fits = deep + std::string(PATH_MAX - 1 - 15 - deep.size(), 'm');
  unlink((dir / "log").c_str());
  RunResult r = RunConfrec({"-r", "-c", fits, "-a", "localhost/2"});
  EXPECT_TRUE(r.ExitedWith(0));
  // Too long to be named from the test's own directory.
  char cwd[PATH_MAX];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd) && chdir(dir.Path().c_str()) == 0);
  EXPECT_EQ(ReadFile(fits + ".cf"), "SessionsRecorded = 1\nTimeRecorded0 = 1000000\n");
  EXPECT_TRUE(FileExists(fits + ".0.a.rtp"));
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_EQ(Starts().size(), 1u);
  EXPECT_EQ(Starts()[0].args[5], fits + ".0.a.rtp");
  // One longer than a session file name can be.
  std::string tooLong = deep + std::string(PATH_MAX - 9 - deep.size(), 'n');
  r = RunConfrec({"-r", "-c", tooLong, "-a", "localhost/2"});
  EXPECT_TRUE(r.ExitedWith(1));
  EXPECT_EQ(r.err, "Cannot write conference file " + tooLong + ".cf: File name too long\n");
  EXPECT_EQ(Starts().size(), 1u);
}

}  // namespace
