// What an export takes in: the sessions in order, the RTP sources of each
// file with their formats, and the tracks they go to. Built by reading the
// files once, before anything is written.
#ifndef RTPTOOLS_PLAN_H
#define RTPTOOLS_PLAN_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dumpfile.h"
#include "rtpformat.h"

namespace rtptools {

// One SSRC of one file, and one payload type of it (telephone events share
// their SSRC with the audio).
struct Source {
  size_t file = 0;  // index into Session::files
  uint32_t ssrc = 0;
  int payloadType = -1;  // of its first packet
  uint64_t packets = 0;
  int64_t firstMs = 0, lastMs = 0;  // arrival, ms since 1970
  // From first to last arrival of each run of packets without a pause.
  std::vector<std::pair<int64_t, int64_t>> spans;
  FormatProbe probe;
  Format format;
  std::string how;  // how the format was found: "identified from the stream"
  int track = -1;   // -1: left out
};

// A sender that sends nothing for longer than this has paused (its video
// stopped, or it left), more than a lost packet or a quiet moment.
constexpr int64_t kPauseMs = 5000;

struct InputFile {
  std::string path;
  int64_t startMs = 0;  // the recording's start, ms since 1970
  int64_t lastMs = 0;   // arrival of its last whole record
  // kEnd or kTruncated (usable up to there); anything else stops the export.
  DumpReader::Status end = DumpReader::kEnd;
  uint64_t damageAt = 0;
  // When set, what is read in place of the file at `path`: a recording
  // already in memory, which outlives the session.
  const std::string* contents = nullptr;
};

// A reader of `in`, over its contents or its file; for a file, *fd is its
// descriptor, for the caller to close, else -1. Null, with errno set, when
// the file cannot be opened.
std::unique_ptr<DumpReader> OpenInput(const InputFile& in, int* fd);

struct Session {
  std::vector<InputFile> files;
  int64_t skipMs = 0;  // of its own time, before the export starts
  std::vector<Source> sources;
  std::map<uint32_t, std::string> cnames;  // by SSRC, from RTCP SDES
  std::map<uint32_t, std::string> names;   // SDES NAME, where sent
  int64_t OriginMs() const;  // the earliest start of its files
  int64_t LengthMs() const;  // from its origin to its last arrival, less skipMs
};

struct Track {
  Format format;
  std::string name;  // the CNAME of a sender, where one was sent
  int payloadType = -1;  // of its first source
  std::string how;       // and how that one's format was found
};

// Sources with fewer packets than this are left out: too few to identify
// or to watch.
constexpr uint64_t kMinPackets = 10;

// Reads every file of `session` to its end or first damage, collecting its
// sources. 0, or the exit status with the reason in *error.
int ScanSession(Session* session, std::string* error);

// Takes record `r` of file `file` into the session: its sources (found
// by SSRC and payload type through *index_of, the file's own), their
// packets, spans and formats' clues, and the names that RTCP gives.
void ScanRecord(Session* session, size_t file, const Record& r, std::map<std::pair<uint32_t, int>, size_t>* index_of);

// Payload types that the user named with -m.
using Overrides = std::map<int, Format>;

// Gives `s` its format, as IdentifySources does; false when it cannot yet.
bool IdentifySource(Source* s, const Overrides& overrides);

// Gives each source of the sessions its format: named with -m, static,
// or identified from its packets. Sources with too few packets are left
// out, with a line in *notes. False, with *error naming the source and the
// -m to add, when one cannot be identified.
bool IdentifySources(std::vector<Session>* sessions, const Overrides& overrides, std::vector<std::string>* notes,
                     std::string* error);

// Gives each source a track: a source that starts after another of its
// medium and format has stopped continues that one's track (a restarted
// sender); sources at the same time get tracks of their own.
std::vector<Track> AssignTracks(std::vector<Session>* sessions);

}  // namespace rtptools

#endif
