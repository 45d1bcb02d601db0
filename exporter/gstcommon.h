// What the exporter's two pipelines (tracks copied, people composed) share
// of GStreamer: owning references, making elements, naming the package of a
// missing one, and turning the bus's errors into an exit status.
#ifndef RTPTOOLS_GSTCOMMON_H
#define RTPTOOLS_GSTCOMMON_H

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "container.h"
#include "rtpformat.h"

namespace rtptools {

struct ObjectUnref {
  void operator()(gpointer p) const { gst_object_unref(p); }
};
struct CapsUnref {
  void operator()(GstCaps* p) const { gst_caps_unref(p); }
};
using Element = std::unique_ptr<GstElement, ObjectUnref>;
using Pad = std::unique_ptr<GstPad, ObjectUnref>;
using Caps = std::unique_ptr<GstCaps, CapsUnref>;

// "GStreamer element F is missing: install PACKAGE".
std::string MissingElement(const char* factory);
// Null, with *error naming the package, when `factory` is not installed.
GstElement* Make(const char* factory, std::string* error);
// Whether every one of `factories` is installed; the first missing in *error.
bool Available(const std::vector<const char*>& factories, std::string* error);

// The muxer that writes `container`.
const char* MuxerOf(Container container);

// application/x-rtp caps of a payload type in `format`.
GstCaps* RtpCaps(const Format& format, int payloadType);

// The bus of a running pipeline, read at one border where GStreamer's
// errors become ours: an exit status and a line.
class BusReader {
 public:
  explicit BusReader(GstElement* pipeline) : pipeline_(pipeline) {}
  // Set: called with what elements post (the level of a sound, say).
  std::function<void(GstObject* from, const GstStructure*)> onElement;
  // Takes what the bus holds; with `wait`, waits up to that long for a
  // message. True at the end of the stream.
  bool Poll(GstClockTime wait);
  void Fail(int status, const std::string& why) {
    if (!failure_) failure_ = status, reason_ = why;
  }
  // Sets the pipeline playing. 0, or the exit status with *error set.
  int Start(std::string* error);
  int failure() const { return failure_; }
  const std::string& reason() const { return reason_; }

 private:
  GstElement* pipeline_;
  int failure_ = 0;
  std::string reason_;
};

// Queued in a pipeline's appsrcs at most, before the feeder waits.
constexpr guint64 kMaxQueued = 16 << 20;

// Waits (at most 10 s, reading the bus) while `sources` (null ones left
// out) hold kMaxQueued or more between them; with `unlessStarved`, not while
// one of them is empty: an aggregator after it may be waiting for it.
void WaitForRoom(const std::vector<GstAppSrc*>& sources, bool unlessStarved, BusReader* bus);

}  // namespace rtptools

#endif
