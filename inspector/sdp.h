// A session description (SDP, RFC 8866) of a playback: what rtpplay, or
// confrec -p, sends where, so that a player given only the description
// receives it.
#ifndef RTPTOOLS_SDP_H
#define RTPTOOLS_SDP_H

#include <map>
#include <string>
#include <vector>

#include "rtpformat.h"
#include "summary.h"

namespace rtptools {

struct SdpMedium {
  bool video = false;
  std::string host;  // as given; resolved when written
  uint16_t port = 0;  // RTP; RTCP on port + 1
  int ttl = 1;
  // By payload type; a static type whose format we do not know is listed
  // by its number alone, as RFC 3551 defines it for the receiver.
  std::map<int, Format> payloads;
};

// Adds the payload types of the sources in `s`, with the formats found for
// them. Dynamic types that could not be identified are added to *unknown.
void AddPayloads(const Summary& s, SdpMedium* medium, std::vector<int>* unknown);

// The description named `name`, one media section for each of `media`
// that has payload types (empty when none has). False with *error when an
// address does not resolve.
bool WriteSdp(const std::string& name, const std::vector<SdpMedium>& media, std::string* out, std::string* error);

}  // namespace rtptools

#endif
