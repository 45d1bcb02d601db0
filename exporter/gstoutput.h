// The end of an export's pipeline: the muxer and the file it writes, or,
// for HLS, MPEG-TS segments cut at key frames beside a playlist. Each
// segment is written under a name of its own and renamed when whole, so
// that a player never reads half of one.
#ifndef RTPTOOLS_GSTOUTPUT_H
#define RTPTOOLS_GSTOUTPUT_H

#include <gst/gst.h>

#include <string>
#include <vector>

#include "container.h"
#include "gstcommon.h"
#include "playlist.h"

namespace rtptools {

class Output {
 public:
  Output() = default;
  // An HLS presentation that did not finish leaves no segment behind; a
  // followed one keeps the segments it listed, and ends its playlist there.
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // The elements that writing `container` takes.
  static std::vector<const char*> Needs(Container container);
  // The audio encoder for what `container` cannot hold as it is.
  static const char* AudioEncoder(Container container);

  // Adds the muxer to `bin`: writing `tmp`, or for HLS, the segments beside
  // `out` (the playlist goes into `tmp` at the end). 0 or the exit status.
  int Build(GstBin* bin, Container container, const std::string& tmp, const std::string& out, std::string* error);
  // Lets the muxer hold `ns` of each stream (where it can), so that what
  // feeds it runs in bursts rather than a buffer at a time.
  void Batch(GstClockTime ns);
  // A sink pad of the muxer for one more stream; null when it refuses one.
  Pad Request(bool video);
  // Gives back a pad from Request whose stream never came.
  void Release(GstPad* pad);
  // Following a recording: the playlist is rewritten after each segment,
  // and what was written stays, whatever happens.
  void Follow() { follow_ = true; }
  // Following on from another pipeline's `p`, before Build: the next
  // segments are numbered and listed after its own, apart from them.
  void Continue(Presentation p) { playlist_ = std::move(p.playlist), written_ = std::move(p.written), apart_ = true; }
  // Once the pipeline has ended: what it wrote, for the next to go on with.
  Presentation Hand();
  // What the segmenter posts on the bus (BusReader::onElement).
  void OnElement(const GstStructure* s);
  // Once the pipeline has ended: for HLS, the complete playlist. 0, or the
  // exit status with *error set.
  int Finish(std::string* error);

 private:
  // Following: the playlist as it is now, `ended` or growing, written
  // beside OUT and put in its place whole. False with errno set.
  bool Publish(bool ended);
  static gchar* OnLocation(GstElement*, guint index, gpointer self);

  GstElement* mux_ = nullptr;  // owned by the pipeline, as parse_
  GstElement* parse_ = nullptr;
  Pad video_;  // the segmenter's, behind parse_
  bool hls_ = false, finished_ = false, follow_ = false, apart_ = false;
  std::string tmp_, out_;
  Playlist playlist_;
  std::vector<std::string> written_;  // segments in place
  int64_t openedNs_ = 0;
  int failure_ = 0;
  std::string reason_;
};

}  // namespace rtptools

#endif
