#include "playlist.h"

#include <algorithm>
#include <cstdio>

namespace rtptools {

namespace {

// Players join a growing presentation this far before its end: three
// segments, as the HLS specification advises.
constexpr double kStartBeforeEndSeconds = 6;

}  // namespace

std::string Playlist::Text(bool event, bool ended) const {
  // Every segment's duration rounded to the nearest second must stay within
  // the target duration.
  int64_t target = 2;
  for (const Segment& s : segments_) target = std::max(target, (s.ns + 500000000) / 1000000000);
  std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n";
  text += std::string("#EXT-X-PLAYLIST-TYPE:") + (event ? "EVENT" : "VOD") + "\n";
  text += "#EXT-X-TARGETDURATION:" + std::to_string(target) + "\n#EXT-X-MEDIA-SEQUENCE:0\n";
  text += "#EXT-X-INDEPENDENT-SEGMENTS\n";
  char line[64];
  if (event) {
    std::snprintf(line, sizeof line, "#EXT-X-START:TIME-OFFSET=-%.1f\n", kStartBeforeEndSeconds);
    text += line;
  }
  for (const Segment& s : segments_) {
    if (s.discontinuity) text += "#EXT-X-DISCONTINUITY\n";
    std::snprintf(line, sizeof line, "#EXTINF:%.3f,\n", double(s.ns) / 1e9);
    text += line + s.uri + "\n";
  }
  if (ended) text += "#EXT-X-ENDLIST\n";
  return text;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string SegmentName(const std::string& path, unsigned index) {
  std::string stem = path.substr(DirectoryOf(path).size());
  const size_t dot = stem.rfind('.');
  if (dot != std::string::npos && dot > 0) stem.resize(dot);
  char number[16];
  std::snprintf(number, sizeof number, "-%05u.ts", index);
  return stem + number;
}

}  // namespace rtptools
