#include "plan.h"

#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "rtp.h"

namespace rtptools {

namespace {

struct NameCollector : RtcpHandler {
  Session* session;
  void OnSenderReport(uint32_t, uint64_t, uint32_t) override {}
  void OnCname(uint32_t ssrc, const std::string& cname) override { session->cnames[ssrc] = cname; }
  void OnName(uint32_t ssrc, const std::string& name) override { session->names[ssrc] = name; }
};

std::string Hex(uint32_t v) {
  char s[16];
  std::snprintf(s, sizeof s, "0x%08x", v);
  return s;
}

}  // namespace

void ScanRecord(Session* session, size_t file, const Record& r, std::map<std::pair<uint32_t, int>, size_t>* index_of) {
  InputFile& in = session->files[file];
  const int64_t arrival = in.startMs + r.offset;
  in.lastMs = arrival;
  if (r.plen == 0) {
    NameCollector names;
    names.session = session;
    ParseRtcp(r.data, r.size, &names);
    return;
  }
  RtpPacket p;
  if (!ParseRtp(r.data, r.size, &p)) return;
  auto [it, fresh] = index_of->try_emplace({p.ssrc, p.payloadType}, session->sources.size());
  if (fresh) {
    Source s;
    s.file = file;
    s.ssrc = p.ssrc;
    s.payloadType = p.payloadType;
    s.firstMs = arrival;
    session->sources.push_back(std::move(s));
  }
  Source& s = session->sources[it->second];
  ++s.packets;
  if (s.spans.empty() || arrival - s.lastMs > kPauseMs) s.spans.push_back({arrival, arrival});
  s.spans.back().second = arrival;
  s.lastMs = arrival;
  s.probe.Add(p.seq, p.timestamp, arrival, p.payload, p.payloadSize);
}

namespace {

int ScanFile(size_t index, Session* session, std::string* error) {
  InputFile& in = session->files[index];
  int fd;
  const std::unique_ptr<DumpReader> input = OpenInput(in, &fd);
  if (!input) return *error = in.path + ": " + std::strerror(errno), EX_NOINPUT;
  DumpReader& reader = *input;
  std::string text;
  FileHeader header;
  DumpReader::Status st = reader.ReadHeader(&text, &header);
  if (st != DumpReader::kOk) {
    const int err = errno;
    if (fd >= 0) close(fd);
    *error = in.path + ": " + (st == DumpReader::kIoError ? std::strerror(err) : StatusText(st));
    return st == DumpReader::kIoError ? EX_IOERR : EX_DATAERR;
  }
  in.startMs = int64_t(header.startSec) * 1000 + header.startUsec / 1000;
  in.lastMs = in.startMs;
  std::map<std::pair<uint32_t, int>, size_t> index_of;
  Record r;
  while ((st = reader.Next(&r)) == DumpReader::kOk) ScanRecord(session, index, r, &index_of);
  const int err = errno;
  if (fd >= 0) close(fd);
  in.end = st;
  in.damageAt = reader.Position();
  if (st == DumpReader::kIoError) return *error = in.path + ": " + std::strerror(err), EX_IOERR;
  return 0;
}

}  // namespace

std::unique_ptr<DumpReader> OpenInput(const InputFile& in, int* fd) {
  *fd = -1;
  if (in.contents)
    return std::make_unique<DumpReader>(reinterpret_cast<const uint8_t*>(in.contents->data()), in.contents->size());
  if ((*fd = OpenDumpFile(in.path)) < 0) return nullptr;
  return std::make_unique<DumpReader>(*fd);
}

int64_t Session::OriginMs() const {
  int64_t origin = INT64_MAX;
  for (const InputFile& f : files) origin = std::min(origin, f.startMs);
  return origin;
}

int64_t Session::LengthMs() const {
  int64_t last = OriginMs();
  for (const InputFile& f : files) last = std::max(last, f.lastMs);
  return std::max<int64_t>(0, last - OriginMs() - skipMs);
}

int ScanSession(Session* session, std::string* error) {
  for (size_t i = 0; i < session->files.size(); ++i)
    if (int status = ScanFile(i, session, error)) return status;
  return 0;
}

bool IdentifySource(Source* s, const Overrides& overrides) {
  if (auto o = overrides.find(s->payloadType); o != overrides.end()) {
    s->format = o->second;
    s->how = "named with -m";
  } else if ((s->format = StaticFormat(s->payloadType)).Known()) {
    s->how = "static payload type";
  } else if (s->payloadType >= 96 && (s->format = s->probe.Identify()).Known()) {
    s->how = "identified from the stream";
  }
  return s->format.Known();
}

bool IdentifySources(std::vector<Session>* sessions, const Overrides& overrides, std::vector<std::string>* notes,
                     std::string* error) {
  for (Session& session : *sessions) {
    for (Source& s : session.sources) {
      const std::string who = session.files[s.file].path + ": SSRC " + Hex(s.ssrc) + ", payload type " +
                              std::to_string(s.payloadType);
      if (s.packets < kMinPackets) {
        notes->push_back(who + ": only " + std::to_string(s.packets) + " packets, left out");
        continue;
      }
      if (!IdentifySource(&s, overrides)) {
        *error = who + ": format not identified; name it with -m " + std::to_string(s.payloadType) +
                 "=FORMAT (PCMU, PCMA, G722, L16/RATE/CHANNELS, OPUS, VP8, VP9, H264, H265)";
        return false;
      }
      s.track = 0;  // to be given one
    }
  }
  return true;
}

std::vector<Track> AssignTracks(std::vector<Session>* sessions) {
  std::vector<Track> tracks;
  for (Session& session : *sessions) {
    std::vector<Source*> order;
    for (Source& s : session.sources)
      if (s.track >= 0) order.push_back(&s);
    std::stable_sort(order.begin(), order.end(), [](const Source* a, const Source* b) { return a->firstMs < b->firstMs; });
    // Until when each track is taken in this session.
    std::vector<int64_t> busy(tracks.size(), INT64_MIN);
    for (Source* s : order) {
      const auto cname = session.cnames.find(s->ssrc);
      const std::string name = cname == session.cnames.end() ? "" : cname->second;
      int pick = -1;
      for (size_t t = 0; t < tracks.size(); ++t) {
        const Format& f = tracks[t].format;
        if (f.codec != s->format.codec || f.clockRate != s->format.clockRate || f.channels != s->format.channels ||
            busy[t] >= s->firstMs)
          continue;
        // The same sender's track first, where senders are named.
        if (pick < 0 || (tracks[t].name == name && tracks[size_t(pick)].name != name)) pick = int(t);
      }
      if (pick < 0) {
        pick = int(tracks.size());
        tracks.push_back({s->format, name, s->payloadType, s->how});
        busy.push_back(INT64_MIN);
      }
      if (tracks[size_t(pick)].name.empty()) tracks[size_t(pick)].name = name;
      busy[size_t(pick)] = s->lastMs;
      s->track = pick;
    }
  }
  return tracks;
}

}  // namespace rtptools
