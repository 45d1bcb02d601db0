#include "participants.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace rtptools {

std::vector<Span> Joined(std::vector<Span> spans) {
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.fromMs < b.fromMs; });
  std::vector<Span> out;
  for (const Span& s : spans) {
    if (!out.empty() && s.fromMs - out.back().toMs <= kPauseMs)
      out.back().toMs = std::max(out.back().toMs, s.toMs);
    else
      out.push_back(s);
  }
  return out;
}

std::vector<Span> Participant::Present() const {
  std::vector<Span> all = audio;
  all.insert(all.end(), video.begin(), video.end());
  return Joined(all);
}

int64_t Participant::PresentMs() const {
  int64_t ms = 0;
  for (const Span& s : Present()) ms += s.toMs - s.fromMs;
  return ms;
}

namespace {

bool Overlapping(const std::vector<Span>& a, const std::vector<Span>& b) {
  for (const Span& x : a)
    for (const Span& y : b)
      if (x.fromMs < y.toMs && y.fromMs < x.toMs) return true;
  return false;
}

std::string Hex(uint32_t v) {
  char s[16];
  std::snprintf(s, sizeof s, "0x%08x", v);
  return s;
}

}  // namespace

bool Cast::Overlap() const {
  for (size_t i = 0; i < people.size(); ++i)
    for (size_t j = i + 1; j < people.size(); ++j)
      if (Overlapping(people[i].audio, people[j].audio) || Overlapping(people[i].video, people[j].video)) return true;
  return false;
}

int64_t SessionBaseMs(const std::vector<Session>& sessions, size_t index) {
  int64_t base = 0;
  for (size_t i = 0; i < index && i < sessions.size(); ++i) base += sessions[i].LengthMs();
  return base;
}

int CastBuilder::Enlist(const Session& session, const Source& s) {
  const auto cname = session.cnames.find(s.ssrc);
  const std::string key = cname == session.cnames.end() ? Hex(s.ssrc) : cname->second;
  auto [it, fresh] = byKey_.try_emplace(key, cast.people.size());
  if (fresh) cast.people.push_back({key, key, {}, {}});
  if (auto name = session.names.find(s.ssrc); name != session.names.end() && !name->second.empty())
    cast.people[it->second].name = name->second;
  auto [in, added] = inputOf_.try_emplace({it->second, s.format.Describe()}, int(cast.inputs.size()));
  if (added) cast.inputs.push_back({it->second, s.format, s.payloadType});
  return in->second;
}

void CastBuilder::Learn(const Session& session, const Source& s) {
  const size_t was = cast.inputs[size_t(s.track)].participant;
  const auto cname = session.cnames.find(s.ssrc);
  if (cname != session.cnames.end() && cast.people[was].key == Hex(s.ssrc)) {
    auto [it, fresh] = byKey_.try_emplace(cname->second, was);
    if (fresh) {
      // The first of its CNAME: the participant is that CNAME's.
      byKey_.erase(cast.people[was].key);
      if (cast.people[was].name == cast.people[was].key) cast.people[was].name = cname->second;
      cast.people[was].key = cname->second;
    } else {
      // Others of its CNAME came first: it joins them, and the participant
      // it was is left with nothing, never shown again.
      for (size_t i = 0; i < cast.inputs.size(); ++i)
        if (cast.inputs[i].participant == was) {
          cast.inputs[i].participant = it->second;
          inputOf_.try_emplace({it->second, cast.inputs[i].format.Describe()}, int(i));
        }
    }
  }
  const size_t now = cast.inputs[size_t(s.track)].participant;
  if (auto name = session.names.find(s.ssrc); name != session.names.end() && !name->second.empty())
    cast.people[now].name = name->second;
}

void CastBuilder::AddSpans(const Source& s, int64_t base, int64_t shift) {
  Participant& p = cast.people[cast.inputs[size_t(s.track)].participant];
  std::vector<Span>& spans = s.format.IsVideo() ? p.video : p.audio;
  for (const auto& [from, to] : s.spans)
    if (to + shift >= base) spans.push_back({std::max(from + shift, base), to + shift});
}

void CastBuilder::Join() {
  for (Participant& p : cast.people) p.audio = Joined(p.audio), p.video = Joined(p.video);
}

Cast FindCast(std::vector<Session>* sessions) {
  CastBuilder b;
  for (size_t n = 0; n < sessions->size(); ++n) {
    Session& session = (*sessions)[n];
    const int64_t base = SessionBaseMs(*sessions, n);
    std::vector<Source*> order;
    for (Source& s : session.sources)
      if (s.track >= 0) order.push_back(&s);
    std::stable_sort(order.begin(), order.end(), [](const Source* a, const Source* b) { return a->firstMs < b->firstMs; });
    for (Source* s : order) {
      s->track = b.Enlist(session, *s);
      b.AddSpans(*s, base, base - session.OriginMs() - session.skipMs);
    }
  }
  b.Join();
  return b.cast;
}

}  // namespace rtptools
