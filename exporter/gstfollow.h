// Where a followed recording goes. One H.264 sender with at most one sound
// is copied as it came (the sound re-encoded), which costs next to nothing;
// from the moment that no longer holds (someone else sends, another format
// comes, the picture pauses), everyone is composed, and the presentation
// goes on, marked as encoded otherwise from there.
#ifndef RTPTOOLS_GSTFOLLOW_H
#define RTPTOOLS_GSTFOLLOW_H

#include <memory>
#include <string>
#include <vector>

#include "gstcompose.h"
#include "gstexport.h"

namespace rtptools {

class FollowSink : public PacketSink {
 public:
  FollowSink(const std::string& tmp, const std::string& out, const ComposeOptions& compose);

  // Whether GStreamer has what following takes. 0, or the exit status with
  // the missing element named in *error.
  int Check(std::string* error) const;
  // Who takes part now, and the scenes of everything so far: called before
  // a newcomer's first packet.
  void Update(const Cast& cast, const std::vector<Scene>& scenes);
  bool Push(int input, const uint8_t* rtp, size_t size, int64_t ns) override;
  // Hands over what was pushed, and lets the presentation run on to `ns`.
  // 0, or the exit status with *error set.
  int Advance(int64_t ns, std::string* error);
  // Ends the presentation, `lengthMs` long where composed.
  int Finish(int64_t lengthMs, std::string* error);
  int Failure(std::string* error) const;
  // Whether the sender is being copied as it came.
  bool Copying() const;

 private:
  struct Held {
    int input;
    std::vector<uint8_t> rtp;
    int64_t ns;
  };
  // Whether one H.264 sender with at most one sound is all there is.
  bool Copyable() const;
  int Start(std::string* error);
  int Compose(std::string* error);

  const std::string tmp_, out_;
  ComposeOptions compose_;
  Cast cast_;
  std::vector<Scene> scenes_;
  std::unique_ptr<GstExport> copy_;
  std::unique_ptr<GstCompose> composed_;
  std::vector<int> trackOf_;  // copying: each input's track, or -1
  std::vector<Held> held_;    // until it is known how
  std::vector<int64_t> lastNs_;  // copying: how far each track reaches
  int64_t copiedEndNs_ = 0;  // where what the copy holds ends
  Presentation presentation_;
  int failure_ = 0;
  std::string reason_;
};

}  // namespace rtptools

#endif
