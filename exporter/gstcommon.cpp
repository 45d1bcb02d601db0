#include "gstcommon.h"

#include <sysexits.h>
#include <time.h>

#include <cerrno>
#include <cstring>

namespace rtptools {

namespace {

struct MessageUnref {
  void operator()(GstMessage* p) const { gst_message_unref(p); }
};
struct ErrorFree {
  void operator()(GError* p) const { g_error_free(p); }
};
struct Free {
  void operator()(gpointer p) const { g_free(p); }
};

// The elements we make ourselves, and where Debian has them.
struct Needed {
  const char* factory;
  const char* package;
};
const Needed kNeeded[] = {
    {"appsrc", "gstreamer1.0-plugins-base"},       {"parsebin", "gstreamer1.0-plugins-base"},
    {"decodebin", "gstreamer1.0-plugins-base"},    {"audioconvert", "gstreamer1.0-plugins-base"},
    {"audioresample", "gstreamer1.0-plugins-base"}, {"opusenc", "gstreamer1.0-plugins-base"},
    {"compositor", "gstreamer1.0-plugins-base"},
    {"audiomixer", "gstreamer1.0-plugins-base"},   {"textoverlay", "gstreamer1.0-x"},
    {"matroskamux", "gstreamer1.0-plugins-good"},  {"webmmux", "gstreamer1.0-plugins-good"},
    {"mp4mux", "gstreamer1.0-plugins-good"},       {"vp8enc", "gstreamer1.0-plugins-good"},
    {"audiodynamic", "gstreamer1.0-plugins-good"}, {"level", "gstreamer1.0-plugins-good"},
    {"vp8dec", "gstreamer1.0-plugins-good"},       {"vp9dec", "gstreamer1.0-plugins-good"},
    {"mulawdec", "gstreamer1.0-plugins-good"},     {"alawdec", "gstreamer1.0-plugins-good"},
    {"opusdec", "gstreamer1.0-plugins-base"},      {"avdec_h264", "gstreamer1.0-libav"},
    {"avdec_h265", "gstreamer1.0-libav"},          {"avdec_g722", "gstreamer1.0-libav"},
    {"x264enc", "gstreamer1.0-plugins-ugly"},      {"fakesink", "libgstreamer1.0-0"},
    {"filesink", "libgstreamer1.0-0"},             {"queue", "libgstreamer1.0-0"},
    {"splitmuxsink", "gstreamer1.0-plugins-good"}, {"mpegtsmux", "gstreamer1.0-plugins-bad"},
    {"avenc_aac", "gstreamer1.0-libav"},           {"h264parse", "gstreamer1.0-plugins-bad"},
};

const char* PackageOf(const char* factory) {
  for (const Needed& n : kNeeded)
    if (std::string(n.factory) == factory) return n.package;
  return "";
}

int StatusOf(const GError* e) {
  if (e->domain == GST_RESOURCE_ERROR) {
    if (e->code == GST_RESOURCE_ERROR_OPEN_WRITE || e->code == GST_RESOURCE_ERROR_OPEN_READ_WRITE ||
        e->code == GST_RESOURCE_ERROR_NOT_FOUND)
      return EX_CANTCREAT;
    return EX_IOERR;
  }
  if ((e->domain == GST_CORE_ERROR && e->code == GST_CORE_ERROR_MISSING_PLUGIN) ||
      (e->domain == GST_STREAM_ERROR && e->code == GST_STREAM_ERROR_CODEC_NOT_FOUND))
    return EX_UNAVAILABLE;
  return EX_SOFTWARE;
}

// A file that cannot be written is named, with what the system said.
std::string WhyOf(GstObject* src, const GError* e) {
  const std::string said = std::string("GStreamer: ") + e->message;
  if (e->domain != GST_RESOURCE_ERROR || !g_object_class_find_property(G_OBJECT_GET_CLASS(src), "location")) return said;
  gchar* location = nullptr;
  g_object_get(src, "location", &location, nullptr);
  if (!location) return said;
  std::unique_ptr<gchar, Free> free(location);
  return location + std::string(": ") + (e->code == GST_RESOURCE_ERROR_NO_SPACE_LEFT ? std::strerror(ENOSPC) : said);
}

}  // namespace

std::string MissingElement(const char* factory) {
  return std::string("GStreamer element ") + factory + " is missing: install " + PackageOf(factory);
}

GstElement* Make(const char* factory, std::string* error) {
  GstElement* e = gst_element_factory_make(factory, nullptr);
  if (!e) *error = MissingElement(factory);
  return e;
}

bool Available(const std::vector<const char*>& factories, std::string* error) {
  for (const char* factory : factories) {
    GstElementFactory* found = gst_element_factory_find(factory);
    if (!found) return *error = MissingElement(factory), false;
    gst_object_unref(found);
  }
  return true;
}

const char* MuxerOf(Container c) {
  switch (c) {
    case Container::kMatroska:
    case Container::kMatroskaAudio: return "matroskamux";
    case Container::kWebm: return "webmmux";
    case Container::kMp4: return "mp4mux";
    case Container::kHls: return "splitmuxsink";
  }
  return "";
}

GstCaps* RtpCaps(const Format& format, int payloadType) {
  GstCaps* caps = gst_caps_new_simple("application/x-rtp", "media", G_TYPE_STRING, format.IsVideo() ? "video" : "audio",
                                      "clock-rate", G_TYPE_INT, int(format.clockRate), "encoding-name", G_TYPE_STRING,
                                      format.Name(), "payload", G_TYPE_INT, payloadType, nullptr);
  if (format.codec == Codec::kL16) {
    const std::string channels = std::to_string(format.channels);
    gst_caps_set_simple(caps, "encoding-params", G_TYPE_STRING, channels.c_str(), "channels", G_TYPE_INT,
                        format.channels, nullptr);
  }
  // Without it the Opus depayloader gives no rate, which webmmux and mp4mux
  // require; Opus is always coded at 48000 Hz.
  if (format.codec == Codec::kOpus) gst_caps_set_simple(caps, "sprop-maxcapturerate", G_TYPE_STRING, "48000", nullptr);
  return caps;
}

int BusReader::Start(std::string* error) {
  if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) return 0;
  Poll(0);
  *error = reason_.empty() ? "GStreamer: the pipeline does not start" : reason_;
  return failure_ ? failure_ : EX_SOFTWARE;
}

void WaitForRoom(const std::vector<GstAppSrc*>& sources, bool unlessStarved, BusReader* bus) {
  for (int i = 0; i < 10000 && !bus->failure(); ++i) {
    guint64 queued = 0;
    bool starved = false;
    for (GstAppSrc* s : sources) {
      if (!s) continue;
      const guint64 level = gst_app_src_get_current_level_bytes(s);
      queued += level;
      starved |= level == 0;
    }
    if (queued < kMaxQueued || (unlessStarved && starved)) break;
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
    if (i % 100 == 0) bus->Poll(0);
  }
}

bool BusReader::Poll(GstClockTime wait) {
  GstBus* bus = GST_ELEMENT_BUS(pipeline_);
  const GstMessageType wanted =
      GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_EOS | (onElement ? GST_MESSAGE_ELEMENT : 0));
  while (auto* raw = gst_bus_timed_pop_filtered(bus, wait, wanted)) {
    std::unique_ptr<GstMessage, MessageUnref> m(raw);
    if (GST_MESSAGE_TYPE(raw) == GST_MESSAGE_EOS) return true;
    if (GST_MESSAGE_TYPE(raw) == GST_MESSAGE_ELEMENT) {
      if (const GstStructure* s = gst_message_get_structure(raw)) onElement(GST_MESSAGE_SRC(raw), s);
      continue;
    }
    GError* e = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(raw, &e, &debug);
    std::unique_ptr<GError, ErrorFree> error(e);
    std::unique_ptr<gchar, Free> freeDebug(debug);
    const int status = StatusOf(e);
    std::string why = WhyOf(GST_MESSAGE_SRC(raw), e);
    if (status == EX_UNAVAILABLE)
      why += " (install gstreamer1.0-plugins-good, gstreamer1.0-plugins-bad and gstreamer1.0-libav)";
    Fail(status, why);
    return false;
  }
  return false;
}

}  // namespace rtptools
