#include "report.h"

#include <arpa/inet.h>
#include <time.h>

#include <cstdarg>
#include <cstdio>

namespace rtptools {
namespace {

std::string Printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* fmt, ...) {
  // Sized by a first pass: a source's payload types make a line of any length.
  va_list ap, again;
  va_start(ap, fmt);
  va_copy(again, ap);
  int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out(size_t(n > 0 ? n : 0), '\0');
  vsnprintf(&out[0], out.size() + 1, fmt, again);
  va_end(again);
  return out;
}

std::string Ipv4(uint32_t address) {
  in_addr a{htonl(address)};
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

// The length of the UTF-8 sequence starting at p (at most n bytes), or 0.
size_t Utf8Length(const unsigned char* p, size_t n) {
  size_t len = p[0] < 0xc2 ? 0 : p[0] < 0xe0 ? 2 : p[0] < 0xf0 ? 3 : p[0] < 0xf5 ? 4 : 0;
  if (len == 0 || len > n) return 0;
  for (size_t i = 1; i < len; ++i)
    if ((p[i] & 0xc0) != 0x80) return 0;
  // Overlong forms, surrogates and values past U+10FFFF.
  if ((p[0] == 0xe0 && p[1] < 0xa0) || (p[0] == 0xed && p[1] >= 0xa0) ||
      (p[0] == 0xf0 && p[1] < 0x90) || (p[0] == 0xf4 && p[1] >= 0x90))
    return 0;
  return len;
}

std::string PayloadTypes(const StreamStats& st, const char* sep) {
  std::string out;
  for (size_t pt = 0; pt < st.payloadTypes.size(); ++pt)
    if (st.payloadTypes[pt]) out += (out.empty() ? "" : sep) + std::to_string(pt);
  return out;
}

// The clock rate and the jitter figures, null where the rate is unknown.
std::string JitterJson(const Jitter& j) {
  if (!j.Rate()) return "\"clock_rate\": null, \"jitter_ms\": null, \"max_jitter_ms\": null, \"mean_jitter_ms\": null";
  return Printf("\"clock_rate\": %u, \"jitter_ms\": %.4f, \"max_jitter_ms\": %.4f, \"mean_jitter_ms\": %.4f", j.Rate(),
                j.Last(), j.Max(), j.Mean());
}

// A text line from the file, safe to show on a terminal.
std::string Printable(std::string text) {
  for (char& c : text)
    if ((unsigned char)c < 0x20 || c == 0x7f) c = '?';
  return text;
}

}  // namespace

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0, n = text.size(); i < n;) {
    unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      out += Printf("\\u%04x", c);
    } else if (c < 0x80) {
      out += char(c);
    } else if (size_t len = Utf8Length(p + i, n - i)) {
      out.append(text, i, len);
      i += len;
      continue;
    } else {
      out += "\\ufffd";
    }
    ++i;
  }
  return out + "\"";
}

std::string FormatDuration(uint32_t ms) {
  return Printf("%u:%02u:%02u.%03u", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
}

std::string FormatStart(const FileHeader& h) {
  time_t t = time_t(h.startSec);
  tm utc;
  char buf[32];
  if (!gmtime_r(&t, &utc) || !strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &utc)) return "?";
  return Printf("%s.%06u UTC", buf, h.startUsec);
}

std::string TableReport(const std::string& file, const Summary& s) {
  std::string out = file + "\n";
  if (s.end == DumpReader::kNotDump || (s.end == DumpReader::kIoError && s.headerBytes == 0))
    return out + "  " + StatusText(s.end) + "\n";
  out += "  recorded   " + Printable(s.text) + "\n";
  out += "  source     " + (s.header.source ? Ipv4(s.header.source) : std::string("none")) +
         " port " + std::to_string(s.header.port) + "\n";
  out += "  started    " + FormatStart(s.header) + "\n";
  out += "  duration   " + FormatDuration(s.lastOffset) + "\n";
  out += Printf("  packets    %llu RTP, %llu RTCP, %llu not RTP\n", (unsigned long long)s.rtp,
                (unsigned long long)s.rtcp, (unsigned long long)s.nonRtp);
  out += Printf("  bytes      %llu RTP, %llu RTCP, %llu not RTP\n", (unsigned long long)s.rtpBytes,
                (unsigned long long)s.rtcpBytes, (unsigned long long)s.nonRtpBytes);
  if (s.end != DumpReader::kEnd)
    out += Printf("  damaged    at byte %llu: %s; counted up to there\n",
                  (unsigned long long)s.damageAt, StatusText(s.end));
  if (!s.streams.empty())
    out += Printf("  %-10s  %-8s %5s %5s %9s %9s %7s %5s %7s %8s %8s %19s\n", "SSRC", "PT", "first", "last",
                  "packets", "expected", "lost", "dup", "seq err", "max gap", "mean gap", "jitter max/mean");
  for (const StreamStats& st : s.streams)
    out += Printf("  0x%08x  %-8s %5u %5u %9llu %9llu %7llu %5llu %7llu %6.3f s %5.1f ms %19s\n", st.ssrc,
                  PayloadTypes(st, ",").c_str(), st.FirstSeq(), st.LastSeq(),
                  (unsigned long long)st.packets, (unsigned long long)st.Expected(),
                  (unsigned long long)st.Lost(), (unsigned long long)st.duplicates,
                  (unsigned long long)st.sequenceErrors, st.maxGapMs / 1000.0, st.MeanGapMs(),
                  st.jitter.Rate() ? Printf("%.3f/%.3f ms", st.jitter.Max(), st.jitter.Mean()).c_str() : "unknown rate");
  if (s.untracked)
    out += Printf("  and %llu RTP packets of further sources, not broken down\n",
                  (unsigned long long)s.untracked);
  return out;
}

std::string JsonReport(const std::string& file, const Summary& s) {
  std::string out = "{\"file\": " + JsonQuote(file);
  if (s.end == DumpReader::kNotDump || (s.end == DumpReader::kIoError && s.headerBytes == 0))
    return out + ", \"error\": " + JsonQuote(StatusText(s.end)) + "}";
  auto u = [](uint64_t v) { return std::to_string(v); };
  out += ", \"recorded\": " + JsonQuote(s.text);
  out += ", \"source\": " + (s.header.source ? JsonQuote(Ipv4(s.header.source)) : std::string("null"));
  out += ", \"port\": " + u(s.header.port);
  out += ", \"start\": " + Printf("%u.%06u", s.header.startSec, s.header.startUsec);
  out += ", \"start_utc\": " + JsonQuote(FormatStart(s.header));
  out += ", \"duration_ms\": " + u(s.lastOffset);
  out += ", \"rtp_packets\": " + u(s.rtp) + ", \"rtcp_packets\": " + u(s.rtcp) +
         ", \"other_packets\": " + u(s.nonRtp);
  out += ", \"rtp_bytes\": " + u(s.rtpBytes) + ", \"rtcp_bytes\": " + u(s.rtcpBytes) +
         ", \"other_bytes\": " + u(s.nonRtpBytes);
  if (s.end == DumpReader::kEnd)
    out += ", \"damage\": null";
  else
    out += ", \"damage\": {\"at\": " + u(s.damageAt) + ", \"reason\": " + JsonQuote(StatusText(s.end)) + "}";
  out += ", \"streams\": [";
  for (size_t i = 0; i < s.streams.size(); ++i) {
    const StreamStats& st = s.streams[i];
    out += std::string(i ? ", " : "") + "{\"ssrc\": " + u(st.ssrc) + ", \"payload_types\": [" +
           PayloadTypes(st, ", ") + "], \"first_seq\": " + u(st.FirstSeq()) +
           ", \"last_seq\": " + u(st.LastSeq()) + ", \"packets\": " + u(st.packets) +
           ", \"expected\": " + u(st.Expected()) + ", \"lost\": " + u(st.Lost()) +
           ", \"duplicates\": " + u(st.duplicates) + ", \"sequence_errors\": " + u(st.sequenceErrors) +
           ", \"max_gap_ms\": " + u(st.maxGapMs) + ", \"mean_gap_ms\": " + Printf("%.3f", st.MeanGapMs()) +
           ", \"format\": " + (st.format.Known() ? JsonQuote(st.format.Name()) : "null") + ", " + JitterJson(st.jitter) + "}";
  }
  return out + "], \"untracked_packets\": " + u(s.untracked) + "}";
}

}  // namespace rtptools
