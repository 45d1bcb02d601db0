// rtpexport: writes the audio and video of RTP dump files into a media file
// that players and browsers open, in lip sync.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "Conference.h"
#include "args.h"
#include "clock.h"
#include "container.h"
#include "frames.h"
#include "gstcompose.h"
#include "gstexport.h"
#include "gstfollow.h"
#include "gstloudness.h"
#include "layout.h"
#include "message.h"
#include "participants.h"
#include "plan.h"

using namespace rtptools;

namespace {

const char kUsage[] =
    "usage: rtpexport [-o SECONDS] [-t MINUTES] [-m PT=FORMAT]... [COMPOSING] -c NAME OUT\n"
    "       rtpexport -f [-o SECONDS] [-m PT=FORMAT]... [COMPOSING] -c NAME OUT.m3u8\n"
    "       rtpexport [-o SECONDS] [-t MINUTES] [-m PT=FORMAT]... [COMPOSING] FILE... OUT\n"
    "COMPOSING: [--tracks] [--size WxH] [--rate FPS] [--layout grid|speaker]\n"
    "Writes the audio and video of RTP dump files into the media file OUT, in\n"
    "lip sync. With -c, every session of the conference NAME in order, one\n"
    "after the other, from SECONDS into it (where confrec -p -o starts) and for\n"
    "at most MINUTES; otherwise the FILEs, recorded at the same time.\n"
    "OUT's extension chooses the container: .mkv or .mka (Matroska), .webm,\n"
    ".mp4, or .m3u8 (HLS: a playlist and MPEG-TS segments beside it, H.264\n"
    "and AAC). Video is copied frame for frame; audio that the container cannot\n"
    "hold is re-encoded to Opus (AAC for HLS). With -f, follows the session of\n"
    "NAME being recorded (waiting up to 10 s for it to start) as its files\n"
    "grow, composing everyone and adding segments to the playlist, which is\n"
    "complete when the recording ends. Payload types 96..127 are identified from the\n"
    "streams; -m PT=FORMAT names one as an SDP rtpmap does (H264, VP8,\n"
    "OPUS/48000/2, L16/44100/2).\n"
    "Where two people send at the same time, everyone is composed into one\n"
    "picture (WxH, 1280x720 by default, at FPS frames/s, 30 by default; a grid\n"
    "of all present, or the one speaking large with --layout speaker) and one\n"
    "mixed sound, encoded to H.264 (VP8 for .webm) and Opus; --tracks keeps a\n"
    "track per sender instead.\n"
    "Exit status:\n"
    "   0  done\n"
    "  64  bad usage\n"
    "  65  a stream cannot be identified or held by the container, or a file\n"
    "      is damaged (exported up to the damage)\n"
    "  66  a FILE or NAME.cf cannot be opened\n"
    "  69  a GStreamer plugin is missing\n"
    "  70  GStreamer failed\n"
    "  73  OUT cannot be created\n"
    "  74  read or write error\n";

struct Options {
  std::string conference, out;
  std::vector<std::string> files;
  int seconds = 0;
  int64_t limitMs = INT64_MAX;
  Overrides overrides;
  Container container = Container::kMatroska;
  bool tracks = false, speaker = false, follow = false;
  ComposeOptions compose;
};

// "WxH" within what encoders and players take, even.
bool ParseSize(const char* text, int* width, int* height) {
  char x = 0, end = 0;
  if (std::sscanf(text, "%d%c%d%c", width, &x, height, &end) != 3 || x != 'x') return false;
  return *width >= 160 && *height >= 90 && *width <= 3840 && *height <= 2160 && *width % 2 == 0 && *height % 2 == 0;
}

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int sig) { gStop = sig; }

// What the options ask for that an HLS presentation, or following, cannot
// be; null when they fit.
const char* Misfit(const Options& o) {
  if (o.tracks && o.container == Container::kHls) return "--tracks: an HLS presentation holds one picture and one sound";
  if (!o.follow) return nullptr;
  if (o.conference.empty()) return "-f follows a conference: give -c NAME";
  if (o.container != Container::kHls) return "-f writes an HLS presentation: give OUT ending in .m3u8";
  if (o.tracks || o.speaker || o.limitMs != INT64_MAX) return "-f goes without --tracks, --layout speaker and -t";
  return nullptr;
}

enum LongOption { kTracks = 256, kSize, kRate, kLayout };

// --size, --rate or --layout into `o`; what is wrong with `arg`, or "".
std::string ReadPicture(int opt, const char* arg, Options* o) {
  if (opt == kSize && !ParseSize(arg, &o->compose.width, &o->compose.height))
    return std::string("--size ") + arg + ": not WxH, even, from 160x90 to 3840x2160";
  if (opt == kRate && ((o->compose.rate = TextToInt(arg)) < 1 || o->compose.rate > 60 ||
                       std::to_string(o->compose.rate) != arg))
    return std::string("--rate ") + arg + ": not a number of frames per second, 1 to 60";
  if (opt == kLayout && std::strcmp(arg, "grid") && std::strcmp(arg, "speaker"))
    return std::string("--layout ") + arg + ": neither grid nor speaker";
  if (opt == kLayout) o->speaker = !std::strcmp(arg, "speaker");
  return "";
}

// False when the run ends here, with *status.
bool ReadOptions(int argc, char** argv, Options* o, int* status) {
  *status = EX_USAGE;
  std::string error;
  static const option kLong[] = {{"tracks", no_argument, nullptr, kTracks},
                                 {"size", required_argument, nullptr, kSize},
                                 {"rate", required_argument, nullptr, kRate},
                                 {"layout", required_argument, nullptr, kLayout},
                                 {nullptr, 0, nullptr, 0}};
  int opt;
  while ((opt = getopt_long(argc, argv, ":o:t:m:c:fh", kLong, nullptr)) != -1) {
    switch (opt) {
      case kTracks:
        o->tracks = true;
        break;
      case kSize:
      case kRate:
      case kLayout:
        if (!(error = ReadPicture(opt, optarg, o)).empty())
          return Usage(kUsage, error), false;
        break;
      case 'o':
        o->seconds = TextToInt(optarg);
        break;
      case 't':
        if (!ParseMinutes(optarg, &o->limitMs))
          return Usage(kUsage, std::string("-t ") + optarg + ": not a positive number of minutes"), false;
        break;
      case 'm': {
        int pt;
        Format f;
        if (!ParseFormatOverride(optarg, &pt, &f, &error)) return Usage(kUsage, error), false;
        o->overrides[pt] = f;
        break;
      }
      case 'c':
        o->conference = optarg;
        break;
      case 'f':
        o->follow = true;
        break;
      default:
        return OtherOption(opt, argv, kUsage, status);
    }
  }
  const int left = argc - optind;
  if (!o->conference.empty() && left != 1) return Usage(kUsage, "with -c, give OUT alone"), false;
  if (o->conference.empty() && left < 2) return Usage(kUsage, "give the FILEs to export and OUT"), false;
  o->files.assign(argv + optind, argv + argc - 1);
  o->out = argv[argc - 1];
  if (!ContainerOf(o->out, &o->container))
    return Usage(kUsage, o->out + ": the extension says no container (.mkv, .mka, .webm, .mp4, .m3u8)"), false;
  if (const char* why = Misfit(*o)) return Usage(kUsage, why), false;
  return true;
}

// The sessions to export: those of the conference from where its start
// position falls, or the files as one session. 0 or the exit status.
int PlanSessions(const Options& o, std::vector<Session>* sessions) {
  if (o.conference.empty()) {
    Session s;
    for (const std::string& f : o.files) s.files.push_back({f});
    s.skipMs = std::max(0, o.seconds) * int64_t{1000};
    sessions->push_back(std::move(s));
    return 0;
  }
  Conference conf(o.conference);
  if (!conf.ExistConference()) return Fail(EX_NOINPUT, conf.FileName() + ": " + std::strerror(errno));
  std::string start = std::to_string(std::max(0, o.seconds));
  if (conf.ExistSessionToPlay(start) < 0) return Fail(EX_DATAERR, conf.Error());
  bool first = true;
  while (conf.ExistSessionToPlay(start) > 0) {
    Session s;
    for (MediaType m : {Audio, Video}) {
      const std::string file = conf.FileSessionToPlay(m);
      if (!file.empty()) s.files.push_back({file});
    }
    if (first) s.skipMs = std::max(0, TextToInt(start.c_str())) * int64_t{1000};
    first = false;
    if (!s.files.empty()) sessions->push_back(std::move(s));
    conf.SessionPlayed();
  }
  if (sessions->empty()) return Fail(EX_DATAERR, conf.FileName() + ": no session to export from there");
  return 0;
}

// Reads every session once. A damaged file ends the export with its
// session; returns 0 or the exit status, with *damaged set for the end.
int Scan(std::vector<Session>* sessions, bool* damaged) {
  std::string error;
  for (size_t i = 0; i < sessions->size(); ++i) {
    if (int status = ScanSession(&(*sessions)[i], &error)) return Fail(status, error);
    for (const InputFile& f : (*sessions)[i].files) {
      if (f.end == DumpReader::kTruncated)
        Say(f.path + ": " + StatusText(f.end) + " at byte " + std::to_string(f.damageAt) + "; exported up to there");
      if (f.end == DumpReader::kBadRecord) {
        Say(f.path + ": damaged at byte " + std::to_string(f.damageAt) + ": " + StatusText(f.end) +
            "; exported up to there, and nothing after it");
        *damaged = true;
      }
    }
    if (*damaged) sessions->resize(i + 1);
  }
  return 0;
}

// Each source's format, with a line per source left out. 0 or the exit status.
int Identify(std::vector<Session>* sessions, const Options& o) {
  std::vector<std::string> notes;
  std::string error;
  if (!IdentifySources(sessions, o.overrides, &notes, &error)) return Fail(EX_DATAERR, error);
  for (const std::string& n : notes) Say(n);
  return 0;
}

const char* AudioCodec(Container c) { return c == Container::kHls ? "AAC" : "Opus"; }

// Whether the senders must be composed: two at the same time, or, for HLS,
// anything but one H.264 track and one sound, which it copies.
bool MustCompose(const Cast& cast, const std::vector<Session>& sessions, const Options& o) {
  if (o.tracks) return false;
  if (cast.Overlap()) return true;
  if (o.container != Container::kHls) return false;
  std::vector<Session> copy = sessions;
  int tracks[2] = {0, 0};
  for (const Track& t : AssignTracks(&copy)) {
    ++tracks[t.format.IsVideo()];
    if (t.format.IsVideo() && !Holds(o.container, t.format)) return true;
  }
  return tracks[0] > 1 || tracks[1] > 1;
}

// What goes into OUT, with a line per track. 0 or the exit status.
int ChooseTracks(std::vector<Session>* sessions, const Options& o, std::vector<TrackOut>* out) {
  const std::vector<Track> tracks = AssignTracks(sessions);
  if (tracks.empty()) return Fail(EX_DATAERR, "no RTP stream to export");
  for (const Track& t : tracks) {
    const std::string what = "PT " + std::to_string(t.payloadType) + ": " + t.format.Describe();
    if (t.format.IsVideo() && !Holds(o.container, t.format))
      return Fail(EX_DATAERR, what + ": " + Extension(o.container) + " cannot hold it; " + HoldersOf(t.format) +
                                  " can");
    TrackOut track{t.format, t.payloadType, t.name, !Holds(o.container, t.format)};
    Say(what + ", " + t.how + (t.name.empty() ? "" : " (" + t.name + ")") +
        (track.reencode ? std::string("; re-encoded to ") + AudioCodec(o.container) + ", as " + Extension(o.container) +
                              " cannot hold it"
                        : ""));
    out->push_back(track);
  }
  return 0;
}

std::string Clock(int64_t ms) {
  char s[32];
  ms = std::max<int64_t>(0, ms);
  std::snprintf(s, sizeof s, "%lld:%02lld:%02lld.%01lld", static_cast<long long>(ms / 3600000),
                static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
                static_cast<long long>(ms / 100 % 10));
  return s;
}

// On a terminal, where the export is, redrawn at most twice a second, and
// at the end where it stopped.
class Progress {
 public:
  // A negative length: nothing shown.
  explicit Progress(int64_t lengthMs)
      : length_(lengthMs), on_(lengthMs >= 0 && isatty(STDERR_FILENO)), start_(NowNs()) {}
  void Show(int64_t ms) {
    position_ = ms;
    if (on_ && NowNs() - drawn_ >= 500 * kNsPerMs) Draw();
  }
  void End(bool whole) {
    if (whole) position_ = length_;
    if (on_) Draw(), std::fputs("\n", stderr);
  }

 private:
  void Draw() {
    drawn_ = NowNs();
    const double speed = double(position_) * kNsPerMs / double(std::max<int64_t>(1, drawn_ - start_));
    std::fprintf(stderr, "\rrtpexport: %s of %s, %.1fx real time ", Clock(position_).c_str(), Clock(length_).c_str(),
                 speed);
  }

  const int64_t length_;
  const bool on_;
  const int64_t start_;
  int64_t drawn_ = 0, position_ = 0;
};

int64_t LengthMs(const std::vector<Session>& sessions, const Options& o) {
  int64_t length = 0;
  for (const Session& s : sessions) length += s.LengthMs();
  return std::min(length, o.limitMs);
}

// Where two or more people send at the same time, what the picture and the
// sound will be, with a line per participant. 0 or the exit status.
int ChooseComposition(const Cast& cast, const std::vector<Session>& sessions, Options* o) {
  bool video = false;
  for (const Participant& p : cast.people) video |= !p.video.empty();
  o->compose.video = video && o->container != Container::kMatroskaAudio;
  o->compose.lengthMs = LengthMs(sessions, *o);
  const std::string encoder = o->container == Container::kWebm ? "VP8" : "H.264";
  const std::string who = cast.people.size() == 1 ? "1 participant" : std::to_string(cast.people.size()) + " participants";
  Say(who + (cast.Overlap() ? ", some at the same time" : "") + ": composed into " +
      (o->compose.video ? "one picture (" + std::to_string(o->compose.width) + "x" + std::to_string(o->compose.height) +
                              ", " + std::to_string(o->compose.rate) + " frames/s, " + encoder + ", " +
                              (o->speaker ? "the speaker large" : "a grid") + ") and " : std::string()) +
      "one sound (" + AudioCodec(o->container) + ")");
  for (const Participant& p : cast.people) {
    std::string line = p.name + (p.name == p.key ? "" : " (" + p.key + ")") + ":";
    for (const auto& [what, spans] : {std::pair<const char*, const std::vector<Span>*>{"audio", &p.audio},
                                      {"video", &p.video}})
      for (const Span& s : *spans) line += std::string(" ") + what + " " + Clock(s.fromMs) + " to " + Clock(s.toMs) + ",";
    line.pop_back();
    Say(line);
  }
  return 0;
}

// Feeds every session into `media`, writing its file. 0 or the exit status.
int Feed(const std::vector<Session>& sessions, const Options& o, MediaSink* media, std::vector<TrackStats>* stats,
         bool quiet) {
  std::string error;
  Progress progress(quiet ? -1 : LengthMs(sessions, o));
  FeedOptions feed;
  feed.limitMs = o.limitMs;
  feed.stop = &gStop;
  feed.progress = [&](int64_t ms) { progress.Show(ms); };
  int64_t lead = 0;
  feed.leadMs = &lead;
  for (const Session& s : sessions) {
    if (feed.baseMs >= feed.limitMs) break;
    if (int status = FeedSession(s, feed, media, stats, &error)) {
      progress.End(false);
      // A sink that failed has its own status and reason.
      if (int failed = media->Failure(&error)) status = failed;
      return gStop ? status : Fail(status, error);
    }
    feed.baseMs += s.LengthMs() + lead;
  }
  const int status = media->Finish(&gStop, &error);
  progress.End(status == 0);
  return status && !gStop ? Fail(status, error) : status;
}

// Copies each track into `tmp`. 0 or the exit status.
int Export(const std::vector<Session>& sessions, const Options& o, const std::vector<TrackOut>& tracks,
           const std::string& tmp, std::vector<TrackStats>* stats) {
  GstExport media;
  std::string error;
  if (int status = media.Open(tmp, o.out, o.container, tracks, &error)) return Fail(status, error);
  stats->assign(tracks.size(), TrackStats());
  return Feed(sessions, o, &media, stats, false);
}

// Composes everyone into `tmp`; for the speaker layout, hears who speaks
// first. 0 or the exit status.
int Compose(const std::vector<Session>& sessions, const Options& o, const Cast& cast, const std::string& tmp,
            std::vector<TrackStats>* stats) {
  std::string error;
  std::vector<Turn> turns;
  if (o.speaker) {
    GstLoudness loudness;
    if (int status = loudness.Open(cast, &error)) return Fail(status, error);
    stats->assign(cast.inputs.size(), TrackStats());
    if (int status = Feed(sessions, o, &loudness, stats, true)) return status;
    turns = Speakers(loudness.Levels(), kLoudnessWindowMs);
  }
  GstCompose media;
  const std::vector<Scene> scenes =
      LayoutTimeline(cast, o.compose.width, o.compose.height, o.speaker ? &turns : nullptr);
  if (int status = media.Open(tmp, o.out, o.container, o.compose, cast, scenes, &error)) return Fail(status, error);
  stats->assign(cast.inputs.size(), TrackStats());
  return Feed(sessions, o, &media, stats, false);
}

// Moves the finished file into place, with the permissions of a new file.
int Install(const std::string& tmp, const std::string& out) {
  const mode_t mask = umask(0);
  umask(mask);
  const int fd = open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (!synced || chmod(tmp.c_str(), 0666 & ~mask) != 0 || rename(tmp.c_str(), out.c_str()) != 0)
    return Fail(EX_IOERR, out + ": " + std::strerror(errno));
  return 0;
}

void SummarizeCast(const Cast& cast, const std::vector<TrackStats>& stats) {
  for (size_t p = 0; p < cast.people.size(); ++p) {
    uint64_t frames[2] = {0, 0}, lost = 0;
    bool inputs = false;
    for (size_t i = 0; i < cast.inputs.size(); ++i)
      if (cast.inputs[i].participant == p)
        frames[cast.inputs[i].format.IsVideo()] += stats[i].frames, lost += stats[i].lost, inputs = true;
    // Followed, a sender known first by its SSRC may have joined its CNAME's.
    if (!inputs) continue;
    Say(cast.people[p].name + ": on screen " + Clock(cast.people[p].PresentMs()) + ", " + std::to_string(frames[0]) +
        " audio frames, " + std::to_string(frames[1]) + " video frames, " + std::to_string(lost) + " lost");
  }
}

void Summarize(const std::vector<TrackOut>& tracks, const std::vector<TrackStats>& stats, Container container) {
  for (size_t t = 0; t < tracks.size(); ++t) {
    const TrackStats& s = stats[t];
    const int64_t ms = s.firstNs < 0 ? 0 : (s.lastNs - s.firstNs) / 1000000;
    Say("track " + std::to_string(t + 1) + ": " + (tracks[t].reencode ? (container == Container::kHls ? "AAC" : "OPUS") : tracks[t].format.Name()) + " " +
        (tracks[t].format.IsVideo() ? "video" : "audio") + ", " + std::to_string(s.frames) + " frames, " +
        std::to_string(s.lost) + " lost, " + Clock(ms));
  }
}

// A temporary file beside `out`, which is renamed into place when whole.
// 0 or the exit status.
int MakeTemporary(const std::string& out, std::string* tmp) {
  const size_t slash = out.rfind('/');
  *tmp = (slash == std::string::npos ? "" : out.substr(0, slash + 1)) + "." +
         out.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
  const int fd = mkstemp(tmp->data());
  if (fd < 0) return Fail(EX_CANTCREAT, out + ": cannot be created: " + std::strerror(errno));
  close(fd);
  return 0;
}

// Packets wait this long after they arrived before they are fed: the
// sender reports and names that place them have come by then.
constexpr int64_t kFollowHoldMs = 1000;

// The session of the conference being recorded now, waited for up to 10 s:
// its files, which exist before the conference file counts the session.
int LiveSession(const Options& o, size_t* index, Session* live) {
  for (int tries = 0; tries < 40 && !gStop; ++tries) {
    Conference conf(o.conference);
    if (conf.ExistConference()) {
      std::fstream in;
      in >> conf;
    }
    *index = conf.TimesRecorded().size();
    live->files.clear();
    bool recording = false;
    for (MediaType m : {Audio, Video}) {
      const std::string file = conf.SessionFileName(int32_t(*index), m);
      const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      recording = BeingRecorded(fd) || recording;
      close(fd);
      live->files.push_back({file});
    }
    if (recording) return 0;
    SleepUntilNs(NowNs() + 250 * kNsPerMs);
  }
  return gStop ? EX_TEMPFAIL : Fail(EX_NOINPUT, "no session of " + o.conference + " is being recorded");
}

// Follows the conference into an HLS presentation: the sessions recorded
// from the start position, then the one being recorded, as it grows.
int FollowConference(Options o, const std::string& tmp) {
  size_t index = 0;
  Session live;
  if (int status = LiveSession(o, &index, &live)) return status;
  std::vector<Session> sessions;
  if (index > 0) {
    if (int status = PlanSessions(o, &sessions)) return status;
    sessions.resize(std::min(sessions.size(), index));
  } else {
    live.skipMs = std::max(0, o.seconds) * int64_t{1000};
  }
  sessions.push_back(std::move(live));
  o.compose.follow = true;
  o.compose.video = true;
  o.compose.behindMs = 500;
  FollowSink media(tmp, o.out, o.compose);
  std::string error;
  if (int status = media.Check(&error)) return Fail(status, error);
  LiveFeed feed(&sessions, o.overrides, kFollowHoldMs);
  auto layout = [&](const Cast& cast) {
    media.Update(cast, LayoutTimeline(cast, o.compose.width, o.compose.height, nullptr));
  };
  feed.onCast = layout;
  Say("following " + o.conference + " into " + o.out);
  size_t told = 0;
  bool copying = false;
  for (bool ended = false, more = false; !ended;) {
    const int64_t next = NowNs() + 250 * kNsPerMs;
    // Stopped, the presentation ends where the files do, complete.
    if (gStop) Say(std::string("stopped by ") + strsignal(gStop) + ": ending the presentation where the recording is");
    if (int status = feed.Step(&media, NowNs(CLOCK_REALTIME) / kNsPerMs, gStop != 0, &ended, &more, &error)) {
      if (int failed = media.Failure(&error)) status = failed;
      return Fail(status, error);
    }
    for (; told < feed.notes.size(); ++told) Say(feed.notes[told]);
    layout(feed.cast());
    if (int status = media.Advance(feed.PositionMs() * kNsPerMs, &error)) return Fail(status, error);
    if (media.Copying() != copying) {
      copying = !copying;
      Say(copying ? "one H.264 sender: copied as it came" : "composed from " + Clock(feed.PositionMs()) + " on");
    }
    if (!ended && !more) SleepUntilNs(next);
  }
  if (int status = media.Finish(feed.PositionMs(), &error)) return Fail(status, error);
  if (int status = Install(tmp, o.out)) return status;
  SummarizeCast(feed.cast(), std::vector<TrackStats>(feed.stats.begin(), feed.stats.end()));
  return 0;
}

}  // namespace

// Ends as the signal that stopped the export would have ended it.
void EndBySignal() {
  if (!gStop) return;
  signal(gStop, SIG_DFL);
  raise(gStop);
}

int main(int argc, char** argv) {
  if (!StartTool("rtpexport")) return EX_OSERR;
  Options o;
  int status;
  if (!ReadOptions(argc, argv, &o, &status)) return status;
  if (o.follow) {
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    std::string tmp;
    if ((status = MakeTemporary(o.out, &tmp))) return status;
    status = FollowConference(o, tmp);
    if (status) unlink(tmp.c_str()), EndBySignal();
    // Stopped by a signal, the presentation was completed: a success.
    return status;
  }

  std::vector<Session> sessions;
  bool damaged = false;
  std::vector<TrackOut> tracks;
  if ((status = PlanSessions(o, &sessions)) || (status = Scan(&sessions, &damaged)) ||
      (status = Identify(&sessions, o)))
    return status;
  const Cast cast = FindCast(&sessions);
  const bool compose = MustCompose(cast, sessions, o);
  if ((status = compose ? ChooseComposition(cast, sessions, &o) : ChooseTracks(&sessions, o, &tracks))) return status;

  // Caught before the temporary file exists, so that a signal never leaves it.
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  // Written beside OUT under a name of its own, renamed when whole.
  std::string tmp;
  if ((status = MakeTemporary(o.out, &tmp))) return status;

  std::vector<TrackStats> stats;
  status = compose ? Compose(sessions, o, cast, tmp, &stats) : Export(sessions, o, tracks, tmp, &stats);
  if (!status) status = Install(tmp, o.out);
  if (status) {
    unlink(tmp.c_str());
    EndBySignal();
    return status;
  }
  if (compose)
    SummarizeCast(cast, stats);
  else
    Summarize(tracks, stats, o.container);
  return damaged ? EX_DATAERR : 0;
}
