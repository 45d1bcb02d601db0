#include "gstoutput.h"

#include <fcntl.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rtptools {

namespace {

// Segments of this length, cut at the next key frame: players start within
// a segment or two of where they are asked to.
constexpr guint64 kSegmentNs = 2 * GST_SECOND;
// The AAC encoder starts with a frame of its own (1024 samples at 48 kHz),
// which MPEG-TS has no way to tell a player to skip: the picture is moved
// as much later, so that lips and voice still agree.
constexpr gint64 kAacDelayNs = 1024 * GST_SECOND / 48000;

std::string Part(const std::string& dir, const std::string& name) { return dir + "." + name + ".part"; }

// Writes `text` to `path`, synced; false with errno set.
bool WriteWhole(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size()) && fsync(fd) == 0;
  const int err = errno;
  ok = close(fd) == 0 && ok;
  if (!ok) errno = err;
  return ok;
}

}  // namespace

Output::~Output() {
  if (!hls_ || finished_) return;
  // The segment being written goes first, which frees its room when the
  // disk has filled.
  const std::string dir = DirectoryOf(out_);
  unlink(Part(dir, SegmentName(out_, unsigned(written_.size() + 1))).c_str());
  if (!follow_) {
    for (const std::string& s : written_) unlink(s.c_str());
    return;
  }
  // A followed presentation keeps what players may be playing, listed to
  // its end, so that they stop there rather than wait for more.
  if (!written_.empty()) Publish(true);
}

bool Output::Publish(bool ended) {
  const std::string dir = DirectoryOf(out_), growing = Part(dir, out_.substr(dir.size()));
  if (WriteWhole(growing, playlist_.Text(true, ended)) && rename(growing.c_str(), out_.c_str()) == 0) return true;
  const int err = errno;
  unlink(growing.c_str());
  errno = err;
  return false;
}

std::vector<const char*> Output::Needs(Container c) {
  if (c == Container::kHls) return {"splitmuxsink", "mpegtsmux", "h264parse", "filesink", AudioEncoder(c)};
  return {MuxerOf(c), "filesink", AudioEncoder(c)};
}

const char* Output::AudioEncoder(Container c) { return c == Container::kHls ? "avenc_aac" : "opusenc"; }

int Output::Build(GstBin* bin, Container container, const std::string& tmp, const std::string& out,
                  std::string* error) {
  tmp_ = tmp;
  out_ = out;
  hls_ = container == Container::kHls;
  if (!hls_) {
    mux_ = Make(MuxerOf(container), error);
    GstElement* sink = Make("filesink", error);
    if (!mux_ || !sink) return EX_UNAVAILABLE;
    g_object_set(sink, "location", tmp.c_str(), nullptr);
    gst_bin_add_many(bin, mux_, sink, nullptr);
    gst_element_link(mux_, sink);
    return 0;
  }
  mux_ = Make("splitmuxsink", error);
  GstElement* ts = Make("mpegtsmux", error);
  if (!mux_ || !ts) return EX_UNAVAILABLE;
  // Going on from another pipeline, numbered after its segments.
  g_object_set(mux_, "muxer", ts, "max-size-time", kSegmentNs, "send-keyframe-requests", TRUE, "start-index",
               int(written_.size() + 1), nullptr);
  g_signal_connect(mux_, "format-location", G_CALLBACK(OnLocation), this);
  gst_bin_add(bin, mux_);
  return 0;
}

gchar* Output::OnLocation(GstElement*, guint index, gpointer self) {
  const Output& o = *static_cast<Output*>(self);
  return g_strdup(Part(DirectoryOf(o.out_), SegmentName(o.out_, index)).c_str());
}

void Output::Batch(GstClockTime ns) {
  if (mux_ && !hls_ && g_object_class_find_property(G_OBJECT_GET_CLASS(mux_), "latency"))
    g_object_set(mux_, "latency", ns, nullptr);
}

Pad Output::Request(bool video) {
  if (!hls_ || !video) return Pad(gst_element_request_pad_simple(mux_, video ? "video_%u" : "audio_%u"));
  // MPEG-TS carries H.264 as a byte stream, where a depayloader gives it
  // with its parameter sets apart: h264parse turns one into the other.
  GstElement* parse = Make("h264parse", &reason_);
  if (!parse) return nullptr;
  gst_bin_add(GST_BIN(GST_ELEMENT_PARENT(mux_)), parse);
  Pad pad(gst_element_request_pad_simple(mux_, "video"));
  Pad out(gst_element_get_static_pad(parse, "src"));
  if (!pad || gst_pad_link(out.get(), pad.get()) != GST_PAD_LINK_OK) return nullptr;
  gst_element_sync_state_with_parent(parse);
  gst_pad_set_offset(out.get(), kAacDelayNs);
  parse_ = parse;
  video_ = std::move(pad);
  return Pad(gst_element_get_static_pad(parse, "sink"));
}

void Output::Release(GstPad* pad) {
  GstObject* parent = gst_pad_get_parent(pad);
  if (parent) gst_object_unref(parent);
  if (parent == GST_OBJECT(mux_)) return gst_element_release_request_pad(mux_, pad);
  if (GST_ELEMENT(parent) != parse_ || !video_) return;
  gst_element_release_request_pad(mux_, video_.get());
  video_.reset();
  gst_element_set_locked_state(parse_, TRUE);
  gst_element_set_state(parse_, GST_STATE_NULL);
  gst_bin_remove(GST_BIN(GST_ELEMENT_PARENT(mux_)), parse_);
}

void Output::OnElement(const GstStructure* s) {
  guint64 ns = 0;
  if (!hls_ || !gst_structure_get_uint64(s, "running-time", &ns)) return;
  if (gst_structure_has_name(s, "splitmuxsink-fragment-opened")) openedNs_ = int64_t(ns);
  const gchar* part = gst_structure_get_string(s, "location");
  if (!gst_structure_has_name(s, "splitmuxsink-fragment-closed") || !part || failure_) return;
  // ".NAME.part" in the playlist's directory becomes NAME.
  const std::string dir = DirectoryOf(out_);
  const std::string name = std::string(part).substr(dir.size() + 1, std::strlen(part) - dir.size() - 6);
  if (rename(part, (dir + name).c_str()) != 0) {
    failure_ = EX_IOERR, reason_ = dir + name + ": " + std::strerror(errno);
    return;
  }
  written_.push_back(dir + name);
  playlist_.Add(name, int64_t(ns) - openedNs_, apart_);
  apart_ = false;
  if (!follow_) return;
  if (!Publish(false)) failure_ = EX_IOERR, reason_ = out_ + ": " + std::strerror(errno);
}

Presentation Output::Hand() {
  finished_ = true;
  return {playlist_, written_};
}

int Output::Finish(std::string* error) {
  if (failure_) return *error = reason_, failure_;
  if (hls_ && !WriteWhole(tmp_, playlist_.Text(follow_, true))) return *error = out_ + ": " + std::strerror(errno), EX_IOERR;
  finished_ = true;
  return 0;
}

}  // namespace rtptools
