// rtpexport on what real senders sent: GStreamer and ffmpeg send over
// multicast in the test's own network while confrec records, and ffmpeg,
// ffprobe and a headless Chromium judge the exported file against the
// sender's own copy of what it encoded.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <sstream>

#include "rtp.h"
#include "rtpformat.h"
#include "udp.h"

namespace {

struct Groups {
  std::string audio, video;  // GROUP/PORT, as confrec takes them
  std::string Host(const std::string& g) const { return g.substr(0, g.find('/')); }
  int Port(const std::string& g) const { return std::stoi(g.substr(g.find('/') + 1)); }
};

Groups NewGroups() {
  return {"239.3.0.1/" + std::to_string(PortPair()), "239.3.0.2/" + std::to_string(PortPair())};
}

// Multicast looped back on the namespace's lo; the reason where it cannot be.
std::string RouteMulticast() {
  if (!OwnNetwork()) return "no network of the test's own to route multicast in";
  for (std::string cmd : {"ip link set lo multicast on", "ip route replace 224.0.0.0/4 dev lo"}) {
    RunResult r = RunProgram({"/bin/sh", "-c", "PATH=/usr/sbin:/sbin:$PATH; " + cmd});
    if (!r.ExitedWith(0)) return "cannot set up the network: " + cmd + ": " + r.err;
  }
  return "";
}

// A sender: what it runs before the recording starts, what it runs while
// it records (in the conference's directory), and the line it writes when
// all is sent (empty: its exit says so).
struct Sender {
  std::string prepare, send, done;
};

// Unbounded, so that neither branch of the demuxer waits on the other's
// sink to preroll.
const std::string kQueue = "queue max-size-buffers=0 max-size-bytes=0 max-size-time=0";

// GStreamer encodes 60 frames of VP8 and 100 of Opus into COPY.mkv, then
// sends that file through rtpbin with RTCP, the video `delayNs` late on the
// wire while its sender reports still give the capture time.
Sender GStreamer(const std::string& copy, const Groups& g, int pattern, long delayNs = 0) {
  auto sink = [&](const std::string& group, int port, const std::string& more) {
    return " ! udpsink host=" + g.Host(group) + " port=" + std::to_string(g.Port(group) + port) + more;
  };
  return {"gst-launch-1.0 -q videotestsrc num-buffers=60 pattern=" + std::to_string(pattern) +
              " ! video/x-raw,width=320,height=240,framerate=30/1 ! vp8enc deadline=1 keyframe-max-dist=15 ! m.video_0"
              " audiotestsrc num-buffers=100 samplesperbuffer=960 ! audio/x-raw,rate=48000 ! opusenc ! m.audio_0"
              " matroskamux name=m ! filesink location=" + copy + ".mkv",
          // AVPF lets the first sender reports go out within a second.
          "gst-launch-1.0 rtpbin name=b rtcp-sync-send-time=false rtp-profile=avpf filesrc location=" + copy +
              ".mkv ! matroskademux name=d d.video_0 ! " + kQueue + " ! rtpvp8pay ! b.send_rtp_sink_0 d.audio_0 ! " + kQueue +
              " ! rtpopuspay ! b.send_rtp_sink_1 b.send_rtp_src_0" + sink(g.video, 0, " ts-offset=" + std::to_string(delayNs)) +
              " b.send_rtcp_src_0" + sink(g.video, 1, " sync=false async=false") + " b.send_rtp_src_1" +
              sink(g.audio, 0, "") + " b.send_rtcp_src_1" + sink(g.audio, 1, " sync=false async=false"),
          // rtpbin may hang in its teardown after the end: the end is what counts.
          "Got EOS from element \"pipeline0\""};
}

// ffmpeg encodes 2 s of H.264 and PCMU and sends them with its sender
// reports, writing the same streams to COPY.h264 and COPY.wav.
Sender Ffmpeg(const std::string& copy, const Groups& g, int pattern, long) {
  auto rtp = [&](const std::string& group) { return "[f=rtp]rtp://" + g.Host(group) + ":" + std::to_string(g.Port(group)); };
  return {"", "ffmpeg -v error -re -f lavfi -i testsrc=size=320x240:rate=30:duration=2:decimals=" + std::to_string(pattern) +
                  " -re -f lavfi -i sine=sample_rate=8000:duration=2 -map 0:v -c:v libx264 -preset ultrafast -bf 0 -g 30"
                  " -f tee '[f=h264]" + copy + ".h264|" + rtp(g.video) + "' -map 1:a -c:a pcm_mulaw -f tee '[f=wav]" +
                  copy + ".wav|" + rtp(g.audio) + "'",
          ""};
}

// gst-launch now and then stalls as it starts, before it sends anything
// (GStreamer 1.22, rtpbin with udpsinks, on a busy machine): `command` is
// started once more where the `video` it sends to has not grown within 5 s.
// Only then: a sender that was merely slow and is cut off would leave
// frames of its own.
std::unique_ptr<Process> Sending(const TempDir& dir, const std::string& command, const std::string& video, int tries = 2) {
  const size_t empty = ReadFile(video).size();
  std::unique_ptr<Process> sender;
  for (int t = 0; t < tries; ++t) {
    sender = std::make_unique<Process>(Args{"/bin/sh", "-c", command}, InDir(dir));
    if (WaitUntil([&] { return ReadFile(video).size() > empty; }, 5)) break;
  }
  return sender;
}

// Records the next session of `conference` with confrec while `s` sends.
void RecordSession(const TempDir& dir, const std::string& session, const Groups& g, const Sender& s) {
  const std::string name = session.substr(0, session.find('.'));
  ASSERT_TRUE(s.prepare.empty() || RunProgram({"/bin/sh", "-c", s.prepare}, InDir(dir)).ExitedWith(0));
  Process rec({CONFREC_BIN, "-r", "-c", name, "-t", "0.15", "-a", g.audio, "-v", g.video}, InDir(dir));
  ASSERT_TRUE(WaitForDump(dir / (session + ".a.rtp"), g.audio)) << rec.Err();
  ASSERT_TRUE(WaitForDump(dir / (session + ".v.rtp"), g.video)) << rec.Err();
  const std::unique_ptr<Process> sender =
      Sending(dir, "exec " + s.send + " 1>&2", dir / (session + ".v.rtp"), s.done.empty() ? 1 : 2);
  Process& send = *sender;
  if (s.done.empty()) {
    EXPECT_TRUE(send.Finish(20).ExitedWith(0)) << send.Err();
  } else {
    // rtpbin may never end its RTCP, and so its pipeline, after the last
    // datagram: the recording's end bounds the wait, and the frames that
    // each test counts say whether everything was sent.
    WaitUntil([&] { return send.Err().find(s.done) != std::string::npos || !rec.Running(); }, 20);
  }
  EXPECT_TRUE(rec.Finish(20).ExitedWith(0)) << rec.Err();
}

// The exporter, run in `dir`; under the leak checker, without what GStreamer
// keeps until the end of any process that uses it.
ProcessOptions ExportIn(const TempDir& dir) {
  ProcessOptions o = InDir(dir);
  o.env.push_back(std::string("LSAN_OPTIONS=suppressions=") + LSAN_SUPPRESSIONS);
  return o;
}

RunResult Export(const TempDir& dir, const Args& args) {
  Args argv{RTPEXPORT_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, ExportIn(dir), 60);
}

std::string Sh(const std::string& cmd, const std::string& file) {
  RunResult r = RunProgram({"/bin/sh", "-c", cmd, "sh", file});
  EXPECT_TRUE(r.ExitedWith(0) && r.err.empty()) << cmd << " " << file << ": " << r.err;
  return r.out;
}

// Decoded video timed to the millisecond, as Matroska and WebM time it.
// Otherwise ffmpeg times it by the rate it guesses (29.97 for 30 frames/s
// timed to the millisecond) and complains of two frames on one tick of
// it: now and then, as a recording's times fall, whatever the file.
const std::string kAsTimed = " -enc_time_base:v 1:1000 ";

// What ffmpeg makes of stream `map` of `file` with the output options `how`:
// for framemd5, each frame's hash on a line, without its time.
std::string Ff(const std::string& file, const std::string& map, const std::string& how) {
  const std::string out = Sh("ffmpeg -v error -i \"$1\" -map 0:" + map + kAsTimed + how + " -", file);
  if (how.find("framemd5") == std::string::npos) return out;
  std::string hashes;
  for (const std::string& line : Lines(out)) {
    // "stream, dts, pts, duration, size, hash[, S=1, size, hash of side data]"
    size_t at = 0;
    for (int field = 0; field < 5 && at != std::string::npos; ++field) at = line.find(", ", at + 1);
    if (!line.empty() && line[0] != '#' && at != std::string::npos) hashes += line.substr(at + 2, 32) + "\n";
  }
  return hashes;
}

// The file decodes without a word from ffmpeg.
void ExpectDecodes(const std::string& file) { Sh("ffmpeg -v error -i \"$1\"" + kAsTimed + "-f null -", file); }

int Frames(const std::string& file, const std::string& stream) {
  return std::atoi(Sh("ffprobe -v error -count_frames -select_streams " + stream +
                          " -show_entries stream=nb_read_frames -of csv=p=0 \"$1\"", file).c_str());
}

double Probe(const std::string& file, const std::string& entries) {
  return std::atof(Sh("ffprobe -v error " + entries + " -of csv=p=0 \"$1\"", file).c_str());
}

// Where video starts after audio, in seconds.
double VideoLead(const std::string& file) {
  return Probe(file, "-select_streams v -show_entries stream=start_time") -
         Probe(file, "-select_streams a -show_entries stream=start_time");
}

// Seconds from when the sound stops being silent to when the left half of
// the picture (the sender's tile) stops being dark, by the times ffmpeg
// reads in the file.
double FlashAfterBeep(const std::string& file) {
  const std::string said =
      Sh("ffmpeg -i \"$1\" -vf crop=iw/2:ih:0:0,blackdetect=d=0.5:pix_th=0.5 -af silencedetect=n=-30dB:d=0.5 -f null - "
         "2>&1 | grep -o -e 'black_end:[0-9.]*' -e 'silence_end: [0-9.]*'",
         file);
  const size_t black = said.find("black_end:"), silence = said.find("silence_end: ");
  EXPECT_TRUE(black != std::string::npos && silence != std::string::npos) << file << ": " << said;
  return black == std::string::npos || silence == std::string::npos
             ? 0.0
             : std::atof(said.c_str() + black + 10) - std::atof(said.c_str() + silence + 13);
}

struct PeerCase {
  const char* name;
  Sender (*sender)(const std::string& copy, const Groups& g, int pattern, long delayNs);
  const char* out;
  const char *videoCopy, *videoHow;  // the sender's copy, and how ffmpeg compares it
  const char *audioCopy, *audioHow;  // no way: re-encoded, compared by its length
};

// Seconds of sound in stream `map` of `file`, as decoded.
double SoundSeconds(const std::string& file, const std::string& map) {
  return double(Ff(file, map, "-ac 1 -ar 8000 -f s16le").size()) / 16000;
}

// An HLS presentation is whole: it ends, every segment it lists is there,
// and nothing half-written is left beside it.
void ExpectWholePresentation(const std::string& playlist) {
  const std::string dir = playlist.substr(0, playlist.rfind('/') + 1);
  const std::vector<std::string> lines = Lines(ReadFile(playlist));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "#EXT-X-ENDLIST");
  int segments = 0;
  for (const std::string& l : lines)
    if (!l.empty() && l[0] != '#') {
      EXPECT_FALSE(ReadFile(dir + l).empty()) << l;
      ++segments;
    }
  EXPECT_GT(segments, 1);
  EXPECT_EQ(Listing(dir).find(".part"), std::string::npos) << Listing(dir);
}

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.name; }

class RealPeers : public ::testing::TestWithParam<PeerCase> {};

// Two sessions recorded by confrec, exported with -c: every frame the
// sender encoded is in the file, as it was encoded (or as it decodes, where
// the bitstream's framing differs), and nothing else.
TEST_P(RealPeers, TwoRecordedSessionsExportAsSent) {
  if (std::string why = RouteMulticast(); !why.empty()) GTEST_SKIP() << why;
  const PeerCase& c = GetParam();
  TempDir dir;
  const Groups g = NewGroups();
  for (int n : {0, 1}) {
    SCOPED_TRACE(n);
    RecordSession(dir, "talk." + std::to_string(n), g, c.sender(dir / ("sent" + std::to_string(n)), g, n, 0));
  }
  const RunResult r = Export(dir, {"-c", "talk", c.out});
  ASSERT_TRUE(r.ExitedWith(0)) << r.err;
  const std::string out = dir / c.out, sent0 = dir / "sent0", sent1 = dir / "sent1";
  ExpectDecodes(out);
  EXPECT_EQ(Frames(out, "v"), 120);
  EXPECT_EQ(Frames(sent0 + c.videoCopy, "v") + Frames(sent1 + c.videoCopy, "v"), 120);
  EXPECT_EQ(Ff(out, "v", c.videoHow), Ff(sent0 + c.videoCopy, "v", c.videoHow) + Ff(sent1 + c.videoCopy, "v", c.videoHow));
  if (c.audioHow)
    EXPECT_EQ(Ff(out, "a", c.audioHow), Ff(sent0 + c.audioCopy, "a", c.audioHow) + Ff(sent1 + c.audioCopy, "a", c.audioHow));
  else
    EXPECT_NEAR(SoundSeconds(out, "a"), SoundSeconds(sent0 + c.audioCopy, "a") + SoundSeconds(sent1 + c.audioCopy, "a"),
                0.1);
  if (std::string(c.out).find(".m3u8") != std::string::npos) ExpectWholePresentation(dir / c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Export, RealPeers,
    ::testing::Values(PeerCase{"GStreamerVp8OpusIntoWebm", GStreamer, "talk.webm", ".mkv", "-c copy -f framemd5", ".mkv",
                               "-c copy -f framemd5"},
                      PeerCase{"FfmpegH264PcmuIntoMatroska", Ffmpeg, "talk.mkv", ".h264", "-f framemd5", ".wav", "-f s16le"},
                      // H.264 copied into the segments, the sound re-encoded to AAC.
                      PeerCase{"FfmpegH264PcmuIntoHls", Ffmpeg, "talk.m3u8", ".h264", "-f framemd5", ".wav", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// Video 300 ms late on the wire: placed by arrival it would be 300 ms off;
// placed by the sender reports it keeps the sender's own alignment.
TEST(Export, VideoHeldBackAtTheSenderStaysInLipSync) {
  SKIP_IF_INSTRUMENTED();
  if (std::string why = RouteMulticast(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const Groups g = NewGroups();
  RecordSession(dir, "lips.0", g, GStreamer(dir / "sent", g, 0, 300000000));
  ASSERT_TRUE(Export(dir, {"-c", "lips", "lips.mkv"}).ExitedWith(0));
  const double sent = VideoLead(dir / "sent.mkv"), got = VideoLead(dir / "lips.mkv");
  EXPECT_NEAR(got, sent, 0.030) << "video starts " << got << " s after audio; the sender had " << sent;
}

// One recorded session, spoilt two ways: packets dropped and neighbours
// swapped, written with the project's own dump writer; and a record header
// overwritten in the middle of the video file.
TEST(Export, LostReorderedAndDamagedRecordingsStillDecode) {
  if (std::string why = RouteMulticast(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const Groups g = NewGroups();
  RecordSession(dir, "hurt.0", g, GStreamer(dir / "sent", g, 0));
  DumpContents audio = ReadDump(dir / "hurt.0.a.rtp"), video = ReadDump(dir / "hurt.0.v.rtp");
  auto rtp = [](DumpContents& c) {
    std::vector<size_t> at;
    for (size_t i = 0; i < c.records.size(); ++i)
      if (c.records[i].plen) at.push_back(i);
    return at;
  };
  // The video packets of each frame, frames in order of their timestamps.
  std::vector<std::vector<size_t>> frames;
  std::string lastTs;
  for (size_t i : rtp(video)) {
    if (video.records[i].data.substr(4, 4) != lastTs) frames.emplace_back();
    lastTs = video.records[i].data.substr(4, 4);
    frames.back().push_back(i);
  }
  ASSERT_EQ(frames.size(), 60u);
  ASSERT_GE(frames[45].size(), 3u);  // a key frame of several packets
  auto swap = [](DumpContents& c, size_t i, size_t j) { std::swap(c.records[i].data, c.records[j].data); };
  swap(video, frames[45][1], frames[45][2]);
  swap(video, frames[50].back(), frames[51].front());
  const std::vector<size_t> a = rtp(audio);
  swap(audio, a[60], a[61]);
  // Frame 20 loses its first packet: it and the frames after it up to the
  // next key frame (every 15th) cannot be shown.
  video.records.erase(video.records.begin() + long(frames[20][0]));
  audio.records.erase(audio.records.begin() + long(a[31]));
  audio.records.erase(audio.records.begin() + long(a[30]));
  WriteDump(dir / "lossy.a.rtp", audio.text, audio.records, audio.header);
  WriteDump(dir / "lossy.v.rtp", video.text, video.records, video.header);
  RunResult r = Export(dir, {"lossy.a.rtp", "lossy.v.rtp", "lossy.mkv"});
  ASSERT_TRUE(r.ExitedWith(0)) << r.err;
  const std::string out = dir / "lossy.mkv", sent = dir / "sent.mkv";
  ExpectDecodes(out);
  EXPECT_EQ(Frames(out, "v"), 50);
  EXPECT_EQ(Frames(out, "a"), Frames(sent, "a") - 2);
  std::vector<std::string> want = Lines(Ff(sent, "v", "-c copy -f framemd5"));
  want.erase(want.begin() + 20, want.begin() + 30);
  EXPECT_EQ(Lines(Ff(out, "v", "-c copy -f framemd5")), want);
  want = Lines(Ff(sent, "a", "-c copy -f framemd5"));
  want.erase(want.begin() + 30, want.begin() + 32);
  EXPECT_EQ(Lines(Ff(out, "a", "-c copy -f framemd5")), want);

  // Damage: the length of the record of frame 40's first packet is zeroed.
  video = ReadDump(dir / "hurt.0.v.rtp");
  size_t at = sizeof rtptools::kDumpMagic + video.text.size() + 1 + rtptools::kFileHeaderSize;
  for (size_t i = 0; i < frames[40][0]; ++i) at += rtptools::kRecordHeaderSize + video.records[i].data.size();
  std::string bytes = ReadFile(dir / "hurt.0.v.rtp");
  bytes.replace(at, 2, 2, '\0');
  WriteFile(dir / "hurt.0.v.rtp", bytes);
  r = Export(dir, {"-c", "hurt", "hurt.mkv"});
  EXPECT_TRUE(r.ExitedWith(65)) << r.err;
  EXPECT_NE(r.err.find("hurt.0.v.rtp: damaged at byte " + std::to_string(at)), std::string::npos) << r.err;
  ExpectDecodes(dir / "hurt.mkv");
  EXPECT_EQ(Frames(dir / "hurt.mkv", "v"), 40);
}

// A participant sending live from `fromS` for `seconds`: a picture of one
// colour (videotestsrc `pattern`, none where negative) and a tone of `hz` at
// `volume`, its CNAME NAME@host and SDES NAME.
std::string Participant(const Groups& g, const std::string& name, int pattern, int hz, double volume, double fromS,
                        int seconds) {
  auto sink = [&](const std::string& group, int port) {
    return " ! udpsink host=" + g.Host(group) + " port=" + std::to_string(g.Port(group) + port) +
           (port ? " sync=false async=false" : "");
  };
  std::string cmd = "sleep " + std::to_string(fromS) + "; exec gst-launch-1.0 rtpbin name=b rtp-profile=avpf " +
                    "sdes='application/x-rtp-source-sdes,cname=\"" + name + "@host\",name=\"" + name + "\"'" +
                    " audiotestsrc is-live=true samplesperbuffer=960 num-buffers=" + std::to_string(seconds * 50) +
                    " freq=" + std::to_string(hz) + " volume=" + std::to_string(volume) +
                    " ! audio/x-raw,rate=48000 ! opusenc ! rtpopuspay ! b.send_rtp_sink_1 b.send_rtp_src_1" +
                    sink(g.audio, 0) + " b.send_rtcp_src_1" + sink(g.audio, 1);
  if (pattern >= 0)
    cmd += " videotestsrc is-live=true pattern=" + std::to_string(pattern) + " num-buffers=" + std::to_string(seconds * 30) +
           " ! video/x-raw,width=320,height=180,framerate=30/1 ! vp8enc deadline=1 keyframe-max-dist=15 ! rtpvp8pay"
           " ! b.send_rtp_sink_0 b.send_rtp_src_0" + sink(g.video, 0) + " b.send_rtcp_src_0" + sink(g.video, 1);
  return cmd + " 1>&2";
}

// confrec recording conference `name` from `g` into `dir` for `minutes`,
// once both its recorders are there; null, the test failed, when they are not.
std::unique_ptr<Process> Record(const TempDir& dir, const std::string& name, const Groups& g, const std::string& minutes) {
  auto rec = std::make_unique<Process>(Args{CONFREC_BIN, "-r", "-c", name, "-t", minutes, "-a", g.audio, "-v", g.video},
                                       InDir(dir));
  if (WaitForDump(dir / (name + ".0.a.rtp"), g.audio) && WaitForDump(dir / (name + ".0.v.rtp"), g.video)) return rec;
  ADD_FAILURE() << "not recording: " << rec->Err();
  return nullptr;
}

// Where each participant is on the export's clock, as rtpexport says it:
// "NAME[ (CNAME)]: audio H:MM:SS.S to H:MM:SS.S, ...": the first and last.
std::map<std::string, std::pair<double, double>> Spans(const std::string& said) {
  std::map<std::string, std::pair<double, double>> spans;
  const std::string tool = "rtpexport: ";
  for (const std::string& line : Lines(said)) {
    const size_t at = line.find(": audio ");
    if (line.compare(0, tool.size(), tool) != 0 || at == std::string::npos) continue;
    auto seconds = [](const std::string& clock) {
      return std::stoi(clock.substr(0, 1)) * 3600 + std::stoi(clock.substr(2, 2)) * 60 + std::stod(clock.substr(5));
    };
    const std::string head = line.substr(tool.size(), at - tool.size());
    spans[head.substr(0, head.find(" ("))] = {seconds(line.substr(at + 8, 9)), seconds(line.substr(line.rfind(" to ") + 4, 9))};
  }
  return spans;
}

// How long the one session of conference `name` in `dir` is, from its first
// record to its last, or to `ended` (seconds since the epoch) where set.
double ConferenceSeconds(const TempDir& dir, const std::string& name, double ended = 0) {
  double first = 1e18, last = 0;
  for (const char* medium : {"a", "v"}) {
    const DumpContents d = ReadDump(dir / (name + ".0." + medium + ".rtp"));
    const double start = d.header.startSec + d.header.startUsec / 1e6;
    first = std::min(first, start);
    if (!d.records.empty()) last = std::max(last, start + d.records.back().offset / 1e3);
  }
  return (ended > 0 ? ended : last) - first;
}

// The frame of `file` at `seconds` through the filter `vf`, as RGB bytes.
std::string Rgb(const std::string& file, double seconds, const std::string& vf) {
  return Sh("ffmpeg -v error -ss " + std::to_string(seconds) + " -i \"$1\" -frames:v 1 -vf " + vf +
                " -f rawvideo -pix_fmt rgb24 -",
            file);
}

// The colour at each of `points` (x, y in a 16x9 grid over the picture) of
// the frame at `seconds`: 'r', 'g', 'b', grey 'y' or black 'k'.
std::string Colours(const std::string& file, double seconds, const std::vector<std::pair<int, int>>& points) {
  const std::string rgb = Rgb(file, seconds, "scale=16:9:flags=area");
  std::string colours;
  for (auto [x, y] : points) {
    if (rgb.size() < 16 * 9 * 3) return "?";
    const uint8_t* p = reinterpret_cast<const uint8_t*>(rgb.data()) + (y * 16 + x) * 3;
    const int hi = std::max({p[0], p[1], p[2]}), lo = std::min({p[0], p[1], p[2]});
    if (hi < 40) colours += 'k';
    else if (hi - lo < 40) colours += 'y';
    else colours += "rgb"[p[0] == hi ? 0 : p[1] == hi ? 1 : 2];
  }
  return colours;
}

// Of the frame at `seconds`, in the rectangle at x, y (w x h): the shares
// of its pixels that are near black and near white.
std::pair<double, double> BlackAndWhite(const std::string& file, double seconds, int x, int y, int w, int h) {
  const std::string rgb = Rgb(file, seconds, "crop=" + std::to_string(w) + ":" + std::to_string(h) + ":" +
                                                 std::to_string(x) + ":" + std::to_string(y));
  size_t black = 0, white = 0;
  for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
    const auto* p = reinterpret_cast<const uint8_t*>(rgb.data()) + i;
    black += std::max({p[0], p[1], p[2]}) < 40;
    white += std::min({p[0], p[1], p[2]}) > 200;
  }
  const double n = std::max<size_t>(1, rgb.size() / 3);
  return {black / n, white / n};
}

// How strong the tone of `hz` is in the mixed sound between `from` and `to`
// seconds (Goertzel, full scale 1).
double Tone(const std::string& file, double from, double to, double hz) {
  const std::string pcm = Sh("ffmpeg -v error -ss " + std::to_string(from) + " -t " + std::to_string(to - from) +
                                 " -i \"$1\" -map 0:a -ac 1 -ar 48000 -f s16le -",
                             file);
  const size_t n = pcm.size() / 2;
  const double w = 2 * M_PI * hz / 48000;
  double s1 = 0, s2 = 0;
  for (size_t i = 0; i < n; ++i) {
    const double x = int16_t(uint8_t(pcm[2 * i]) | uint8_t(pcm[2 * i + 1]) << 8) / 32768.0;
    const double s0 = x + 2 * std::cos(w) * s1 - s2;
    s2 = s1, s1 = s0;
  }
  return n ? std::sqrt(s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2) * 2 / double(n) : 0;
}

// dave: ffmpeg sending H.264 (blue) and PCMU (a tone of `hz`) from `fromS`
// for `seconds`, with the CNAME dave@host for both; from `flashS` on, if
// given, white and sounding, silent before.
std::string FfmpegParticipant(const Groups& g, int hz, double fromS, double seconds, double flashS = -1) {
  auto rtp = [&](const std::string& group) {
    return " -cname dave@host -f rtp rtp://" + g.Host(group) + ":" + std::to_string(g.Port(group));
  };
  std::ostringstream d;
  d << seconds;
  std::string flash, beep;
  if (flashS >= 0) {
    std::ostringstream f;
    f << flashS;
    flash = ",drawbox=c=white:t=fill:enable='gte(t," + f.str() + ")'";
    beep = ",volume=volume=0:enable='lt(t," + f.str() + ")'";
  }
  return "sleep " + std::to_string(fromS) + "; exec ffmpeg -v error -re -f lavfi -i \"color=c=blue:s=320x180:r=30:d=" +
         d.str() + flash + "\" -re -f lavfi -i \"sine=f=" + std::to_string(hz) + ":sample_rate=8000:d=" + d.str() + beep +
         "\" -map 0:v -c:v libx264 -preset ultrafast -bf 0 -g 15" + rtp(g.video) + " -map 1:a -c:a pcm_mulaw" + rtp(g.audio);
}

// alice (red, 440 Hz) for 7 s; bob (green, 660 Hz, loud) joins at 1.5 s
// for 3 s; carol (880 Hz, no video) at 2.5 s for 2 s; dave (ffmpeg: blue
// H.264, 1200 Hz PCMU) at 3.5 s for 2.5 s: recorded by confrec, exported
// composed in both layouts, and as a track per sender.
TEST(Export, OverlappingPeopleAreComposedIntoOnePictureAndOneSound) {
  if (std::string why = RouteMulticast(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const Groups g = NewGroups();
  const std::unique_ptr<Process> rec = Record(dir, "party", g, "0.15");
  ASSERT_TRUE(rec);
  std::vector<std::unique_ptr<Process>> people;
  for (const std::string& cmd : {Participant(g, "alice", 4, 440, 0.1, 0, 7), Participant(g, "bob", 5, 660, 0.8, 1.5, 3),
                                 Participant(g, "carol", -1, 880, 0.1, 2.5, 2), FfmpegParticipant(g, 1200, 3.5, 2.5)})
    people.push_back(std::make_unique<Process>(Args{"/bin/sh", "-c", cmd}, InDir(dir)));
  // rtpbin may never end its RTCP, and so its pipeline, after the last
  // datagram, as in RecordSession: the recording's end bounds the wait.
  for (auto& p : people)
    WaitUntil([&] { return p->Err().find("Got EOS from element") != std::string::npos || !p->Running() || !rec->Running(); },
              30);
  EXPECT_TRUE(rec->Finish(20).ExitedWith(0)) << rec->Err();

  RunResult r = Export(dir, {"-c", "party", "party.mp4"});
  ASSERT_TRUE(r.ExitedWith(0)) << r.err;
  EXPECT_NE(r.err.find("4 participants, some at the same time: composed"), std::string::npos) << r.err;
  const auto spans = Spans(r.err);
  ASSERT_EQ(spans.size(), 4u) << r.err;
  const auto [alice, aliceEnd] = spans.at("alice");
  const auto [bob, bobEnd] = spans.at("bob");
  const auto [carol, carolEnd] = spans.at("carol");
  const auto [dave, daveEnd] = spans.at("dave@host");
  const std::string out = dir / "party.mp4";
  ExpectDecodes(out);
  EXPECT_EQ(Sh("ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 \"$1\"", out),
            "h264,1280,720\nopus\n");
  // As long as the session, from its first record to its last.
  EXPECT_NEAR(Probe(out, "-show_entries format=duration"), ConferenceSeconds(dir, "party"), 0.1);
  // Tile centres: alone, the whole; two side by side; three in two rows,
  // carol's card (grey) centred below; four in two rows.
  const std::vector<std::pair<int, int>> one = {{8, 4}}, two = {{4, 4}, {12, 4}}, three = {{4, 2}, {12, 2}, {8, 6}},
                                         four = {{4, 2}, {12, 2}, {4, 6}, {12, 6}};
  EXPECT_EQ(Colours(out, (alice + bob) / 2, one), "r");
  EXPECT_EQ(Colours(out, bob + 0.5, two), "rg");
  EXPECT_EQ(Colours(out, (carol + dave) / 2, three), "rgy");
  EXPECT_EQ(Colours(out, (dave + std::min(bobEnd, carolEnd)) / 2, four), "rgyb");
  // Each name in white on black at the bottom left of its video's tile.
  for (auto [x, y] : {std::pair{0, 0}, {640, 0}, {640, 360}}) {
    const auto [black, white] = BlackAndWhite(out, (dave + std::min(bobEnd, carolEnd)) / 2, x + 16, y + 320, 48, 32);
    EXPECT_GT(black, 0.3) << x << "," << y;
    EXPECT_GT(white, 0.03) << x << "," << y;
  }
  // Within a second of bob and carol leaving, and of dave; the senders
  // start when they can, so the next one may leave sooner than that.
  auto after = [](double left, double next) { return std::min(left + 1, (left + next) / 2); };
  EXPECT_EQ(Colours(out, after(std::max(bobEnd, carolEnd), daveEnd), two), "rb") << r.err;
  EXPECT_EQ(Colours(out, after(daveEnd, aliceEnd), one), "r") << r.err;
  // Everyone's voice in the sound, only while they are there.
  EXPECT_GT(Tone(out, bob + 0.5, carol, 660), 0.1);
  EXPECT_GT(Tone(out, bob + 0.5, carol, 440), 0.01);
  EXPECT_GT(Tone(out, carol + 0.3, carolEnd - 0.3, 880), 0.01);
  EXPECT_GT(Tone(out, dave + 0.3, daveEnd - 0.3, 1200), 0.01);
  EXPECT_LT(Tone(out, bobEnd + 0.5, aliceEnd - 0.2, 660), 0.01);

  // The speaker layout: bob, much louder, takes over the picture.
  r = Export(dir, {"--layout", "speaker", "--size", "640x360", "-c", "party", "party.webm"});
  ASSERT_TRUE(r.ExitedWith(0)) << r.err;
  const std::string web = dir / "party.webm";
  ExpectDecodes(web);
  EXPECT_EQ(Colours(web, bobEnd - 0.3, {{8, 3}, {6, 8}}), "gr");

  // A track per sender.
  r = Export(dir, {"--tracks", "-c", "party", "party.mkv"});
  ASSERT_TRUE(r.ExitedWith(0)) << r.err;
  EXPECT_EQ(Sh("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 \"$1\" | sort", dir / "party.mkv"),
            "h264\nopus\nopus\nopus\npcm_mulaw\nvp8\nvp8\n");
}

// When the first packet of a recording arrived, in seconds from its start:
// where a sender shows in an export of the recording.
double FirstPacket(const std::string& dump) {
  for (const DumpRecord& r : ReadDump(dump).records)
    if (r.plen) return r.offset / 1e3;
  return 0;
}

// Ends a followed recording: the recording first, then its follower, which
// exits 0 with the presentation whole and decoding without a word. What
// the follower said.
std::string Followed(Process& rec, Process& follow, const std::string& playlist) {
  EXPECT_TRUE(rec.Finish(30).ExitedWith(0)) << rec.Err();
  const RunResult r = follow.Finish(30);
  EXPECT_TRUE(r.ExitedWith(0)) << r.err;
  ExpectWholePresentation(playlist);
  ExpectDecodes(playlist);
  return r.err;
}

// Followed, one H.264 sender (dave, by ffmpeg) is copied as it came, frames
// going forwards when a sender report moves where they belong; when bob
// joins, or dave stops for longer than a pause (the copy would hold the
// presentation until he came back), everyone is composed from there on,
// the presentation going on past a discontinuity.
TEST(Export, FollowedH264SenderIsCopiedUntilThatNoLongerHolds) {
  if (std::string why = RouteMulticast(); !why.empty()) GTEST_SKIP() << why;
  struct Case {
    const char* name;
    std::function<std::vector<std::string>(const Groups&)> senders;  // each a shell command
    double after;      // seconds after the copy ends
    const char* seen;  // left and right of the picture's middle there, sorted
    bool flash;        // dave flashes and beeps while copied
  };
  const Case cases[] = {
      {"bob joins",
       [](const Groups& g) {
         return std::vector<std::string>{FfmpegParticipant(g, 1200, 0, 10, 6), Participant(g, "bob", 5, 660, 0.3, 7, 2.5)};
       },
       1, "gy", true},
      {"dave pauses",
       [](const Groups& g) {
         return std::vector<std::string>{"(" + FfmpegParticipant(g, 1200, 0, 3) + "); " + FfmpegParticipant(g, 1200, 6, 3)};
       },
       7.5, "bb", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const Groups g = NewGroups();
    const std::unique_ptr<Process> rec = Record(dir, "live", g, "0.25");
    ASSERT_TRUE(rec);
    Process follow({RTPEXPORT_BIN, "-f", "-c", "live", "live.m3u8"}, ExportIn(dir));
    std::vector<std::unique_ptr<Process>> senders;
    for (const std::string& command : c.senders(g))
      senders.push_back(std::make_unique<Process>(Args{"/bin/sh", "-c", command}, InDir(dir)));
    // Bounded by the recording: rtpbin may never end after its last datagram.
    for (auto& p : senders) WaitUntil([&] { return !p->Running() || !rec->Running(); }, 30);
    const std::string playlist = dir / "live.m3u8";
    const std::string said = Followed(*rec, follow, playlist);
    EXPECT_NE(said.find("one H.264 sender: copied as it came"), std::string::npos) << said;
    EXPECT_NE(said.find("composed from"), std::string::npos) << said;
    // The segments before the discontinuity copied (the sender's own size),
    // those after composed; one of each at least.
    std::vector<std::string> copied, composed;
    double copiedSeconds = 0;
    bool apart = false;
    for (const std::string& l : Lines(ReadFile(playlist))) {
      apart = apart || l == "#EXT-X-DISCONTINUITY";
      if (!apart && l.rfind("#EXTINF:", 0) == 0) copiedSeconds += std::atof(l.c_str() + 8);
      if (!l.empty() && l[0] != '#') (apart ? composed : copied).push_back(dir / l);
    }
    ASSERT_FALSE(copied.empty() || composed.empty()) << ReadFile(playlist);
    const std::string size = "ffprobe -v error -select_streams v -show_entries stream=width,height -of csv=p=0 \"$1\" | head -1";
    EXPECT_EQ(Sh(size, copied.front()), "320,180\n");
    EXPECT_EQ(Sh(size, composed.back()), "1280,720\n");
    EXPECT_EQ(Colours(copied.front(), 0.5, {{8, 4}}), "b");
    // As a player times it, by ticks of its frame rate: no two frames on
    // one tick.
    Sh("ffmpeg -v error -i \"$1\" -f null -", playlist);
    // Copied frames never closer than sent (30 a second; 90 kHz ticks).
    double last = -1, closest = 1;
    for (const std::string& segment : copied)
      for (const std::string& t : Lines(Sh("ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 "
                                           "\"$1\" | grep .",
                                           segment))) {
        if (last >= 0) closest = std::min(closest, std::atof(t.c_str()) - last);
        last = std::atof(t.c_str());
      }
    EXPECT_GT(closest, 0.0332);
    std::string seen = Colours(playlist, copiedSeconds + c.after, {{4, 4}, {12, 4}});
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, c.seen);
    // dave's report came after his first frames were placed: copied, his
    // lips and voice still agree as in the conference exported once
    // recorded, where every report is known.
    if (!c.flash || Instrumented()) continue;
    const RunResult whole = Export(dir, {"--rate", "60", "-c", "live", "whole.mkv"});
    ASSERT_TRUE(whole.ExitedWith(0)) << whole.err;
    EXPECT_NEAR(FlashAfterBeep(playlist), FlashAfterBeep(dir / "whole.mkv"), 0.030);
  }
}

// Packets lost on the way into a recording, as rtpinfo counts them from the
// sequence numbers; -1 when it cannot say.
int Lost(const std::string& file) {
  const RunResult r = RunProgram({RTPINFO_BIN, file});
  if (!r.ExitedWith(0)) return -1;
  int lost = 0, sources = 0;
  for (const std::string& line : Lines(r.out)) {
    std::istringstream in(line);
    std::string ssrc, field;
    if (!(in >> ssrc) || ssrc.compare(0, 2, "0x") != 0) continue;
    for (int column = 2; column <= 7 && in >> field; ++column)
      if (column == 7) lost += std::atoi(field.c_str()), ++sources;
  }
  return sources ? lost : -1;
}

// While confrec records alice (red, 440 Hz), rtpexport -f follows the
// recording into HLS: the growing playlist lists segments while it records.
// The live export never disturbs the recording: the follower stalled, then
// killed mid-recording and another started, the recording loses nothing,
// and the second writes the whole presentation, complete at the end,
// alice seen and heard in it.
TEST(Export, FollowedKilledAndFollowedAgainTheRecordingLosesNothing) {
  if (std::string why = RouteMulticast(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const Groups g = NewGroups();
  const std::unique_ptr<Process> rec = Record(dir, "live", g, "0.2");
  ASSERT_TRUE(rec);
  const std::string playlist = dir / "live.m3u8";
  auto first = std::make_unique<Process>(Args{RTPEXPORT_BIN, "-f", "-c", "live", "live.m3u8"}, ExportIn(dir));
  const std::unique_ptr<Process> alice = Sending(dir, Participant(g, "alice", 4, 440, 0.3, 0, 10), dir / "live.0.v.rtp");
  // Beside her, a camera at more than a conference's rate: 640x360 of snow,
  // which the encoder cannot bring down to its 1 Mbit/s (some 6 Mbit/s).
  Process camera({"/bin/sh", "-c",
                  "exec gst-launch-1.0 videotestsrc is-live=true pattern=snow num-buffers=240 ! "
                  "video/x-raw,width=640,height=360,framerate=30/1 ! vp8enc deadline=1 target-bitrate=1000000 ! "
                  "rtpvp8pay ! udpsink host=" + g.Host(g.video) + " port=" + std::to_string(g.Port(g.video)) + " 1>&2"},
                 InDir(dir));
  auto segments = [&] {
    const std::string text = ReadFile(playlist);
    size_t n = 0;
    for (size_t at = text.find(".ts\n"); at != std::string::npos; at = text.find(".ts\n", at + 1)) ++n;
    return n;
  };
  ASSERT_TRUE(WaitUntil([&] { return segments() > 0 || !rec->Running(); }, 20)) << first->Err();
  const std::string growing = ReadFile(playlist);
  EXPECT_TRUE(segments() > 0 && rec->Running()) << "nothing listed while recording: " << first->Err();
  EXPECT_NE(growing.find("#EXT-X-PLAYLIST-TYPE:EVENT"), std::string::npos) << growing;
  EXPECT_EQ(growing.find("ENDLIST"), std::string::npos) << growing;
  // Stalled, as a busy machine or a slow disk stalls it, while two seconds
  // more are recorded; let go, it catches up with the recording.
  auto recordedMs = [&] {
    const DumpContents a = ReadDump(dir / "live.0.a.rtp");
    return a.records.empty() ? 0u : a.records.back().offset;
  };
  const uint32_t stalled = recordedMs();
  first->Signal(SIGSTOP);
  EXPECT_TRUE(WaitUntil([&] { return recordedMs() >= stalled + 2000; }, 10));
  first->Signal(SIGCONT);
  const size_t listed = segments();
  EXPECT_TRUE(WaitUntil([&] { return segments() >= listed + 2; }, 20)) << first->Err();
  first->Signal(SIGKILL);
  EXPECT_EQ(first->Finish(10).TermSignal(), SIGKILL);
  first.reset();
  Process second({RTPEXPORT_BIN, "-f", "-c", "live", "live.m3u8"}, ExportIn(dir));
  Followed(*rec, second, playlist);
  for (const char* medium : {"a", "v"}) EXPECT_EQ(Lost(dir / ("live.0." + std::string(medium) + ".rtp")), 0) << medium;
  const DumpContents video = ReadDump(dir / "live.0.v.rtp");
  size_t bytes = 0;
  for (const auto& r : video.records) bytes += r.data.size();
  ASSERT_FALSE(video.records.empty());
  const double seconds = (video.records.back().offset - video.records.front().offset) / 1e3;
  EXPECT_GT(bytes * 8.0 / seconds, 1e6) << "under a conference's rate";
  // Every record is in it, and it goes on while the recording does (12 s),
  // whoever sends: it is live.
  const double length = Probe(playlist, "-show_entries format=duration");
  EXPECT_GE(length, ConferenceSeconds(dir, "live") - 0.1);
  EXPECT_LE(length, 12.5);
  const double shown = FirstPacket(dir / "live.0.v.rtp");
  const std::string seen = Colours(playlist, shown + 3, {{4, 4}, {12, 4}});
  EXPECT_NE(seen.find('r'), std::string::npos) << seen;
  EXPECT_GT(Tone(playlist, shown + 2, shown + 4, 440), 0.01);
}

// Following onto a disk that fills: the export stops with status 74 and
// says why; every segment it listed is there and plays; the recording goes
// on, losing nothing.
TEST(Export, FollowingOntoAFullDiskStopsKeepingWhatItListed) {
  if (std::string why = RouteMulticast(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  // A small disk of the test's own, in a mount namespace of its own, for the
  // presentation alone.
  const std::string web = dir / "web";
  mkdir(web.c_str(), 0755);
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("small", web.c_str(), "tmpfs", 0, "size=400k") != 0)
    GTEST_SKIP() << "no mount namespace here: " << std::strerror(errno);
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{web};
  const Groups g = NewGroups();
  const std::unique_ptr<Process> rec = Record(dir, "live", g, "0.25");
  ASSERT_TRUE(rec);
  Process follow({RTPEXPORT_BIN, "-f", "-c", "live", "web/live.m3u8"}, ExportIn(dir));
  const std::unique_ptr<Process> alice = Sending(dir, Participant(g, "alice", 18, 440, 0.3, 0, 12), dir / "live.0.v.rtp");
  const RunResult r = follow.Finish(40);
  EXPECT_TRUE(r.ExitedWith(74)) << r.err;
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  EXPECT_TRUE(rec->Running()) << "the recording ended first: " << rec->Err();
  EXPECT_TRUE(rec->Finish(40).ExitedWith(0)) << rec->Err();
  for (const char* medium : {"a", "v"}) EXPECT_EQ(Lost(dir / ("live.0." + std::string(medium) + ".rtp")), 0) << medium;
  // What it listed plays; nothing else is left beside it.
  std::string listed;
  for (const std::string& l : Lines(ReadFile(web + "/live.m3u8")))
    if (!l.empty() && l[0] != '#') ExpectDecodes(web + "/" + l), listed += l + "\n";
  EXPECT_FALSE(listed.empty());
  EXPECT_EQ(Listing(web), listed + "live.m3u8\n");
}

// The recording service with LIVE set, stopped as systemd stops it (SIGTERM
// to every process): the recording is counted and the live presentation
// ends where the recording does, complete.
TEST(Export, TheServiceFollowsItsRecordingIntoALivePresentation) {
  if (std::string why = RouteMulticast(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const Groups g = NewGroups();
  ProcessOptions o = ExportIn(dir);
  o.pathPrefix = TOOLS_BIN_DIR;
  o.newProcessGroup = true;
  o.env.insert(o.env.end(), {"AUDIO=" + g.audio, "VIDEO=" + g.video, "DIRECTORY=" + dir / "seminar",
                             "LIVE=" + dir / "web/live.m3u8"});
  Process service({"/bin/sh", SERVICE_SCRIPT, "seminar"}, o);
  ASSERT_TRUE(WaitForDump(dir / "seminar/seminar.0.a.rtp", g.audio)) << service.Err();
  ASSERT_TRUE(WaitForDump(dir / "seminar/seminar.0.v.rtp", g.video)) << service.Err();
  const std::unique_ptr<Process> alice =
      Sending(dir, Participant(g, "alice", 4, 440, 0.3, 0, 4), dir / "seminar/seminar.0.v.rtp");
  // All her sound recorded (200 packets): rtpbin may never end its RTCP, and
  // so her pipeline, after the last datagram.
  auto recorded = [&] {
    size_t n = 0;
    for (const DumpRecord& r : ReadDump(dir / "seminar/seminar.0.a.rtp").records) n += r.plen > 0;
    return n;
  };
  EXPECT_TRUE(WaitUntil([&] { return recorded() >= 200 || !alice->Running(); }, 30)) << alice->Err();
  const std::string playlist = dir / "web/live.m3u8";
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(playlist).find(".ts") != std::string::npos; }, 20)) << service.Err();
  service.Signal(SIGTERM, true);
  const RunResult r = service.Finish(30);
  EXPECT_TRUE(r.ExitedWith(0)) << service.Err();
  EXPECT_NE(ReadFile(dir / "seminar/seminar.cf").find("SessionsRecorded = 1"), std::string::npos);
  ExpectWholePresentation(playlist);
  ExpectDecodes(playlist);
  EXPECT_EQ(Colours(playlist, FirstPacket(dir / "seminar/seminar.0.v.rtp") + 2, {{8, 4}}), "r");
}

// Serves `dir` over HTTP on the returned port, until `server` ends.
std::string Serve(const TempDir& dir, std::unique_ptr<Process>* server) {
  const std::string port = std::to_string(PortPair());
  *server = std::make_unique<Process>(
      Args{"/bin/sh", "-c", "exec python3 -u -m http.server --bind 127.0.0.1 " + port + " 1>&2"}, InDir(dir));
  EXPECT_TRUE(WaitUntil([&] { return (*server)->Err().find("Serving HTTP") != std::string::npos; }, 10))
      << (*server)->Err();
  return port;
}

// A headless Chromium on `page` of `port`, what the page logs on its
// standard error; in a process group of its own, which its renderer and
// helpers are in too.
std::unique_ptr<Process> Chromium(const TempDir& profile, const std::string& port, const std::string& page) {
  ProcessOptions group;
  group.newProcessGroup = true;
  return std::make_unique<Process>(
      Args{"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--user-data-dir=" + profile.path, "--autoplay-policy=no-user-gesture-required", "--enable-logging=stderr",
           "--v=0", "http://127.0.0.1:" + port + "/" + page},
      group);
}

// A page that plays `src` from its start and says "ended DURATION" at its
// end, or "error CODE".
std::string PlayingPage(const std::string& src, const std::string& script = "") {
  return "<!doctype html><video id=v muted autoplay src=" + src + "></video><script>\n" + script +
         "v.onended = () => console.log('ended ' + v.duration.toFixed(2));\n"
         "v.onerror = () => console.log('error ' + v.error.code);</script>\n";
}

// What the page said at the end ("ended …" or "error …"); empty when it
// said nothing within `seconds`.
std::string SaidAtTheEnd(const Process& chromium, double seconds) {
  std::string said;
  WaitUntil([&] {
    const std::string err = chromium.Err();
    const size_t at = std::min(err.find("\"ended "), err.find("\"error "));
    return at != std::string::npos && !(said = err.substr(at + 1, err.find('"', at + 1) - at - 1)).empty();
  }, seconds);
  return said;
}

// Chromium plays the live presentation while the recording goes on, within
// 10 s of its live edge, and on to its end when the recording has ended,
// where its length is the presentation's.
TEST(Export, ChromiumPlaysTheLivePresentationNearItsEdge) {
  SKIP_IF_INSTRUMENTED();
  if (std::string why = RouteMulticast(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir, profile, fresh;
  const Groups g = NewGroups();
  const std::unique_ptr<Process> rec = Record(dir, "live", g, "0.3");
  ASSERT_TRUE(rec);
  Process follow({RTPEXPORT_BIN, "-f", "-c", "live", "live.m3u8"}, ExportIn(dir));
  const std::unique_ptr<Process> alice = Sending(dir, Participant(g, "alice", 4, 440, 0.3, 0, 15), dir / "live.0.v.rtp");
  std::unique_ptr<Process> server;
  const std::string port = Serve(dir, &server);
  // A player joins a growing presentation once it holds three segments (as
  // the HLS specification has players keep that far from its end).
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(dir / "live.m3u8").find("-00003.ts") != std::string::npos; }, 20))
      << follow.Err();
  // Where it plays against the end of what is there, every half second.
  WriteFile(dir / "live.html", PlayingPage("live.m3u8", "setInterval(() => {\n"
                                                        "  const end = v.seekable.length ? v.seekable.end(0) : 0;\n"
                                                        "  console.log('at ' + v.currentTime.toFixed(2) + ' of ' + "
                                                        "end.toFixed(2)); }, 500);\n"));
  std::unique_ptr<Process> chromium = Chromium(profile, port, "live.html");
  // Playing, near the edge, while the recording goes on.
  auto nearEdge = [&] {
    for (const std::string& line : Lines(chromium->Err())) {
      const size_t at = line.find("\"at ");
      double now = 0, end = 0;
      if (at != std::string::npos && std::sscanf(line.c_str() + at, "\"at %lf of %lf", &now, &end) == 2 && now > 1 &&
          end - now <= 10)
        return true;
    }
    return false;
  };
  EXPECT_TRUE(WaitUntil([&] { return nearEdge() || !rec->Running(); }, 30) && rec->Running()) << chromium->Err();
  EXPECT_TRUE(rec->Finish(40).ExitedWith(0)) << rec->Err();
  const double ended = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_TRUE(follow.Finish(30).ExitedWith(0)) << follow.Err();
  chromium.reset();
  // Opened again once it has ended: from its start to its end, as long as
  // the presentation and the conference, from its first record to the end of
  // its recording (live, the picture goes on while nobody sends).
  // A browser of its own, which has seen none of it, and waits for no other.
  WriteFile(dir / "whole.html", PlayingPage("live.m3u8", "v.playbackRate = 4;\n"));
  chromium = Chromium(fresh, port, "whole.html");
  const std::string said = SaidAtTheEnd(*chromium, 30);
  ASSERT_EQ(said.substr(0, 6), "ended ") << said << chromium->Err();
  const double length = Probe(dir / "live.m3u8", "-show_entries format=duration");
  EXPECT_NEAR(std::atof(said.c_str() + 6), length, 0.1);
  EXPECT_NEAR(length, ConferenceSeconds(dir, "live", ended), 1.0);
}

// -f waits up to 10 s for a recording to start, then gives up naming it.
TEST(Export, FollowingNothingBeingRecordedFails) {
  TempDir dir;
  WriteFile(dir / "idle.cf", "SessionsRecorded = 0\n");
  const RunResult r = RunProgram({RTPEXPORT_BIN, "-f", "-c", "idle", "idle.m3u8"}, ExportIn(dir), 30);
  EXPECT_TRUE(r.ExitedWith(66)) << r.err;
  EXPECT_NE(r.err.find("no session of idle is being recorded"), std::string::npos) << r.err;
  EXPECT_EQ(Listing(dir.path), "idle.cf\n");
}

// Three people sending at once, by ffmpeg, in the other formats that the
// exporter knows: each is decoded and composed, seen in its colour and
// heard at its pitch.
TEST(Export, EveryFormatIsComposed) {
  if (std::string why = RouteMulticast(); !why.empty()) GTEST_SKIP() << why;
  struct Person {
    const char *name, *colour, *video, *audio;
    int hz;
  };
  const Person people[] = {
      {"vp9", "red", "-c:v libvpx-vp9 -deadline realtime -g 15 -strict experimental -payload_type 98", "-c:a pcm_alaw -ar 8000", 440},
      {"h265", "lime", "-c:v libx265 -preset ultrafast -g 15 -bf 0 -payload_type 99", "-c:a g722 -ar 16000", 660},
      {"h264", "blue", "-c:v libx264 -preset ultrafast -g 15 -bf 0", "-c:a pcm_s16be -ar 8000 -payload_type 100", 880},
  };
  TempDir dir;
  const Groups g = NewGroups();
  const std::unique_ptr<Process> rec = Record(dir, "all", g, "0.1");
  ASSERT_TRUE(rec);
  std::vector<std::unique_ptr<Process>> senders;
  for (const Person& p : people) {
    auto rtp = [&](const std::string& group) {
      return std::string(" -cname ") + p.name + "@host -f rtp rtp://" + g.Host(group) + ":" + std::to_string(g.Port(group));
    };
    senders.push_back(std::make_unique<Process>(
        Args{"/bin/sh", "-c",
             std::string("exec ffmpeg -v error -re -f lavfi -i color=c=") + p.colour +
                 ":s=320x180:r=30:d=3 -re -f lavfi -i sine=f=" + std::to_string(p.hz) +
                 ":sample_rate=16000:d=3 -map 0:v " + p.video + rtp(g.video) + " -map 1:a " + p.audio +
                 rtp(g.audio) + " 1>&2"},
        InDir(dir)));
  }
  for (auto& s : senders) EXPECT_TRUE(s->Finish(20).ExitedWith(0)) << s->Err();
  EXPECT_TRUE(rec->Finish(20).ExitedWith(0)) << rec->Err();
  const RunResult r = Export(dir, {"-m", "98=VP9", "-m", "99=H265", "-m", "100=L16/8000/1", "-c", "all", "all.mp4"});
  ASSERT_TRUE(r.ExitedWith(0)) << r.err;
  const std::string out = dir / "all.mp4";
  ExpectDecodes(out);
  // Where they all are, in the order they came, which the senders (started
  // as the machine lets them) do not settle.
  const auto spans = Spans(r.err);
  ASSERT_EQ(spans.size(), 3u) << r.err;
  double all = 0, some = 1e9;
  for (const auto& [name, span] : spans) all = std::max(all, span.first), some = std::min(some, span.second);
  std::string seen = Colours(out, (all + some) / 2, {{4, 2}, {12, 2}, {8, 6}});
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, "bgr") << r.err;
  for (const Person& p : people) {
    const auto [from, to] = spans.at(p.name + std::string("@host"));
    EXPECT_GT(Tone(out, from + 0.3, to - 0.3, p.hz), 0.01) << p.name;
  }
}

// A picture red for a second, then green, with key frames a second apart;
// the first green key frame lost on the way: the sender's tile keeps its
// last good picture (red) until the next key frame, beside an undamaged
// copy that is green already.
TEST(Export, ComposedPictureKeepsItsLastGoodFrameUntilTheNextKeyFrame) {
  if (std::string why = RouteMulticast(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const Groups g = NewGroups();
  Process rec({CONFREC_BIN, "-r", "-c", "lost", "-t", "0.1", "-a", g.audio, "-v", g.video}, InDir(dir));
  ASSERT_TRUE(WaitForDump(dir / "lost.0.v.rtp", g.video)) << rec.Err();
  RunResult sent = RunProgram({"/bin/sh", "-c",
                               "exec ffmpeg -v error -re -f lavfi -i \"color=c=red:s=320x180:r=30:d=3,drawbox=c=lime:t=fill:"
                               "enable='gte(t,1)'\" -c:v libvpx -g 30 -keyint_min 30 -deadline realtime -f rtp rtp://" +
                                   g.Host(g.video) + ":" + std::to_string(g.Port(g.video))},
                              InDir(dir), 20);
  EXPECT_TRUE(sent.ExitedWith(0)) << sent.err;
  EXPECT_TRUE(rec.Finish(20).ExitedWith(0)) << rec.Err();
  DumpContents video = ReadDump(dir / "lost.0.v.rtp");
  std::vector<DumpRecord> damaged, other;
  std::vector<double> keys;  // arrival of each key frame, s
  uint32_t dropped = 0;
  for (DumpRecord r : video.records) {
    if (!r.plen) continue;
    rtptools::RtpPacket p;
    ASSERT_TRUE(rtptools::ParseRtp(reinterpret_cast<const uint8_t*>(r.data.data()), r.data.size(), &p));
    if (rtptools::StartsKeyFrame(rtptools::Codec::kVp8, p.payload, p.payloadSize)) {
      keys.push_back(r.offset / 1e3);
      if (keys.size() == 2) dropped = p.timestamp;
    }
    if (keys.size() != 2 || p.timestamp != dropped) damaged.push_back(r);
    other.push_back((r.data[11] ^= 1, r));  // another SSRC
  }
  ASSERT_GE(keys.size(), 3u);
  WriteDump(dir / "damaged.v.rtp", video.text, damaged, video.header);
  WriteDump(dir / "other.v.rtp", video.text, other, video.header);
  const RunResult r = Export(dir, {"damaged.v.rtp", "other.v.rtp", "lost.mkv"});
  ASSERT_TRUE(r.ExitedWith(0)) << r.err;
  const std::string out = dir / "lost.mkv";
  ExpectDecodes(out);
  // Halfway between the lost key frame and the next; after the next (the
  // picture starts with the recording, as the records' times do).
  EXPECT_EQ(Colours(out, (keys[1] + keys[2]) / 2, {{4, 4}, {12, 4}}), "rg");
  EXPECT_EQ(Colours(out, keys[2] + 0.3, {{4, 4}, {12, 4}}), "gg");
}

// A flash and a beep at 1.5 s, sent by GStreamer with the video 300 ms late
// on the wire, composed beside a second picture (the same video under
// another SSRC, placed by its arrival): in the picture and the sound the
// flash and the beep agree within 30 ms, as the sender's reports say.
TEST(Export, ComposedPictureAndSoundStayInLipSync) {
  SKIP_IF_INSTRUMENTED();
  if (std::string why = RouteMulticast(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const Groups g = NewGroups();
  Sender flash = GStreamer(dir / "flash", g, 0, 300000000);
  flash.prepare = "ffmpeg -v error -y -f lavfi -i \"color=c=black:s=320x180:r=30:d=3,"
                  "drawbox=c=white:t=fill:enable='gte(t,1.5)'\" -f lavfi -i \"sine=f=1000:sample_rate=48000:d=3,"
                  "volume=volume=0:enable='lt(t,1.5)'\" -c:v libvpx -g 15 -deadline realtime -c:a libopus " +
                  dir / "flash.mkv";
  RecordSession(dir, "lips.0", g, flash);
  DumpContents video = ReadDump(dir / "lips.0.v.rtp");
  std::vector<DumpRecord> copy;
  for (DumpRecord r : video.records)
    if (r.plen) copy.push_back((r.data[11] ^= 1, r));  // another SSRC, no reports
  WriteDump(dir / "other.v.rtp", video.text, copy, video.header);
  auto lead = FlashAfterBeep;
  const double sent = lead(dir / "flash.mkv");
  for (const std::string out : {"lips.mkv", "lips.m3u8"}) {
    SCOPED_TRACE(out);
    const RunResult r = Export(dir, {"--rate", "60", "lips.0.a.rtp", "lips.0.v.rtp", "other.v.rtp", out});
    ASSERT_TRUE(r.ExitedWith(0)) << r.err;
    const double got = lead(dir / out);
    EXPECT_NEAR(got, sent, 0.030) << "the flash " << got << " s after the beep; the sender had " << sent;
  }

  // The same sent again, and beside it bob, silent, on the right, followed
  // into a live presentation while confrec records them: in lip sync too,
  // and frame for frame what exporting the conference once recorded to .mp4
  // makes, for as long as that lasts.
  const Groups h = NewGroups();
  const std::unique_ptr<Process> rec = Record(dir, "live", h, "0.1");
  ASSERT_TRUE(rec);
  Process follow({RTPEXPORT_BIN, "-f", "--rate", "60", "-c", "live", "live.m3u8"}, ExportIn(dir));
  const Sender again = GStreamer(dir / "flash", h, 0, 300000000);
  Process send({"/bin/sh", "-c", "exec " + again.send + " 1>&2"}, InDir(dir));
  Process bob({"/bin/sh", "-c", Participant(h, "bob", 5, 660, 0, 0.5, 2)}, InDir(dir));
  WaitUntil([&] { return send.Err().find(again.done) != std::string::npos || !rec->Running(); }, 20);
  Followed(*rec, follow, dir / "live.m3u8");
  const RunResult whole = Export(dir, {"--rate", "60", "-c", "live", "whole.mp4"});
  ASSERT_TRUE(whole.ExitedWith(0)) << whole.err;
  EXPECT_NE(whole.err.find("composed"), std::string::npos) << whole.err;
  const double live = lead(dir / "live.m3u8");
  EXPECT_NEAR(live, sent, 0.030) << "followed, the flash " << live << " s after the beep; the sender had " << sent;
  EXPECT_NEAR(lead(dir / "whole.mp4"), live, 0.020);
  // Frames from the first on, as far as the exported conference lasts.
  auto frames = [](const std::string& file, double seconds) {
    const std::vector<std::string> times =
        Lines(Sh("ffprobe -v error -select_streams v -show_entries frame=pts_time -of csv=p=0 \"$1\"", file));
    int n = 0;
    for (const std::string& t : times)
      if (!times.empty() && std::atof(t.c_str()) - std::atof(times[0].c_str()) < seconds - 0.001) ++n;
    return n;
  };
  const double length = Probe(dir / "whole.mp4", "-show_entries format=duration");
  EXPECT_NEAR(frames(dir / "live.m3u8", length), frames(dir / "whole.mp4", length), 1);
}

// PT 96 packets of random bytes, 20 ms apart, as many as `count`; or PCMU
// (PT 0), which any bytes are.
void WriteRandom(const std::string& path, int count, int payloadType) {
  std::mt19937 random(7);
  std::vector<DumpRecord> records;
  for (int i = 0; i < count; ++i) {
    std::string p = RtpPacket(uint16_t(i), 0x5eed, 172);
    p[1] = char(payloadType);
    rtptools::Put32(reinterpret_cast<uint8_t*>(&p[4]), uint32_t(i) * 160);
    for (size_t b = 12; b < p.size(); ++b) p[b] = char(random());
    records.push_back({uint16_t(p.size()), uint32_t(i) * 20, p});
  }
  WriteDump(path, "127.0.0.1/5004", records);
}

struct Refusal {
  const char* name;
  Args args;  // OUT last
  int status;
  std::vector<std::string> said;
};

// Each refusal exits with its status and says why, creating nothing beside
// its input, and leaves an OUT that was there as it was.
TEST(Export, RefusesWithoutTouchingOut) {
  TempDir dir;
  WriteRandom(dir / "noise.rtp", 100, 96);
  const Refusal refusals[] = {
      {"H.264 into WebM", {"-m", "96=H264", "noise.rtp", "out.webm"}, 65, {"H264", ".webm cannot hold it", ".mkv", ".mp4"}},
      {"unknown extension", {"noise.rtp", "out.avi"}, 64, {"out.avi", ".mkv", ".webm"}},
      {"unidentified stream", {"noise.rtp", "out.mkv"}, 65, {"noise.rtp", "payload type 96", "-m 96="}},
      {"picture too small", {"--size", "158x90", "noise.rtp", "out.mkv"}, 64, {"--size 158x90", "160x90"}},
      {"picture too large", {"--size", "3842x2160", "noise.rtp", "out.mkv"}, 64, {"--size 3842x2160"}},
      {"odd size", {"--size", "641x360", "noise.rtp", "out.mkv"}, 64, {"--size 641x360", "even"}},
      {"rate 0", {"--rate", "0", "noise.rtp", "out.mkv"}, 64, {"--rate 0", "1 to 60"}},
      {"rate 61", {"--rate", "61", "noise.rtp", "out.mkv"}, 64, {"--rate 61"}},
      {"unknown layout", {"--layout", "film", "noise.rtp", "out.mkv"}, 64, {"--layout film", "grid", "speaker"}},
      {"a track per sender in HLS", {"--tracks", "noise.rtp", "out.m3u8"}, 64, {"--tracks", "one picture"}},
      {"following files", {"-f", "noise.rtp", "out.m3u8"}, 64, {"-f follows a conference", "-c NAME"}},
      {"following into a file", {"-f", "-c", "noise", "out.mp4"}, 64, {"-f writes an HLS presentation", ".m3u8"}},
  };
  for (const Refusal& c : refusals) {
    SCOPED_TRACE(c.name);
    const std::string out = dir / c.args.back();
    for (bool existing : {false, true}) {
      if (existing) WriteFile(out, "kept");
      const std::string before = Listing(dir.path);
      const RunResult r = Export(dir, c.args);
      EXPECT_TRUE(r.finished && r.ExitedWith(c.status)) << r.err;
      for (const std::string& s : c.said) EXPECT_NE(r.err.find(s), std::string::npos) << s << " in " << r.err;
      EXPECT_EQ(Listing(dir.path), before);
      EXPECT_EQ(ReadFile(out), existing ? "kept" : "");
      std::remove(out.c_str());
    }
  }
  // A presentation where no directory is.
  const RunResult r = Export(dir, {"-m", "96=PCMU", "noise.rtp", "gone/out.m3u8"});
  EXPECT_TRUE(r.ExitedWith(73)) << r.err;
  EXPECT_NE(r.err.find("gone/out.m3u8: cannot be created"), std::string::npos) << r.err;
}

// GStreamer stops taking data, while the records are fed or at their end:
// a failure, with nothing written, never a file that lacks them.
TEST(Export, FailsWhenThePipelineStopsTakingData) {
  TempDir dir;
  WriteRandom(dir / "pcmu.rtp", 100, 0);  // handed over after 64 packets, then at the end
  for (const char* from : {"1", "2"}) {
    SCOPED_TRACE(from);
    const std::string before = Listing(dir.path);
    ProcessOptions o = ExportIn(dir);
    o.env.insert(o.env.end(), {std::string("LD_PRELOAD=") + PUSHFAIL_LIB, std::string("CONFREC_PUSH_FAILS_FROM=") + from,
                               "ASAN_OPTIONS=verify_asan_link_order=0"});
    const RunResult r = RunProgram({RTPEXPORT_BIN, "pcmu.rtp", "out.mka"}, o, 60);
    EXPECT_TRUE(r.ExitedWith(70)) << r.err;
    EXPECT_NE(r.err.find("GStreamer: the pipeline stopped taking data"), std::string::npos) << r.err;
    EXPECT_EQ(Listing(dir.path), before);
  }
}

// An element that the export makes itself is missing (here the Opus
// encoder, for PCMU into WebM): refused before OUT is made, naming the
// Debian package, not a file without its audio.
TEST(Export, RefusesWhenAnElementIsMissing) {
  TempDir dir, plugins;
  WriteRandom(dir / "pcmu.rtp", 100, 0);
  const std::string system = Sh("pkg-config --variable=pluginsdir gstreamer-1.0 | tr -d '\\n'", "");
  for (const char* p : {"coreelements", "app", "playback", "matroska", "rtp", "mulaw", "audioconvert", "audioresample"})
    ASSERT_EQ(symlink((system + "/libgst" + p + ".so").c_str(), (plugins / (std::string(p) + ".so")).c_str()), 0) << p;
  ProcessOptions o = ExportIn(dir);
  o.env.insert(o.env.end(), {"GST_PLUGIN_SYSTEM_PATH_1_0=" + plugins.path, "GST_PLUGIN_PATH_1_0=",
                             "GST_REGISTRY_1_0=" + plugins / "registry.bin"});
  const RunResult r = RunProgram({RTPEXPORT_BIN, "pcmu.rtp", "out.webm"}, o, 60);
  EXPECT_TRUE(r.ExitedWith(69)) << r.err;
  EXPECT_NE(r.err.find("opusenc is missing: install gstreamer1.0-plugins-base"), std::string::npos) << r.err;
  EXPECT_EQ(Listing(dir.path).find("out.webm"), std::string::npos);
}

// Interrupted once it writes, the export removes its temporary file (for
// HLS, the segments written so far) and leaves OUT as it was, ending by the
// signal.
TEST(Export, InterruptedLeavesNoPartialFile) {
  TempDir dir;
  WriteRandom(dir / "long.rtp", 180000, 0);  // an hour, re-encoded
  for (const auto& [out, writing] : {std::pair<std::string, std::string>{"out.webm", ".out.webm."}, {"out.m3u8", "\nout-00001.ts\n"}}) {
    SCOPED_TRACE(out);
    WriteFile(dir / out, "kept");
    const std::string before = Listing(dir.path);
    Process p({RTPEXPORT_BIN, "long.rtp", out}, ExportIn(dir));
    ASSERT_TRUE(WaitUntil([&, &writing = writing] { return Listing(dir.path).find(writing) != std::string::npos; }, 20))
        << p.Err();
    p.Signal(SIGINT);
    EXPECT_EQ(p.Finish(20).TermSignal(), SIGINT) << p.Err();
    EXPECT_EQ(Listing(dir.path), before);
    EXPECT_EQ(ReadFile(dir / out), "kept");
  }
}

// Chromium plays the exported WebM, and the HLS presentation, served over
// HTTP as a site would, to its end, and finds it ending where ffprobe does.
TEST(Export, PlaysToItsEndInChromium) {
  SKIP_IF_INSTRUMENTED();
  if (std::string why = RouteMulticast(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const Groups g = NewGroups();
  RecordSession(dir, "web.0", g, GStreamer(dir / "sent", g, 0));
  std::unique_ptr<Process> server;
  const std::string port = Serve(dir, &server);
  for (const std::string out : {"web.webm", "web.m3u8"}) {
    SCOPED_TRACE(out);
    TempDir profile;
    ASSERT_TRUE(Export(dir, {"-c", "web", out}).ExitedWith(0));
    WriteFile(dir / "play.html", PlayingPage(out));
    const std::string said = SaidAtTheEnd(*Chromium(profile, port, "play.html"), 30);
    ASSERT_EQ(said.substr(0, 6), "ended ") << said;
    // A browser counts a file from 0, not from its first frame, and an HLS
    // presentation from its first segment; players differ by a frame or so
    // on where the last one ends.
    const std::string file = dir / out;
    const double start = out == "web.webm" ? Probe(file, "-show_entries format=start_time") : 0;
    EXPECT_NEAR(std::atof(said.c_str() + 6), start + Probe(file, "-show_entries format=duration"), 0.1);
  }
}

}  // namespace
