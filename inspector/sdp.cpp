#include "sdp.h"

#include <netdb.h>
#include <sys/socket.h>

#include "net.h"

namespace rtptools {

namespace {

// The first static and the first dynamic payload type (RFC 3551).
constexpr int kFirstDynamic = 96;

void AddOne(int pt, const Format& format, SdpMedium* m, std::vector<int>* unknown) {
  if (format.Known())
    m->payloads[pt] = format;
  else if (pt < kFirstDynamic)
    m->payloads.emplace(pt, Format{});
  else
    unknown->push_back(pt);
}

// "IN IP4 ADDRESS[/TTL]": RFC 8866 gives a TTL to IPv4 multicast only.
std::string Connection(const Address& a, int ttl) {
  char host[NI_MAXHOST] = "?";
  getnameinfo(a.Sa(), a.len, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
  std::string c = std::string("IN ") + (a.Family() == AF_INET6 ? "IP6 " : "IP4 ") + host;
  if (a.Family() == AF_INET && a.IsMulticast()) c += "/" + std::to_string(ttl);
  return c;
}

std::string Rtpmap(int pt, const Format& f) {
  std::string line = "a=rtpmap:" + std::to_string(pt) + " " + f.Name() + "/" + std::to_string(f.clockRate);
  if (!f.IsVideo() && f.channels > 1) line += "/" + std::to_string(f.channels);
  line += "\r\n";
  // H.264 in anything but single NAL units needs its packetization mode
  // stated (RFC 6184); mode 1 also takes single NAL units.
  if (f.codec == Codec::kH264) line += "a=fmtp:" + std::to_string(pt) + " packetization-mode=1\r\n";
  return line;
}

}  // namespace

void AddPayloads(const Summary& s, SdpMedium* m, std::vector<int>* unknown) {
  for (const StreamStats& st : s.streams)
    for (int pt = 0; pt < int(st.payloadTypes.size()); ++pt)
      if (st.payloadTypes[size_t(pt)]) AddOne(pt, pt == st.PayloadType() ? st.format : StaticFormat(pt), m, unknown);
}

bool WriteSdp(const std::string& name, const std::vector<SdpMedium>& media, std::string* out, std::string* error) {
  std::string sections, origin;
  for (const SdpMedium& m : media) {
    if (m.payloads.empty()) continue;
    Address a;
    if (!ResolveDestination(m.host, m.port, &a, error)) return false;
    // The origin names the machine that made the description.
    if (origin.empty()) origin = a.Family() == AF_INET6 ? "IN IP6 ::1" : "IN IP4 127.0.0.1";
    std::string types, maps;
    for (const auto& [pt, format] : m.payloads) {
      types += " " + std::to_string(pt);
      if (format.Known()) maps += Rtpmap(pt, format);
    }
    sections += std::string("m=") + (m.video ? "video " : "audio ") + std::to_string(m.port) + " RTP/AVP" + types +
                "\r\nc=" + Connection(a, m.ttl) + "\r\na=rtcp:" + std::to_string(m.port + 1) + "\r\n" + maps;
  }
  out->clear();
  if (sections.empty()) return true;
  std::string title;
  for (char c : name) title += (unsigned char)c < 0x20 ? '?' : c;  // one line
  *out = "v=0\r\no=- 0 0 " + origin + "\r\ns=" + (title.empty() ? "-" : title) + "\r\nt=0 0\r\n" + sections;
  return true;
}

}  // namespace rtptools
