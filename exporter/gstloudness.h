// How loud each participant is, window by window, for choosing the active
// speaker: every participant's audio decoded (decodebin) and measured by
// GStreamer's level element (RMS), before the picture is composed.
#ifndef RTPTOOLS_GSTLOUDNESS_H
#define RTPTOOLS_GSTLOUDNESS_H

#include <memory>
#include <string>
#include <vector>

#include "frames.h"
#include "participants.h"

namespace rtptools {

constexpr int64_t kLoudnessWindowMs = 100;

class GstLoudness : public MediaSink {
 public:
  GstLoudness();
  ~GstLoudness() override;
  GstLoudness(const GstLoudness&) = delete;
  GstLoudness& operator=(const GstLoudness&) = delete;

  // 0, or the exit status with the reason in *error.
  int Open(const Cast& cast, std::string* error);
  // Packets of input `input`; video is passed over.
  bool Push(int input, const uint8_t* rtp, size_t size, int64_t ns) override;
  int Finish(const volatile std::sig_atomic_t* stop, std::string* error) override;
  int Failure(std::string* error) const override;
  // RMS (full scale 1) per participant, per window of kLoudnessWindowMs
  // on the export's clock; loudest of a participant's inputs.
  const std::vector<std::vector<float>>& Levels() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rtptools

#endif
