// Who took part in an export and when: senders grouped by the CNAME they
// sent (else each SSRC by itself), with the times each of their media was
// present on the export's clock, for composing everyone into one picture
// and one sound.
#ifndef RTPTOOLS_PARTICIPANTS_H
#define RTPTOOLS_PARTICIPANTS_H

#include <cstdint>
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
