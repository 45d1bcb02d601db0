// The media side of a composed export, done by GStreamer: each
// participant's packets decoded (decodebin), their pictures laid out by
// compositor as the scenes say, with their names written (textoverlay), a
// grey card with the name where one sends no video; their sound mixed by
// audiomixer and kept from clipping (audiodynamic); encoded to H.264 (or
// VP8 for WebM) and Opus. Only the exporter's gst*.cpp know GStreamer.
#ifndef RTPTOOLS_GSTCOMPOSE_H
#define RTPTOOLS_GSTCOMPOSE_H

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "container.h"
#include "frames.h"
#include "layout.h"
#include "participants.h"
#include "playlist.h"

namespace rtptools {

struct ComposeOptions {
  int width = 1280, height = 720, rate = 30;
  bool video = true;  // false: the sound alone
  int64_t lengthMs = 0;  // of the export: the picture and the sound last as long
  // The black background and the silence that pace the compositor and the
  // mixer stay this far behind the packets pushed, so that neither has gone
  // past a joining participant's first frame when its decoder starts.
  int64_t behindMs = 2000;
  // Following recordings: the cast grows (Update), the length is known at
  // the end (SetLength).
  bool follow = false;
  // Following on from another pipeline: its presentation, and where on the
  // export's clock this one starts.
  const Presentation* after = nullptr;
  int64_t startNs = 0;
};

// The elements a composed export of `cast` into `container` needs, so that
// a missing one is named before anything is written.
std::vector<const char*> ComposeNeeds(const Cast& cast, Container container, const ComposeOptions& o);

class GstCompose : public MediaSink {
 public:
  GstCompose();
  ~GstCompose() override;
  GstCompose(const GstCompose&) = delete;
  GstCompose& operator=(const GstCompose&) = delete;

  // Builds the pipeline writing `tmp` (for HLS, segments beside `out`) and
  // starts it. 0, or the exit status with the reason in *error.
  int Open(const std::string& tmp, const std::string& out, Container container, const ComposeOptions& o, const Cast& cast,
           const std::vector<Scene>& scenes, std::string* error);
  // Packets of input `input` (Cast::inputs), as PacketSink says.
  bool Push(int input, const uint8_t* rtp, size_t size, int64_t ns) override;
  int Finish(const volatile std::sig_atomic_t* stop, std::string* error) override;
  // Following: who takes part now, and the scenes of everything so far.
  void Update(const Cast& cast, const std::vector<Scene>& scenes);
  // Following: hands over what was pushed and lets the picture and the sound
  // run on to `ns` less behindMs. False when the pipeline failed.
  bool Advance(int64_t ns);
  void SetLength(int64_t ms);
  int Failure(std::string* error) const override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rtptools

#endif
