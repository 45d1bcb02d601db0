// An HLS playlist of the segments written so far: the text that players
// read, for a presentation that is complete (VOD) or still growing (EVENT).
#ifndef RTPTOOLS_PLAYLIST_H
#define RTPTOOLS_PLAYLIST_H

#include <cstdint>
#include <string>
#include <vector>

namespace rtptools {

struct Segment {
  std::string uri;  // relative to the playlist
  int64_t ns = 0;   // how long it plays
  bool discontinuity = false;  // encoded otherwise than the one before
};

class Playlist {
 public:
  void Add(const std::string& uri, int64_t ns, bool discontinuity = false) {
    segments_.push_back({uri, ns, discontinuity});
  }
  const std::vector<Segment>& segments() const { return segments_; }
  // The playlist's text: a complete presentation (VOD), or one that grows
  // (an event, which players join near its end), which is `ended` once
  // nothing more will come.
  std::string Text(bool event, bool ended) const;

 private:
  std::vector<Segment> segments_;
};

// A followed presentation as far as one pipeline wrote it, for the next to
// go on with.
struct Presentation {
  Playlist playlist;
  std::vector<std::string> written;  // its segments' paths
};

// The name of segment `index` of a playlist at `path`, beside it:
// "dir/live.m3u8" has "live-00001.ts" in "dir/".
std::string SegmentName(const std::string& path, unsigned index);
// The directory of `path`, with its slash, or "" for the current one.
std::string DirectoryOf(const std::string& path);

}  // namespace rtptools

#endif
