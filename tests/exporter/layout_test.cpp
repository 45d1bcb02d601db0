#include "layout.h"

#include <gtest/gtest.h>

using namespace rtptools;

namespace {

struct GridCase {
  size_t people;
  std::vector<Tile> tiles;
};

// The largest tiles for 16:9 pictures: one fills the picture, two side by
// side, three or four in two rows, a last row that is not full centred.
TEST(Layout, GridGivesThePeoplePresentTheLargestTiles) {
  const GridCase cases[] = {
      {0, {}},
      {1, {{0, 0, 1280, 720}}},
      {2, {{0, 0, 640, 720}, {640, 0, 640, 720}}},  // each letterboxed in its half
      {3, {{0, 0, 640, 360}, {640, 0, 640, 360}, {320, 360, 640, 360}}},
      {4, {{0, 0, 640, 360}, {640, 0, 640, 360}, {0, 360, 640, 360}, {640, 360, 640, 360}}},
      {5, {{0, 0, 426, 360}, {426, 0, 426, 360}, {852, 0, 426, 360}, {214, 360, 426, 360}, {640, 360, 426, 360}}},
  };
  for (const GridCase& c : cases) EXPECT_EQ(GridTiles(c.people, 1280, 720), c.tiles) << c.people << " people";
  // Tiles stay inside the picture, whatever the count.
  for (size_t n = 1; n <= 16; ++n)
    for (const Tile& t : GridTiles(n, 640, 360)) EXPECT_TRUE(t.x >= 0 && t.y >= 0 && t.x + t.width <= 640 && t.y + t.height <= 360) << n;
}

// Loudness per 100 ms window: the loudest over the last 1.5 s speaks, and
// keeps the picture at least 2 s; nobody speaking keeps the speaker.
TEST(Layout, SpeakerIsTheLoudestHeldTwoSeconds) {
  auto talk = [](std::vector<float>* l, size_t from, size_t to, float level) {
    if (l->size() < to) l->resize(to, 0.0f);
    for (size_t w = from; w < to; ++w) (*l)[w] = level;
  };
  std::vector<std::vector<float>> loud(3);
  talk(&loud[0], 0, 30, 0.3f);   // a speaks 0-3 s
  talk(&loud[1], 30, 35, 0.5f);  // b interrupts 3-3.5 s: within a's hold? no, a spoke 3 s
  talk(&loud[2], 36, 38, 0.9f);  // c coughs at 3.6 s: b holds the picture to 5.5 s
  talk(&loud[0], 80, 120, 0.3f);  // a again from 8 s
  const std::vector<Turn> turns = Speakers(loud, 100);
  ASSERT_EQ(turns.size(), 3u);
  EXPECT_EQ(turns[0].participant, 0u);
  EXPECT_EQ(turns[0].fromMs, 0);
  EXPECT_EQ(turns[1].participant, 1u);
  EXPECT_NEAR(turns[1].fromMs, 3300, 300);  // b louder over the last 1.5 s
  EXPECT_EQ(turns[2].participant, 0u);      // c never held the last 1.5 s for long
  EXPECT_NEAR(turns[2].fromMs, 8600, 600);
  EXPECT_TRUE(Speakers({{}, {}}, 100).empty());
}

Participant Person(std::vector<Span> audio, std::vector<Span> video) { return {"k", "n", audio, video}; }

// alice 0-28 s; bob joins at 8 s for 12 s, his video stopping from 12 to
// 18 s; carol, sound alone, 10-15 s.
TEST(Layout, TimelineChangesAtEachJoinLeaveAndVideoPause) {
  Cast cast;
  cast.people = {Person({{0, 28000}}, {{0, 28000}}), Person({{8000, 20000}}, {{8000, 12000}, {18000, 20000}}),
                 Person({{10000, 15000}}, {})};
  const std::vector<Scene> scenes = LayoutTimeline(cast, 1280, 720, nullptr);
  struct Want {
    int64_t ms;
    std::vector<int> width;   // per person, 0 absent
    std::vector<bool> video;
  };
  const Want wants[] = {
      {0, {1280, 0, 0}, {true, false, false}},       {8000, {640, 640, 0}, {true, true, false}},
      {10000, {640, 640, 640}, {true, true, false}}, {12000 + kLingerMs, {640, 640, 640}, {true, false, false}},
      {15000 + kLingerMs, {640, 640, 0}, {true, false, false}}, {18000, {640, 640, 0}, {true, true, false}},
      {20000 + kLingerMs, {1280, 0, 0}, {true, false, false}},  {28000 + kLingerMs, {0, 0, 0}, {false, false, false}},
  };
  ASSERT_EQ(scenes.size(), std::size(wants));
  for (size_t i = 0; i < scenes.size(); ++i) {
    SCOPED_TRACE(wants[i].ms);
    EXPECT_EQ(scenes[i].fromMs, wants[i].ms);
    for (size_t p = 0; p < 3; ++p) {
      EXPECT_EQ(scenes[i].tiles[p].width, wants[i].width[p]) << p;
      EXPECT_EQ(scenes[i].video[p], wants[i].video[p]) << p;
    }
  }
  // Each tile shows its video or else its card, never both.
  using Spans = std::vector<std::pair<int64_t, int64_t>>;
  auto shown = [&](size_t p, bool video, int64_t endMs) {
    Spans got;
    for (const Span& s : ShownSpans(scenes, p, video, endMs)) got.push_back({s.fromMs, s.toMs});
    return got;
  };
  EXPECT_EQ(shown(0, true, 30000), (Spans{{0, 28000 + kLingerMs}}));
  EXPECT_EQ(shown(0, false, 30000), Spans{});
  EXPECT_EQ(shown(1, true, 30000), (Spans{{8000, 12000 + kLingerMs}, {18000, 20000 + kLingerMs}}));
  EXPECT_EQ(shown(1, false, 30000), (Spans{{12000 + kLingerMs, 18000}}));
  EXPECT_EQ(shown(2, false, 30000), (Spans{{10000, 15000 + kLingerMs}}));
  EXPECT_EQ(shown(2, false, 12000), (Spans{{10000, 12000}}));
  // The speaker layout: a's turn from the start, b's at 9 s.
  const std::vector<Turn> turns = {{0, 0}, {9000, 1}};
  const std::vector<Scene> speaking = LayoutTimeline(cast, 1280, 720, &turns);
  auto at = [&](int64_t ms) {
    const Scene* s = &speaking.front();
    for (const Scene& scene : speaking)
      if (scene.fromMs <= ms) s = &scene;
    return *s;
  };
  EXPECT_EQ(at(8500).tiles[0].width, 1280);
  EXPECT_EQ(at(9500).tiles[1].width, 1280);
  EXPECT_EQ(at(9500).tiles[0], (Tile{512, 576, 256, 144}));  // the other below, centred
}

// Senders grouped by CNAME across their media and sessions, each its own
// where none was sent; spans on the export's clock, sessions one after the
// other; overlap only where two people send one medium at the same time.
TEST(Participants, GroupedByCnameOnTheExportsClock) {
  auto source = [](size_t file, uint32_t ssrc, Format f, std::vector<std::pair<int64_t, int64_t>> spans) {
    Source s;
    s.file = file, s.ssrc = ssrc, s.format = f, s.track = 0, s.spans = spans;
    s.firstMs = spans.front().first, s.lastMs = spans.back().second;
    return s;
  };
  const Format pcmu = StaticFormat(0), vp8 = {Codec::kVp8, 90000, 1};
  std::vector<Session> sessions(2);
  sessions[0].files = {{"a", 100000, 110000}, {"v", 100000, 110000}};
  sessions[0].sources = {source(0, 1, pcmu, {{100000, 110000}}), source(1, 2, vp8, {{101000, 104000}}),
                         source(0, 3, pcmu, {{105000, 108000}})};
  sessions[0].cnames = {{1, "alice@x"}, {2, "alice@x"}};
  sessions[0].names = {{1, "Alice"}};
  sessions[1].files = {{"a", 200000, 210000}};
  // A sender that restarts (a new SSRC, the same CNAME) half a second later.
  sessions[1].sources = {source(0, 9, pcmu, {{207000, 209000}}), source(0, 10, pcmu, {{209500, 210000}})};
  sessions[1].cnames = {{9, "alice@x"}, {10, "alice@x"}};
  Cast cast = FindCast(&sessions);
  ASSERT_EQ(cast.people.size(), 2u);
  EXPECT_EQ(cast.people[0].name, "Alice");
  EXPECT_EQ(cast.people[1].name, "0x00000003");
  EXPECT_EQ(cast.people[0].video.size(), 1u);
  ASSERT_EQ(cast.people[0].audio.size(), 2u);  // apart by more than a pause
  EXPECT_EQ(cast.people[0].audio[1].fromMs, 17000);
  EXPECT_EQ(cast.people[0].audio[1].toMs, 20000);
  EXPECT_EQ(cast.inputs.size(), 3u);  // alice's PCMU, her VP8, 0x3's PCMU
  EXPECT_EQ(sessions[1].sources[0].track, sessions[0].sources[0].track);
  EXPECT_TRUE(cast.Overlap());
  sessions[0].sources.pop_back();
  EXPECT_FALSE(FindCast(&sessions).Overlap());
}

// Followed, a sender's media are enlisted as they come, before its CNAME
// may have: once the CNAME comes, they are one participant, under its NAME
// or else the CNAME, whichever medium had it first; one without it stays by
// itself.
TEST(Participants, ACnameThatComesLateJoinsItsSender) {
  const Format pcmu = StaticFormat(0), vp8 = {Codec::kVp8, 90000, 1};
  for (bool videoFirst : {false, true}) {
    SCOPED_TRACE(videoFirst ? "the video's CNAME first" : "neither's CNAME first");
    Session session;
    session.sources.resize(3);
    session.sources[0].ssrc = 1, session.sources[0].format = pcmu;
    session.sources[1].ssrc = 2, session.sources[1].format = vp8;
    session.sources[2].ssrc = 3, session.sources[2].format = pcmu;
    if (videoFirst) session.cnames[2] = "bob@x";
    CastBuilder b;
    for (Source& s : session.sources) s.track = b.Enlist(session, s);
    session.cnames = {{1, "bob@x"}, {2, "bob@x"}};
    if (videoFirst) session.names = {{2, "Bob"}};
    for (const Source& s : session.sources) b.Learn(session, s);
    const Cast& cast = b.cast;
    EXPECT_EQ(cast.inputs[0].participant, cast.inputs[1].participant);
    EXPECT_EQ(cast.people[cast.inputs[0].participant].name, videoFirst ? "Bob" : "bob@x");
    EXPECT_NE(cast.inputs[2].participant, cast.inputs[0].participant);
    EXPECT_EQ(cast.people[cast.inputs[2].participant].name, "0x00000003");
  }
}

}  // namespace
