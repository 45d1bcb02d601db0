// The media side of an export, done by GStreamer: each track's RTP packets
// go through an appsrc into parsebin, which picks the depayloader and the
// parser; audio that the container cannot hold is decoded and re-encoded
// to Opus; the muxer writes the file. Only this file and its .cpp know
// GStreamer.
#ifndef RTPTOOLS_GSTEXPORT_H
#define RTPTOOLS_GSTEXPORT_H

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "container.h"
#include "frames.h"
#include "playlist.h"
#include "rtpformat.h"

namespace rtptools {

struct TrackOut {
  Format format;
  int payloadType = 96;
  std::string name;      // written as the track's title where not empty
  bool reencode = false;  // to Opus
};

class GstExport : public MediaSink {
 public:
  GstExport();
  ~GstExport() override;
  GstExport(const GstExport&) = delete;
  GstExport& operator=(const GstExport&) = delete;

  // Builds the pipeline writing `tmp` (for HLS, segments beside `out`) and
  // starts it. 0, or the exit status with the reason in *error.
  int Open(const std::string& tmp, const std::string& out, Container container, const std::vector<TrackOut>& tracks,
           std::string* error);
  bool Push(int track, const uint8_t* rtp, size_t size, int64_t ns) override;
  int Finish(const volatile std::sig_atomic_t* stop, std::string* error) override;
  int Failure(std::string* error) const override;
  // Following a recording, before Open: the playlist is rewritten after
  // each segment.
  void Follow();
  // Following: hands over what was pushed. False when the pipeline failed.
  bool Advance();
  // Following: ends the tracks and waits for the last segment, leaving the
  // presentation open for another pipeline to go on with (*presentation).
  int Close(Presentation* presentation, std::string* error);

 private:
  // Ends every track and waits until the pipeline has. 0 or the status.
  int End(const volatile std::sig_atomic_t* stop, std::string* error);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rtptools

#endif
