// Turns the records of a session into timed RTP packets for the tracks of
// an export: each frame at the time its sender meant it, packets put back
// in sequence, frames that lost packets left out. Knows nothing of the
// media framework that receives them.
#ifndef RTPTOOLS_FRAMES_H
#define RTPTOOLS_FRAMES_H

#include <csignal>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "participants.h"
#include "plan.h"
#include "rtp.h"

namespace rtptools {

class PacketSink {
 public:
  virtual ~PacketSink() = default;
  // One RTP packet of `track`, whose frame is shown at `ns` after the start
  // of the export; the packets of a frame come together, frames of a track
  // in order of time. False stops the export.
  virtual bool Push(int track, const uint8_t* rtp, size_t size, int64_t ns) = 0;
};

// A sink that writes a media file: pushed to, then finished.
class MediaSink : public PacketSink {
 public:
  // Ends every track and waits until the file is written, or until *stop
  // is set. 0, or the exit status with the reason in *error.
  virtual int Finish(const volatile std::sig_atomic_t* stop, std::string* error) = 0;
  // Why Push failed: 0 and no reason when it has not.
  virtual int Failure(std::string* error) const = 0;
};

struct TrackStats {
  uint64_t frames = 0;
  uint64_t lost = 0;  // frames not exported because packets were lost
  int64_t firstNs = -1, lastNs = -1;
};

// How long a packet waits for the ones that should come before it.
constexpr int64_t kReorderMs = 200;

struct FeedOptions {
  int64_t baseMs = 0;         // where the session starts in the export
  int64_t limitMs = INT64_MAX;  // where the export ends
  const volatile std::sig_atomic_t* stop = nullptr;  // set: end at once
  std::function<void(int64_t ms)> progress;  // now and then, where the export is
  // Set: how much earlier than its origin the session starts, for the one
  // after it to start as much later.
  int64_t* leadMs = nullptr;
};

// Feeds the packets of `session`, whose sources have tracks (plan.h), to
// `sink`. Reads its files twice: once to learn each sender's clock against
// the recorder's, once to feed. `stats` has a slot per track. 0, or the
// exit status with *error set (read errors; a stop; a sink that failed,
// which has its own reason).
int FeedSession(const Session& session, const FeedOptions& options, PacketSink* sink,
                std::vector<TrackStats>* stats, std::string* error);

// Follows sessions while they are recorded: reads what their files hold so
// far, learns each sender's clock as its packets come, and feeds each
// packet `holdMs` after it arrived, so that what settles a packet's place
// (the sender reports around it, its CNAME) has come too. Sessions are
// taken in order, each until its recorder has ended. The cast grows as
// senders are identified; their inputs keep their indices.
class LiveFeed : public RtcpHandler {
 public:
  LiveFeed(std::vector<Session>* sessions, const Overrides& overrides, int64_t holdMs);
  ~LiveFeed() override;
  LiveFeed(const LiveFeed&) = delete;
  LiveFeed& operator=(const LiveFeed&) = delete;

  // Reads what was added since the last step and feeds `sink` what arrived
  // holdMs before `nowMs` (the recorder's clock, which goes on while nobody
  // sends), or everything, for a session whose recording has ended and
  // with `last`, which ends the following there. 0, or the exit status with
  // *error set; *ended once every session has ended, *more when a file was
  // read only in part (catching up): step again at once.
  int Step(PacketSink* sink, int64_t nowMs, bool last, bool* ended, bool* more, std::string* error);

  const Cast& cast() const { return cast_.cast; }
  // Up to where the packets fed reach, on the export's clock.
  int64_t PositionMs() const { return positionMs_; }
  // Lines to tell: sources left out.
  std::vector<std::string> notes;
  // Called when a sender joins, before its first packet is fed.
  std::function<void(const Cast&)> onCast;
  std::deque<TrackStats> stats;  // per input

  void OnSenderReport(uint32_t ssrc, uint64_t ntp, uint32_t rtp) override;
  void OnCname(uint32_t, const std::string&) override {}

 private:
  struct File;
  struct Held;
  struct State;
  bool ReadFile(size_t f, std::string* error);
  // A packet of a source not yet identified: kept until it is, or left out.
  void Await(size_t source, const Record& r, int64_t arrival);
  void Take(size_t source, const Record& r, int64_t arrival);
  bool Release(int64_t untilMs, PacketSink* sink);
  // Everyone's spans so far, on the export's clock.
  void Spans();

  std::vector<Session>& sessions_;
  const Overrides overrides_;
  const int64_t holdMs_;
  size_t current_ = 0;
  int64_t baseMs_ = 0, positionMs_ = 0, latestMs_ = INT64_MIN;
  CastBuilder cast_;
  std::unique_ptr<State> state_;
};

}  // namespace rtptools

#endif
