#include "playlist.h"

#include <gtest/gtest.h>

using namespace rtptools;

namespace {

// A finished presentation as players read it: every segment with its
// length, the end marked; a growing one is an event that players join
// near its end, with no end yet.
TEST(Playlist, CompleteAndGrowingPresentations) {
  Playlist p;
  p.Add("talk-00001.ts", 2000000000);
  p.Add("talk-00002.ts", 1466666666);
  EXPECT_EQ(p.Text(false, true),
            "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-PLAYLIST-TYPE:VOD\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n"
            "#EXT-X-INDEPENDENT-SEGMENTS\n#EXTINF:2.000,\ntalk-00001.ts\n#EXTINF:1.467,\ntalk-00002.ts\n"
            "#EXT-X-ENDLIST\n");
  const std::string growing = p.Text(true, false);
  EXPECT_NE(growing.find("#EXT-X-PLAYLIST-TYPE:EVENT\n"), std::string::npos);
  EXPECT_NE(growing.find("#EXT-X-START:TIME-OFFSET=-6.0\n"), std::string::npos);
  EXPECT_EQ(growing.find("ENDLIST"), std::string::npos);
  // Once it has grown to its end, it stays an event, with its end marked.
  const std::string grown = p.Text(true, true);
  EXPECT_NE(grown.find("#EXT-X-PLAYLIST-TYPE:EVENT\n"), std::string::npos);
  EXPECT_EQ(grown.substr(grown.size() - 15), "#EXT-X-ENDLIST\n");
  // A segment encoded otherwise than the one before is marked apart.
  p.Add("talk-00003.ts", 2000000000, true);
  EXPECT_NE(p.Text(true, false).find("talk-00002.ts\n#EXT-X-DISCONTINUITY\n#EXTINF:2.000,\ntalk-00003.ts\n"),
            std::string::npos);
}

// The target duration is no less than any segment rounded to the nearest
// second (key frames far apart make long segments), and never below two.
TEST(Playlist, TargetDurationCoversTheLongestSegment) {
  const std::pair<int64_t, const char*> cases[] = {
      {1000000000, "#EXT-X-TARGETDURATION:2\n"},
      {2499000000, "#EXT-X-TARGETDURATION:2\n"},
      {2500000000, "#EXT-X-TARGETDURATION:3\n"},
      {10000000000, "#EXT-X-TARGETDURATION:10\n"},
  };
  for (const auto& [ns, line] : cases) {
    Playlist p;
    p.Add("a.ts", 2000000000);
    p.Add("b.ts", ns);
    EXPECT_NE(p.Text(false, true).find(line), std::string::npos) << ns;
  }
}

TEST(Playlist, SegmentsAreNamedAfterThePlaylistBesideIt) {
  EXPECT_EQ(SegmentName("/var/www/live.m3u8", 1), "live-00001.ts");
  EXPECT_EQ(SegmentName("talk.v2.m3u8", 12345), "talk.v2-12345.ts");
  EXPECT_EQ(DirectoryOf("/var/www/live.m3u8"), "/var/www/");
  EXPECT_EQ(DirectoryOf("live.m3u8"), "");
}

}  // namespace
