#include "gstfollow.h"

#include <sysexits.h>

#include <algorithm>

#include "clock.h"
#include "container.h"
#include "gstcommon.h"
#include "rtp.h"
#include "rtpformat.h"

namespace rtptools {

namespace {

// How long a sender's first packets wait for its other medium before it is
// settled whether it is copied: a sound without a picture, or a picture
// without a sound, is composed or copied as it then is.
constexpr int64_t kDecideNs = 2000 * kNsPerMs;
// The sound is encoded in AAC frames of 1024 samples at 48 kHz: the copy's
// last frame reaches up to one past what it held, and the composer's first
// starts one before its start.
constexpr int64_t kAacFrameNs = 1024 * kNsPerSecond / 48000;

}  // namespace

FollowSink::FollowSink(const std::string& tmp, const std::string& out, const ComposeOptions& compose)
    : tmp_(tmp), out_(out), compose_(compose) {}

int FollowSink::Check(std::string* error) const {
  gst_init(nullptr, nullptr);
  std::vector<const char*> needed = ComposeNeeds(Cast{}, Container::kHls, compose_);
  needed.insert(needed.end(), {"parsebin", "decodebin", "queue"});
  return Available(needed, error) ? 0 : EX_UNAVAILABLE;
}

bool FollowSink::Copyable() const {
  int video = 0, audio = 0;
  for (const Input& in : cast_.inputs) {
    if (in.format.IsVideo() && in.format.codec != Codec::kH264) return false;
    ++(in.format.IsVideo() ? video : audio);
  }
  return video == 1 && audio <= 1;
}

void FollowSink::Update(const Cast& cast, const std::vector<Scene>& scenes) {
  cast_ = cast;
  scenes_ = scenes;
  if (composed_) composed_->Update(cast, scenes);
}

bool FollowSink::Push(int input, const uint8_t* rtp, size_t size, int64_t ns) {
  if (failure_) return false;
  if (!copy_ && !composed_) {
    held_.push_back({input, std::vector<uint8_t>(rtp, rtp + size), ns});
    bool media[2] = {false, false};
    for (const Input& in : cast_.inputs) media[in.format.IsVideo()] = true;
    if (!(media[0] && media[1]) && ns - held_.front().ns < kDecideNs) return true;
    failure_ = Start(&reason_);
    return !failure_;
  }
  if (copy_ && size_t(input) < trackOf_.size() && trackOf_[size_t(input)] >= 0) {
    const int track = trackOf_[size_t(input)];
    // A picture lasts until the next; a sound as long as its samples.
    int64_t end = ns + kNsPerSecond / compose_.rate;
    const Format& format = cast_.inputs[size_t(input)].format;
    RtpPacket p;
    if (!format.IsVideo() && format.clockRate && ParseRtp(rtp, size, &p))
      if (const int64_t ticks = AudioTicks(format, p.payload, p.payloadSize); ticks > 0)
        end = ns + ticks * kNsPerSecond / int64_t(format.clockRate);
    copiedEndNs_ = std::max(copiedEndNs_, end);
    lastNs_[size_t(track)] = std::max(lastNs_[size_t(track)], ns);
    return copy_->Push(track, rtp, size, ns);
  }
  // Someone or something the copy cannot take: composed from here on.
  if (copy_ && (failure_ = Compose(&reason_))) return false;
  return composed_->Push(input, rtp, size, ns);
}

int FollowSink::Start(std::string* error) {
  if (Copyable()) {
    // The picture first, as the copying export orders its tracks.
    std::vector<TrackOut> tracks;
    trackOf_.assign(cast_.inputs.size(), -1);
    for (bool picture : {true, false})
      for (size_t i = 0; i < cast_.inputs.size(); ++i) {
        const Input& in = cast_.inputs[i];
        if (in.format.IsVideo() != picture) continue;
        trackOf_[i] = int(tracks.size());
        tracks.push_back({in.format, in.payloadType, "", !Holds(Container::kHls, in.format)});
      }
    lastNs_.assign(tracks.size(), -1);
    copy_ = std::make_unique<GstExport>();
    copy_->Follow();
    if (int status = copy_->Open(tmp_, out_, Container::kHls, tracks, error)) return status;
  } else if (int status = Compose(error)) {
    return status;
  }
  std::vector<Held> held;
  held.swap(held_);
  for (const Held& h : held) {
    if (Push(h.input, h.rtp.data(), h.rtp.size(), h.ns)) continue;
    if (int status = Failure(error)) return status;
    return *error = "GStreamer: the pipeline stopped taking data", EX_SOFTWARE;
  }
  return 0;
}

int FollowSink::Compose(std::string* error) {
  ComposeOptions o = compose_;
  if (copy_) {
    // The copy's last segment is written whole, and the composed picture
    // and sound start after what it held, never at the same time.
    if (int status = copy_->Close(&presentation_, error)) return status;
    copy_.reset();
    o.after = &presentation_;
    o.startNs = copiedEndNs_ + 2 * kAacFrameNs;
  }
  composed_ = std::make_unique<GstCompose>();
  if (int status = composed_->Open(tmp_, out_, Container::kHls, o, cast_, scenes_, error)) return status;
  composed_->Update(cast_, scenes_);
  return 0;
}

int FollowSink::Advance(int64_t ns, std::string* error) {
  if (failure_) return *error = reason_, failure_;
  // A copied track that pauses would hold the presentation until it came
  // back (the muxer waits for every track): composed, the others go on.
  bool paused = false;
  for (int64_t last : lastNs_) paused = paused || (copy_ && last >= 0 && ns - last > kPauseMs * kNsPerMs);
  if (paused && (failure_ = Compose(&reason_))) return *error = reason_, failure_;
  if (copy_ && !copy_->Advance()) return copy_->Failure(error);
  if (composed_ && !composed_->Advance(ns)) return composed_->Failure(error);
  return 0;
}

int FollowSink::Finish(int64_t lengthMs, std::string* error) {
  if (failure_) return *error = reason_, failure_;
  if (!copy_ && !composed_ && (failure_ = Start(&reason_))) return *error = reason_, failure_;
  if (copy_) return copy_->Finish(nullptr, error);
  composed_->SetLength(lengthMs);
  return composed_->Finish(nullptr, error);
}

int FollowSink::Failure(std::string* error) const {
  if (failure_) return *error = reason_, failure_;
  if (copy_) return copy_->Failure(error);
  if (composed_) return composed_->Failure(error);
  return *error = "", 0;
}

bool FollowSink::Copying() const { return copy_ != nullptr; }

}  // namespace rtptools
