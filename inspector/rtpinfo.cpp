// rtpinfo: says what RTP dump files hold, one by one or for every session of
// a conference.
#include <fcntl.h>
#include <getopt.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "Conference.h"
#include "args.h"
#include "clock.h"
#include "follow.h"
#include "html.h"
#include "net.h"
#include "report.h"
#include "sdp.h"
#include "message.h"
#include "summary.h"

using namespace rtptools;

namespace {

const char kUsage[] =
    "usage: rtpinfo [--json] [--follow] [--html OUT] FILE...\n"
    "       rtpinfo [--json] [--follow] [--html OUT] -c NAME\n"
    "       rtpinfo --sdp [-a HOST/PORT[/TTL]] [-v HOST/PORT[/TTL]] FILE...|-c NAME\n"
    "Says what each RTP dump FILE holds: what was recorded and when, how long,\n"
    "RTP and RTCP packet counts and bytes, and per SSRC the payload types,\n"
    "first and last sequence number, lost and duplicated packets, sequence\n"
    "errors, the largest and mean gap in arrival and the interarrival jitter\n"
    "(RFC 3550) at the format's clock rate, largest and mean. With -c, every session of the conference NAME,\n"
    "beside the durations in NAME.cf. A damaged file is summarised up to the\n"
    "byte where the damage starts. --json writes JSON instead of tables.\n"
    "--follow (-F) follows recordings while they grow, every second: per source\n"
    "the packets, the rate, the losses and the time since the last, flagged\n"
    "when silent for over 5 s; with -c, the session being recorded now. It\n"
    "redraws a terminal, and writes a line (or a JSON object) a second to a\n"
    "pipe, until every recording has ended.\n"
    "--sdp writes the SDP of a playback of the files (or of the conference, as\n"
    "confrec -p plays it) to the audio and video addresses of -a and -v (by\n"
    "default the recorded ones), for a player to receive it. --html writes\n"
    "OUT, a page of the files on one time axis: per source packets per second\n"
    "and jitter over time, losses and silences, and the figures.\n"
    "Exit status:\n"
    "   0  every file read whole\n"
    "  64  bad usage\n"
    "  65  a file is not an RTP dump file or is damaged, or NAME.cf does not parse\n"
    "  66  a file or NAME.cf cannot be opened\n"
    "  68  unknown host (--sdp)\n"
    "  73  OUT cannot be created\n"
    "  74  read error, or OUT cannot be written\n";

// `text` left-aligned in `width` columns, never cut.
std::string Pad(const std::string& text, size_t width) {
  return text.size() < width ? text + std::string(width - text.size(), ' ') : text + " ";
}

bool json = false;
int status = 0;  // the first failure's

void Complain(int code, const std::string& message) {
  Say(message);
  if (status == 0) status = code;
}

// Summarises one file; false when it cannot be opened (reported).
bool Inspect(const std::string& file, Summary* s) {
  int fd = OpenDumpFile(file);
  if (fd < 0) {
    int err = errno;
    Complain(EX_NOINPUT, file + ": " + std::strerror(err));
    errno = err;  // for Unopened()
    return false;
  }
  DumpReader::Status end = Summarize(fd, s);
  int err = errno;
  close(fd);
  if (end == DumpReader::kIoError)
    Complain(EX_IOERR, file + ": " + std::strerror(err));
  else if (end == DumpReader::kNotDump)
    Complain(EX_DATAERR, file + ": " + StatusText(end));
  else if (end != DumpReader::kEnd)
    Complain(EX_DATAERR, file + ": damaged at byte " + std::to_string(s->damageAt) + ": " + StatusText(end));
  return true;
}

std::string Report(const std::string& file, const Summary& s) {
  return json ? JsonReport(file, s) : TableReport(file, s);
}

std::string Unopened(const std::string& file) {
  return json ? "{\"file\": " + JsonQuote(file) + ", \"error\": " + JsonQuote(std::strerror(errno)) + "}" : "";
}

void Files(const std::vector<std::string>& files) {
  std::string out = json ? "[" : "";
  for (size_t i = 0; i < files.size(); ++i) {
    Summary s;
    std::string one = Inspect(files[i], &s) ? Report(files[i], s) : Unopened(files[i]);
    if (json)
      out += (i ? ",\n " : "") + one;
    else if (!one.empty())
      out += (out.empty() ? "" : "\n") + one;
  }
  if (json) out += "]\n";
  std::fputs(out.c_str(), stdout);
}

// Reads NAME.cf, never writing it; false when it cannot (reported).
bool Load(Conference& conf) {
  if (!conf.ExistConference()) return Complain(EX_NOINPUT, conf.FileName() + ": " + std::strerror(errno)), false;
  std::fstream in;
  in >> conf;
  if (in.fail()) return Complain(EX_DATAERR, "Corrupt conference file " + conf.FileName()), false;
  return true;
}

// Every session of the conference, its planned and its recorded length side
// by side, then each file in full.
void Sessions(const std::string& name) {
  Conference conf(name);
  if (!Load(conf)) return;

  const std::vector<std::string>& planned = conf.TimesRecorded();
  std::string table, details, sessions;
  table = "conference " + name + " (" + conf.FileName() + "), " + std::to_string(planned.size()) +
          " session" + (planned.size() == 1 ? "" : "s") + "\n";
  table += "  " + Pad("session", 9) + Pad("planned min", 13) + Pad("audio", 23) + "video\n";
  for (int32_t i = 0; i < int32_t(planned.size()); ++i) {
    std::string lengths[2], media[2];
    for (MediaType m : {Audio, Video}) {
      std::string file = conf.SessionFileName(i, m);
      Summary s;
      lengths[m] = "none";
      media[m] = "null";
      // A session recorded without one of the media has no file for it.
      if (access(file.c_str(), F_OK) != 0 && errno == ENOENT) continue;
      if (!Inspect(file, &s)) {
        lengths[m] = "unreadable";
        media[m] = Unopened(file);
        continue;
      }
      lengths[m] = s.end == DumpReader::kNotDump ? "not a dump" : FormatDuration(s.lastOffset);
      if (s.end != DumpReader::kEnd && s.end != DumpReader::kNotDump) lengths[m] += " damaged";
      media[m] = Report(file, s);
      details += "\n" + media[m];
    }
    const std::string& text = planned[size_t(i)];
    table += "  " + Pad(std::to_string(i), 9) + Pad(text, 13) + Pad(lengths[0], 23) + lengths[1] + "\n";
    sessions += std::string(i ? ",\n  " : "") + "{\"index\": " + std::to_string(i) +
                ", \"planned_minutes\": " + JsonQuote(text) +
                ", \"planned_s\": " + std::to_string(MinutesToMs(text.c_str()) / 1000) +
                ",\n   \"audio\": " + media[Audio] + ",\n   \"video\": " + media[Video] + "}";
  }
  if (json)
    std::printf("{\"conference\": %s, \"file\": %s, \"sessions\": [\n  %s]}\n", JsonQuote(name).c_str(),
                JsonQuote(conf.FileName()).c_str(), sessions.c_str());
  else
    std::printf("%s%s", table.c_str(), details.c_str());
}

// Looks at the files every second until no recording goes on in any.
void Follow(const std::vector<std::string>& paths) {
  std::vector<std::unique_ptr<Follower>> files;
  for (const std::string& p : paths) {
    if (access(p.c_str(), R_OK) != 0) return Complain(EX_NOINPUT, p + ": " + std::strerror(errno));
    files.emplace_back(new Follower(p));
  }
  const bool table = !json && isatty(STDOUT_FILENO);
  for (int64_t next = NowNs();; next += kNsPerSecond) {
    const int64_t now = NowNs(CLOCK_REALTIME);
    bool going = false;
    for (auto& f : files) going = f->Look(now) || going;
    const std::string view = json ? FollowJson(files, now) : table ? FollowTable(files, now) : FollowLine(files, now);
    std::fputs(view.c_str(), stdout);
    std::fflush(stdout);
    if (!going) break;
    SleepUntilNs(next + kNsPerSecond);
  }
  for (const auto& f : files)
    if (f->summary.end != DumpReader::kEnd)
      Complain(EX_DATAERR, f->path + ": " + (f->started ? "damaged at byte " + std::to_string(f->summary.damageAt)
                                                         : std::string(StatusText(DumpReader::kNotDump))));
}

// The session files of the conference's next session: being recorded, they
// exist before the conference file counts them.
void FollowConference(const std::string& name) {
  Conference conf(name);
  if (!Load(conf)) return;
  std::vector<std::string> files;
  for (MediaType m : {Audio, Video}) {
    std::string file = conf.SessionFileName(int32_t(conf.TimesRecorded().size()), m);
    if (access(file.c_str(), F_OK) == 0) files.push_back(file);
  }
  if (files.empty()) return Complain(EX_NOINPUT, "no session of " + name + " is being recorded");
  Follow(files);
}

// The session files that exist of every session of the conference, with
// the session's index; or the files given, with -1.
std::vector<std::pair<int, std::string>> InputFiles(const std::string& name, const std::vector<std::string>& given) {
  std::vector<std::pair<int, std::string>> files;
  for (const std::string& f : given) files.emplace_back(-1, f);
  Conference conf(name);
  if (!given.empty() || !Load(conf)) return files;
  for (int32_t i = 0; i < int32_t(conf.TimesRecorded().size()); ++i)
    for (MediaType m : {Audio, Video})
      if (access(conf.SessionFileName(i, m).c_str(), F_OK) == 0) files.emplace_back(i, conf.SessionFileName(i, m));
  return files;
}

// The page of the files, written to `out`.
void Html(const std::string& title, const std::vector<std::pair<int, std::string>>& files, const std::string& out) {
  std::vector<PageFile> pages(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    pages[i].session = files[i].first;
    pages[i].path = files[i].second;
    pages[i].summary.keepTimeline = true;
    Inspect(files[i].second, &pages[i].summary);
  }
  const std::string page = HtmlPage(title, pages);
  std::FILE* f = std::fopen(out.c_str(), "w");
  if (!f) return Complain(EX_CANTCREAT, out + ": " + std::strerror(errno));
  const bool written = std::fwrite(page.data(), 1, page.size(), f) == page.size();
  if (std::fclose(f) != 0 || !written) Complain(EX_IOERR, out + ": " + std::strerror(errno));
}

// The SDP of playing `files` to `addresses` (audio, video; empty: where
// each was recorded).
void Sdp(const std::string& name, const std::vector<std::pair<int, std::string>>& files, const std::string addresses[2]) {
  SdpMedium media[2];
  media[Video].video = true;
  for (MediaType m : {Audio, Video})
    if (!addresses[m].empty()) ParseHostPortTtl(addresses[m], &media[m].host, &media[m].port, &media[m].ttl);
  for (const auto& [session, file] : files) {
    Summary s;
    if (!Inspect(file, &s) || s.headerBytes == 0) continue;
    bool video = file.size() > 6 && file.compare(file.size() - 6, 6, ".v.rtp") == 0;
    for (const StreamStats& st : s.streams) video = video || st.format.IsVideo();
    SdpMedium& m = media[video ? Video : Audio];
    if (m.port == 0 && !ParseHostPort(s.text, &m.host, &m.port))
      return Complain(EX_USAGE, file + ": recorded at " + s.text + ", not HOST/PORT: give " + (video ? "-v" : "-a"));
    std::vector<int> unknown;
    AddPayloads(s, &m, &unknown);
    for (int pt : unknown) Say(file + ": payload type " + std::to_string(pt) + " not identified, left out");
  }
  std::string sdp, error;
  if (!WriteSdp(name, {media[Audio], media[Video]}, &sdp, &error)) return Complain(EX_NOHOST, error);
  if (sdp.empty()) return Complain(EX_DATAERR, "no payload type to describe");
  std::fputs(sdp.c_str(), stdout);
}

struct Options {
  std::string conference, addresses[2], html;
  std::vector<std::string> files;
  bool byConference = false, follow = false, sdp = false;
};

// What is wrong with the options taken together, or null.
const char* Misuse(const Options& o) {
  if (o.byConference != o.files.empty()) return o.byConference ? "-c takes no FILE" : "no FILE given";
  if (int(o.sdp) + int(o.follow) + int(!o.html.empty()) > 1 || ((o.sdp || !o.html.empty()) && json))
    return "--sdp, --html and --follow go alone";
  if (!o.sdp && (!o.addresses[0].empty() || !o.addresses[1].empty())) return "-a and -v go with --sdp";
  return nullptr;
}

// False when the program is to end, with *status its exit status.
bool ReadOptions(int argc, char** argv, Options* o, int* status) {
  static const option longOptions[] = {{"json", no_argument, nullptr, 'j'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {"follow", no_argument, nullptr, 'F'},
                                       {"sdp", no_argument, nullptr, 'S'},
                                       {"html", required_argument, nullptr, 'H'},
                                       {nullptr, 0, nullptr, 0}};
  int opt;
  *status = 0;
  while ((opt = getopt_long(argc, argv, ":c:jFha:v:", longOptions, nullptr)) != -1) {
    switch (opt) {
      case 'c':
        o->conference = optarg;
        o->byConference = true;
        break;
      case 'j':
        json = true;
        break;
      case 'F':
        o->follow = true;
        break;
      case 'S':
        o->sdp = true;
        break;
      case 'H':
        o->html = optarg;
        break;
      case 'a':
      case 'v': {
        std::string host;
        uint16_t port;
        int ttl;
        if (!ParseHostPortTtl(optarg, &host, &port, &ttl)) {
          *status = Usage(kUsage, std::string("-") + char(opt) + " " + optarg + ": expected HOST/PORT[/TTL]");
          return false;
        }
        o->addresses[opt == 'a' ? Audio : Video] = optarg;
        break;
      }
      default:
        return OtherOption(opt, argv, kUsage, status);
    }
  }
  o->files.assign(argv + optind, argv + argc);
  if (const char* wrong = Misuse(*o)) {
    *status = Usage(kUsage, wrong);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!StartTool("rtpinfo")) return EX_OSERR;
  Options o;
  int usage;
  if (!ReadOptions(argc, argv, &o, &usage)) return usage;

  const std::string title = o.byConference ? o.conference : o.files[0];
  if (o.sdp)
    Sdp(title, InputFiles(o.conference, o.files), o.addresses);
  else if (!o.html.empty())
    Html(title, InputFiles(o.conference, o.files), o.html);
  else if (o.follow && o.byConference)
    FollowConference(o.conference);
  else if (o.follow)
    Follow(o.files);
  else if (o.byConference)
    Sessions(o.conference);
  else
    Files(o.files);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) Complain(EX_IOERR, std::string("standard output: ") + std::strerror(errno));
  return status;
}
