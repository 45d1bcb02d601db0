// Where each participant goes in the composed picture, and when that
// changes: a grid of everyone present, or the active speaker large with the
// others small along the bottom.
#ifndef RTPTOOLS_LAYOUT_H
#define RTPTOOLS_LAYOUT_H

#include <cstdint>
#include <vector>

#include "participants.h"

namespace rtptools {

struct Tile {
  int x = 0, y = 0, width = 0, height = 0;  // width 0: not shown
  bool operator==(const Tile& o) const { return x == o.x && y == o.y && width == o.width && height == o.height; }
};

// The tiles of `n` people in a width x height picture: the grid whose
// tiles, holding 16:9 pictures, are largest (side by side on a tie); a last
// row that is not full is centred.
std::vector<Tile> GridTiles(size_t n, int width, int height);
// The speaker (index `speaker`) above, taking four fifths of the height;
// the others in a row along the bottom.
std::vector<Tile> SpeakerTiles(size_t n, size_t speaker, int width, int height);

// Who speaks from when on.
struct Turn {
  int64_t fromMs = 0;
  size_t participant = 0;
};

// The speaker of each moment from everyone's loudness, RMS per window of
// `windowMs` (loudness[participant][window]; missing windows are silence):
// the loudest over the last `kHearMs`, held at least `kHoldMs` before
// another takes over. One turn per change.
constexpr int64_t kHearMs = 1500, kHoldMs = 2000;
std::vector<Turn> Speakers(const std::vector<std::vector<float>>& loudness, int64_t windowMs);

// What the picture shows from `fromMs` on, per participant: its tile
// (width 0 where absent) and whether its video is there (else a card with
// its name).
struct Scene {
  int64_t fromMs = 0;
  std::vector<Tile> tiles;
  std::vector<bool> video;
  bool operator==(const Scene& o) const { return tiles == o.tiles && video == o.video; }
};

// How long a participant's tile stays after its last packet arrived.
constexpr int64_t kLingerMs = 200;

// The scenes of the whole export, a new one at each join, leave, video that
// starts or stops, and, with `turns`, each change of speaker.
std::vector<Scene> LayoutTimeline(const Cast& cast, int width, int height, const std::vector<Turn>* turns);

// Where participant `p`'s tile shows its video (`video`), or its card
// (not `video`), up to `endMs`: one span per stretch of scenes.
std::vector<Span> ShownSpans(const std::vector<Scene>& scenes, size_t p, bool video, int64_t endMs);

}  // namespace rtptools

#endif
