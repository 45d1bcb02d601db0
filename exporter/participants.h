// Who took part in an export and when: senders grouped by the CNAME they
// sent (else each SSRC by itself), with the times each of their media was
// present on the export's clock, for composing everyone into one picture
// and one sound.
#ifndef RTPTOOLS_PARTICIPANTS_H
#define RTPTOOLS_PARTICIPANTS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "plan.h"

namespace rtptools {

struct Span {
  int64_t fromMs = 0, toMs = 0;  // on the export's clock
};

struct Participant {
  std::string key;   // the CNAME, or the SSRC where none was sent
  std::string name;  // shown: SDES NAME where sent, else the key
  std::vector<Span> audio, video;  // in order, apart by more than a pause
  std::vector<Span> Present() const;  // either medium
  int64_t PresentMs() const;
};

// A decoder's input: one participant's sources of one format.
struct Input {
  size_t participant = 0;
  Format format;
  int payloadType = 96;
};

struct Cast {
  std::vector<Participant> people;  // in order of their first appearance
  std::vector<Input> inputs;
  // Whether two people send the same medium at the same time somewhere.
  bool Overlap() const;
};

// Builds a cast source by source, as a recording is followed: participants
// and inputs keep their indices as others join.
class CastBuilder {
 public:
  // The input of `s`, which has its format, found or added with its
  // participant.
  int Enlist(const Session& session, const Source& s);
  // What `s`, enlisted, sent since: a CNAME that came after its first
  // packets takes it to that CNAME's participant; a NAME is shown.
  void Learn(const Session& session, const Source& s);
  // The spans of `s`, enlisted as its track, from the session's own clock
  // (shifted by `shift`) onto the export's, from `base` on.
  void AddSpans(const Source& s, int64_t base, int64_t shift);
  // Each participant's spans joined where they are less than a pause apart.
  void Join();

  Cast cast;

 private:
  std::map<std::string, size_t> byKey_;
  std::map<std::pair<size_t, std::string>, int> inputOf_;  // by participant and format
};

// Where session `index` starts on the export's clock: the sessions one
// after the other.
int64_t SessionBaseMs(const std::vector<Session>& sessions, size_t index);

// The participants of the sessions, whose identified sources (IdentifySources)
// get the index of their input as their track.
Cast FindCast(std::vector<Session>* sessions);

// Spans sorted and joined where they are less than a pause apart.
std::vector<Span> Joined(std::vector<Span> spans);

}  // namespace rtptools

#endif
