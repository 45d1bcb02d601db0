#include "gstloudness.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <sysexits.h>

#include <cmath>
#include <cstring>

#include "clock.h"
#include "gstcommon.h"

namespace rtptools {

namespace {

constexpr uint64_t kCheckEvery = 64;
constexpr char kStopped[] = "GStreamer: the pipeline stopped taking data";

void OnDecoded(GstElement*, GstPad* pad, gpointer data) {
  Pad sink(gst_element_get_static_pad(static_cast<GstElement*>(data), "sink"));
  if (!gst_pad_is_linked(sink.get())) gst_pad_link(pad, sink.get());
}

// The loudest channel of a level message, in full-scale RMS.
double Loudest(const GValue* rms) {
  double db = -200;
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS  // level posts a GValueArray
  GValueArray* channels = static_cast<GValueArray*>(g_value_get_boxed(rms));
  for (guint c = 0; channels && c < channels->n_values; ++c)
    db = std::max(db, g_value_get_double(g_value_array_get_nth(channels, c)));
  G_GNUC_END_IGNORE_DEPRECATIONS
  return std::pow(10.0, db / 20);
}

}  // namespace

struct GstLoudness::Impl {
  Element pipeline;
  std::unique_ptr<BusReader> bus;
  std::vector<GstAppSrc*> sources;    // per input; null for video
  std::vector<GstElement*> meters;    // per input, its level element
  std::vector<size_t> participantOf;  // per input
  std::vector<std::vector<float>> levels;
  uint64_t pushes = 0;

  void Heard(GstObject* from, const GstStructure* s) {
    const GValue* rms = gst_structure_get_value(s, "rms");
    GstClockTime at = 0;
    if (std::strcmp(gst_structure_get_name(s), "level") != 0 || !rms ||
        !gst_structure_get_clock_time(s, "running-time", &at))
      return;
    for (size_t i = 0; i < meters.size(); ++i) {
      if (GST_OBJECT(meters[i]) != from) continue;
      std::vector<float>& l = levels[participantOf[i]];
      const size_t window = size_t(int64_t(at) / (kLoudnessWindowMs * kNsPerMs));
      if (window >= l.size()) l.resize(window + 1, 0.0f);
      l[window] = std::max(l[window], float(Loudest(rms)));
    }
  }

  // appsrc ! decodebin ~ audioconvert ! audioresample ! level ! fakesink
  bool Meter(const Input& in, std::string* error) {
    GstElement* chain[] = {Make("appsrc", error),        Make("decodebin", error), Make("audioconvert", error),
                           Make("audioresample", error), Make("level", error),     Make("fakesink", error)};
    for (GstElement* e : chain)
      if (!e) return false;
    for (GstElement* e : chain) gst_bin_add(GST_BIN(pipeline.get()), e);
    Caps caps(RtpCaps(in.format, in.payloadType));
    g_object_set(chain[0], "caps", caps.get(), "format", GST_FORMAT_TIME, "is-live", FALSE, "block", FALSE,
                 "max-bytes", guint64(0), nullptr);
    g_object_set(chain[4], "interval", guint64(kLoudnessWindowMs * kNsPerMs), "post-messages", TRUE, nullptr);
    g_object_set(chain[5], "sync", FALSE, nullptr);
    gst_element_link(chain[0], chain[1]);
    gst_element_link_many(chain[2], chain[3], chain[4], chain[5], nullptr);
    g_signal_connect(chain[1], "pad-added", G_CALLBACK(OnDecoded), chain[2]);
    sources.push_back(GST_APP_SRC(chain[0]));
    meters.push_back(chain[4]);
    return true;
  }

};

GstLoudness::GstLoudness() : impl_(new Impl) {}

GstLoudness::~GstLoudness() {
  if (impl_->pipeline) gst_element_set_state(impl_->pipeline.get(), GST_STATE_NULL);
}

int GstLoudness::Open(const Cast& cast, std::string* error) {
  gst_init(nullptr, nullptr);
  Impl& m = *impl_;
  m.pipeline.reset(gst_pipeline_new("loudness"));
  m.bus = std::make_unique<BusReader>(m.pipeline.get());
  m.bus->onElement = [&m](GstObject* from, const GstStructure* s) { m.Heard(from, s); };
  m.levels.assign(cast.people.size(), {});
  for (const Input& in : cast.inputs) {
    m.participantOf.push_back(in.participant);
    if (in.format.IsVideo()) {
      m.sources.push_back(nullptr), m.meters.push_back(nullptr);
    } else if (!m.Meter(in, error)) {
      return EX_UNAVAILABLE;
    }
  }
  return m.bus->Start(error);
}

bool GstLoudness::Push(int input, const uint8_t* rtp, size_t size, int64_t ns) {
  Impl& m = *impl_;
  GstAppSrc* src = m.sources[size_t(input)];
  if (!src) return true;
  if (++m.pushes % kCheckEvery == 0) {
    m.bus->Poll(0);
    WaitForRoom(m.sources, false, m.bus.get());
  }
  if (m.bus->failure()) return false;
  GstBuffer* buffer = gst_buffer_new_memdup(rtp, size);
  GST_BUFFER_PTS(buffer) = GstClockTime(ns);
  if (gst_app_src_push_buffer(src, buffer) != GST_FLOW_OK) return m.bus->Fail(EX_SOFTWARE, kStopped), false;
  return true;
}

int GstLoudness::Finish(const volatile std::sig_atomic_t* stop, std::string* error) {
  Impl& m = *impl_;
  bool any = false;
  for (GstAppSrc* s : m.sources)
    if (s) gst_app_src_end_of_stream(s), any = true;
  bool eos = !any;
  while (!eos && !m.bus->failure() && !(stop && *stop)) eos = m.bus->Poll(100 * GST_MSECOND);
  gst_element_set_state(m.pipeline.get(), GST_STATE_NULL);
  if (m.bus->failure()) return *error = m.bus->reason(), m.bus->failure();
  if (!eos) return *error = "interrupted", EX_TEMPFAIL;
  return 0;
}

const std::vector<std::vector<float>>& GstLoudness::Levels() const { return impl_->levels; }

int GstLoudness::Failure(std::string* error) const {
  *error = impl_->bus ? impl_->bus->reason() : "";
  return impl_->bus ? impl_->bus->failure() : 0;
}

}  // namespace rtptools
