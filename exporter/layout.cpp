#include "layout.h"

#include <algorithm>
#include <set>

namespace rtptools {

namespace {

int Even(int v) { return v & ~1; }

// A `count` tiles of at most w x h side by side, centred in `width` at `y`.
void Row(std::vector<Tile>* tiles, size_t count, int w, int h, int width, int y) {
  const int x0 = Even((width - int(count) * w) / 2);
  for (size_t i = 0; i < count; ++i) tiles->push_back({x0 + int(i) * w, y, w, h});
}

bool Covers(const std::vector<Span>& spans, int64_t t) {
  for (const Span& s : spans)
    if (s.fromMs <= t && t < s.toMs + kLingerMs) return true;
  return false;
}

}  // namespace

std::vector<Tile> GridTiles(size_t n, int width, int height) {
  if (n == 0) return {};
  size_t best = 1;
  double bestScale = 0;
  for (size_t cols = 1; cols <= n; ++cols) {
    const size_t rows = (n + cols - 1) / cols;
    const double scale = std::min(width / double(cols) / 16, height / double(rows) / 9);
    if (scale >= bestScale) best = cols, bestScale = scale;
  }
  const size_t rows = (n + best - 1) / best;
  const int w = Even(width / int(best)), h = Even(height / int(rows));
  const int y0 = Even((height - int(rows) * h) / 2);
  std::vector<Tile> tiles;
  for (size_t r = 0; r < rows; ++r) Row(&tiles, std::min(best, n - r * best), w, h, width, y0 + int(r) * h);
  return tiles;
}

std::vector<Tile> SpeakerTiles(size_t n, size_t speaker, int width, int height) {
  if (n <= 1) return GridTiles(n, width, height);
  const int strip = Even(height / 5);
  std::vector<Tile> others;
  const int w = std::min(Even(width / int(n - 1)), Even(strip * 16 / 9));
  Row(&others, n - 1, w, strip, width, height - strip);
  std::vector<Tile> tiles;
  for (size_t i = 0, o = 0; i < n; ++i) tiles.push_back(i == speaker ? Tile{0, 0, width, height - strip} : others[o++]);
  return tiles;
}

std::vector<Turn> Speakers(const std::vector<std::vector<float>>& loudness, int64_t windowMs) {
  size_t windows = 0;
  for (const auto& l : loudness) windows = std::max(windows, l.size());
  const size_t heard = size_t(std::max<int64_t>(1, kHearMs / windowMs));
  std::vector<Turn> turns;
  std::vector<double> energy(loudness.size(), 0);  // over the last `heard` windows
  auto at = [&](size_t p, size_t w) { return w < loudness[p].size() ? double(loudness[p][w]) * loudness[p][w] : 0.0; };
  for (size_t w = 0; w < windows; ++w) {
    size_t loudest = 0;
    for (size_t p = 0; p < loudness.size(); ++p) {
      energy[p] += at(p, w) - (w >= heard ? at(p, w - heard) : 0.0);
      if (energy[p] > energy[loudest]) loudest = p;
    }
    const int64_t now = int64_t(w + 1) * windowMs;
    if (energy[loudest] <= 1e-9) continue;  // nobody speaks: the speaker stays
    if (turns.empty() || (turns.back().participant != loudest && now - turns.back().fromMs >= kHoldMs))
      turns.push_back({turns.empty() ? 0 : now, loudest});
  }
  return turns;
}

std::vector<Scene> LayoutTimeline(const Cast& cast, int width, int height, const std::vector<Turn>* turns) {
  const size_t n = cast.people.size();
  std::vector<std::vector<Span>> present(n);
  std::set<int64_t> changes = {0};
  for (size_t p = 0; p < n; ++p) {
    present[p] = cast.people[p].Present();
    std::vector<Span> all = present[p];
    all.insert(all.end(), cast.people[p].video.begin(), cast.people[p].video.end());
    for (const Span& s : all) changes.insert({s.fromMs, s.toMs + kLingerMs});
  }
  if (turns)
    for (const Turn& t : *turns) changes.insert(t.fromMs);
  std::vector<Scene> scenes;
  size_t turn = 0;
  for (int64_t t : changes) {
    while (turns && turn + 1 < turns->size() && (*turns)[turn + 1].fromMs <= t) ++turn;
    std::vector<size_t> here;
    for (size_t p = 0; p < n; ++p)
      if (Covers(present[p], t)) here.push_back(p);
    size_t speaker = 0;  // among those here: the speaker, else the first
    for (size_t i = 0; turns && !turns->empty() && i < here.size(); ++i)
      if (here[i] == (*turns)[turn].participant) speaker = i;
    const std::vector<Tile> tiles =
        turns ? SpeakerTiles(here.size(), speaker, width, height) : GridTiles(here.size(), width, height);
    Scene scene{t, std::vector<Tile>(n), std::vector<bool>(n, false)};
    for (size_t i = 0; i < here.size(); ++i) {
      scene.tiles[here[i]] = tiles[i];
      scene.video[here[i]] = Covers(cast.people[here[i]].video, t);
    }
    if (scenes.empty() || !(scenes.back() == scene)) scenes.push_back(scene);
  }
  return scenes;
}

std::vector<Span> ShownSpans(const std::vector<Scene>& scenes, size_t p, bool video, int64_t endMs) {
  std::vector<Span> spans;
  for (size_t i = 0; i < scenes.size(); ++i) {
    const int64_t from = scenes[i].fromMs, to = std::min(endMs, i + 1 < scenes.size() ? scenes[i + 1].fromMs : endMs);
    if (scenes[i].tiles[p].width == 0 || scenes[i].video[p] != video || to <= from) continue;
    if (!spans.empty() && spans.back().toMs == from)
      spans.back().toMs = to;
    else
      spans.push_back({from, to});
  }
  return spans;
}

}  // namespace rtptools
