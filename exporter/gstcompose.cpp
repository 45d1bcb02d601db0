#include "gstcompose.h"

#include <gst/app/gstappsrc.h>
#include <gst/base/gstaggregator.h>
#include <gst/controller/gstdirectcontrolbinding.h>
#include <gst/controller/gstinterpolationcontrolsource.h>
#include <gst/gst.h>
#include <sysexits.h>

#include <algorithm>
#include <atomic>
#include <deque>

#include "clock.h"
#include "gstcommon.h"
#include "gstoutput.h"

namespace rtptools {

namespace {

constexpr int64_t kBackgroundStepNs = kNsPerSecond / 2;
// Every so many packets the feeder hands them over, in a list per decoder
// (a push per packet wakes a streaming thread per packet), and looks after
// its decoders.
constexpr uint64_t kCheckEvery = 64;
constexpr int kCardWidth = 320, kCardHeight = 180;
// A name plate: white on black, placed on whole 16-pixel blocks where it is
// not scaled, so that the encoder finds those blocks unchanged from frame
// to frame and spends nothing on them.
constexpr int kPlateHeight = 32, kBlock = 16, kMargin = 8;
constexpr int kAudioRate = 48000, kChannels = 2;
// An aggregator takes the next buffer of an input only once it has used up
// the last, a switch between threads per buffer, unless it may hold some
// time of each: then its inputs run in bursts, as they do behind a jitter
// buffer. A few frames of each picture; more of the sound, which is small.
constexpr GstClockTime kPictureBatchNs = 100 * GST_MSECOND, kSoundBatchNs = 200 * GST_MSECOND;
constexpr char kStopped[] = "GStreamer: the pipeline stopped taking data";

const char* DecoderOf(Codec c) {
  switch (c) {
    case Codec::kPcmu: return "mulawdec";
    case Codec::kPcma: return "alawdec";
    case Codec::kG722: return "avdec_g722";
    case Codec::kOpus: return "opusdec";
    case Codec::kVp8: return "vp8dec";
    case Codec::kVp9: return "vp9dec";
    case Codec::kH264: return "avdec_h264";
    case Codec::kH265: return "avdec_h265";
    default: return nullptr;  // L16 is raw already
  }
}

const char* EncoderOf(Container c) { return c == Container::kWebm ? "vp8enc" : "x264enc"; }

// An aggregator that starts at `ns`, not at 0, whatever comes before.
void StartAt(GstElement* aggregator, int64_t ns) {
  gst_util_set_object_arg(G_OBJECT(aggregator), "start-time-selection", "set");
  g_object_set(aggregator, "start-time", guint64(ns), nullptr);
}

// A property of a compositor pad that steps to `points` (time, value; a
// later one at the same time wins). One that never changes is set once,
// not looked up for every frame.
void Bind(GstPad* pad, const char* property, const std::vector<std::pair<int64_t, double>>& points) {
  if (GstControlBinding* old = gst_object_get_control_binding(GST_OBJECT(pad), property)) {
    gst_object_remove_control_binding(GST_OBJECT(pad), old);
    gst_object_unref(old);
  }
  std::vector<std::pair<int64_t, double>> steps;
  for (const auto& point : points) {
    if (!steps.empty() && steps.back().first == point.first) steps.pop_back();
    steps.push_back(point);
  }
  if (steps.empty()) return;
  if (std::all_of(steps.begin(), steps.end(), [&](const auto& p) { return p.second == steps.front().second; })) {
    GParamSpec* spec = g_object_class_find_property(G_OBJECT_GET_CLASS(pad), property);
    GValue value = G_VALUE_INIT, set = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_DOUBLE);
    g_value_set_double(&value, steps.front().second);
    g_value_init(&set, spec->value_type);
    g_value_transform(&value, &set);
    g_object_set_property(G_OBJECT(pad), property, &set);
    g_value_unset(&set);
    return;
  }
  GstControlSource* cs = gst_interpolation_control_source_new();
  g_object_set(cs, "mode", GST_INTERPOLATION_MODE_NONE, nullptr);
  for (const auto& [ns, value] : steps)
    gst_timed_value_control_source_set(GST_TIMED_VALUE_CONTROL_SOURCE(cs), GstClockTime(ns), value);
  gst_object_add_control_binding(GST_OBJECT(pad), gst_direct_control_binding_new_absolute(GST_OBJECT(pad), property, cs));
  gst_object_unref(cs);
}

// Lays out participant `p`'s pad as the scenes say: its video where it
// sends video, its card where it does not.
void Place(GstPad* pad, size_t p, bool card, const std::vector<Scene>& scenes) {
  std::vector<std::pair<int64_t, double>> x, y, w, h, alpha = {{0, 0.0}};  // unseen before its first scene
  Tile last{0, 0, 2, 2};
  for (const Scene& s : scenes) {
    const Tile& t = s.tiles[p];
    const bool shown = t.width > 0 && s.video[p] != card;
    if (t.width > 0) last = t;
    const int64_t ns = s.fromMs * kNsPerMs;
    x.push_back({ns, last.x}), y.push_back({ns, last.y}), w.push_back({ns, last.width});
    h.push_back({ns, last.height}), alpha.push_back({ns, shown ? 1.0 : 0.0});
  }
  Bind(pad, "xpos", x), Bind(pad, "ypos", y), Bind(pad, "width", w), Bind(pad, "height", h), Bind(pad, "alpha", alpha);
  g_object_set(pad, "sizing-policy", 1 /* keep-aspect-ratio */, "zorder", card ? 1u : 2u, nullptr);
}

// Wide enough for `name` in the plate's font: a Latin letter takes some
// 11 pixels, a letter of another script up to a whole em.
int PlateWidth(const std::string& name) {
  int width = 2 * kMargin;
  for (unsigned char c : name)
    if ((c & 0xC0) != 0x80) width += c < 0x80 ? 12 : 20;  // one per character, not per byte
  return std::min((width + kBlock - 1) / kBlock * kBlock, 640);
}

// A name plate (w x h) at the bottom left of participant `p`'s tile where
// its video is shown; smaller in a small tile.
void PlacePlate(GstPad* pad, size_t p, int w, int h, const std::vector<Scene>& scenes) {
  std::vector<std::pair<int64_t, double>> x, y, width, height, alpha = {{0, 0.0}};
  for (const Scene& s : scenes) {
    const Tile& t = s.tiles[p];
    const int64_t ns = s.fromMs * kNsPerMs;
    alpha.push_back({ns, t.width > 0 && s.video[p] ? 1.0 : 0.0});
    if (t.width == 0) continue;
    const double scale = std::min({1.0, t.height / 360.0, (t.width - 2 * kMargin) / double(w)});
    const int pw = std::max(2, int(w * scale)), ph = std::max(2, int(h * scale));
    int px = t.x + kMargin, py = t.y + t.height - ph - kMargin;
    if (scale == 1.0 && (px + kBlock - 1) / kBlock * kBlock + pw <= t.x + t.width)
      px = (px + kBlock - 1) / kBlock * kBlock, py = std::max(t.y, py / kBlock * kBlock);
    x.push_back({ns, px}), y.push_back({ns, py}), width.push_back({ns, pw}), height.push_back({ns, ph});
  }
  Bind(pad, "xpos", x), Bind(pad, "ypos", y), Bind(pad, "width", width), Bind(pad, "height", height);
  Bind(pad, "alpha", alpha);
  g_object_set(pad, "zorder", 3u, nullptr);
}

GstCaps* RawVideo(int width, int height, int rate) {
  return gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT, width, "height",
                             G_TYPE_INT, height, "framerate", GST_TYPE_FRACTION, rate, 1, "pixel-aspect-ratio",
                             GST_TYPE_FRACTION, 1, 1, "interlace-mode", G_TYPE_STRING, "progressive", nullptr);
}

GstCaps* RawAudio() {
  return gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "F32LE", "rate", G_TYPE_INT, kAudioRate, "channels",
                             G_TYPE_INT, kChannels, "layout", G_TYPE_STRING, "interleaved", nullptr);
}

// An I420 picture of one colour (Y, U, V).
GstBuffer* Picture(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
  const size_t luma = size_t(width) * size_t(height), chroma = luma / 4;
  GstBuffer* b = gst_buffer_new_allocate(nullptr, luma + 2 * chroma, nullptr);
  gst_buffer_memset(b, 0, y, luma);
  gst_buffer_memset(b, luma, u, chroma);
  gst_buffer_memset(b, luma + chroma, v, chroma);
  return b;
}

GstElement* AppSrc(GstCaps* caps) {
  GstElement* src = gst_element_factory_make("appsrc", nullptr);
  g_object_set(src, "caps", caps, "format", GST_FORMAT_TIME, "is-live", FALSE, "block", FALSE, "max-bytes", guint64(0),
               nullptr);
  gst_caps_unref(caps);
  return src;
}

// Decoders go on over damaged frames: the picture keeps its last good one.
void OnElementAdded(GstBin*, GstBin*, GstElement* e, gpointer) {
  if (g_object_class_find_property(G_OBJECT_GET_CLASS(e), "max-errors")) g_object_set(e, "max-errors", -1, nullptr);
}

}  // namespace

std::vector<const char*> ComposeNeeds(const Cast& cast, Container container, const ComposeOptions& o) {
  std::vector<const char*> needed = Output::Needs(container);
  needed.insert(needed.end(), {"appsrc", "decodebin", "audioconvert", "audioresample", "audiomixer", "audiodynamic"});
  if (o.video) needed.insert(needed.end(), {"compositor", "textoverlay", EncoderOf(container)});
  for (const Input& in : cast.inputs)
    if (const char* d = DecoderOf(in.format.codec); d && (o.video || !in.format.IsVideo())) needed.push_back(d);
  return needed;
}

struct ListUnref {
  void operator()(GstBufferList* p) const { gst_buffer_list_unref(p); }
};

struct GstCompose::Impl {
  struct Chain {
    Impl* impl = nullptr;
    size_t input = 0;
    bool video = false;
    GstAppSrc* src = nullptr;
    std::vector<GstElement*> elements;  // owned by the pipeline
    GstElement* head = nullptr;         // takes the decoded sound; the compositor takes the picture
    Pad aggregatorPad;
    int64_t lastNs = 0, endedNs = -1;
    std::atomic<bool> linked{false};
    std::unique_ptr<GstBufferList, ListUnref> list;  // not yet handed over

    bool Hand() { return !list || gst_app_src_push_buffer_list(src, list.release()) == GST_FLOW_OK; }
  };

  Element pipeline;
  std::unique_ptr<BusReader> bus;
  Output output;
  ComposeOptions options;
  Cast cast;
  std::vector<Scene> scenes;
  GstElement *compositor = nullptr, *mixer = nullptr;
  GstAppSrc *black = nullptr, *silence = nullptr;
  int64_t backgroundNs = 0, silenceSamples = 0, maxNs = 0;
  std::vector<std::unique_ptr<Chain>> chains;
  std::vector<Chain*> current;  // per input, the chain being fed, or null
  // A still picture with a participant's name: its card, in its tile where
  // it sends no video, or its plate, over its video.
  struct Label {
    size_t participant;
    bool plate;
    int width, height;
    GstAppSrc* src;
    GstElement* text;
    std::string name;  // as written
    Pad pad;  // the compositor's
    int64_t pushedNs;  // following: how far its pictures reach
  };
  std::deque<Label> labels;
  uint64_t pushes = 0;

  GstBin* Bin() { return GST_BIN(pipeline.get()); }

  static void OnDecoded(GstElement*, GstPad* pad, gpointer data) {
    Chain* c = static_cast<Chain*>(data);
    Caps caps(gst_pad_get_current_caps(pad));
    if (!caps) caps.reset(gst_pad_query_caps(pad, nullptr));
    const char* kind = gst_structure_get_name(gst_caps_get_structure(caps.get(), 0));
    if (g_str_has_prefix(kind, c->video ? "video/" : "audio/") == FALSE || c->linked.exchange(true)) return;
    if (!c->head) {
      gst_pad_link(pad, c->aggregatorPad.get());
      return;
    }
    Pad sink(gst_element_get_static_pad(c->head, "sink"));
    gst_pad_link(pad, sink.get());
  }

  // The output branches: compositor and mixer, through their encoders, into
  // the muxer and the file. 0 or the exit status.
  int Build(const std::string& tmp, const std::string& out, Container container, std::string* error) {
    if (options.after) output.Continue(*options.after);
    if (int status = output.Build(Bin(), container, tmp, out, error)) return status;
    if (options.follow) output.Follow();
    if (options.video) {
      compositor = Make("compositor", error);
      GstElement* filter = Make("capsfilter", error);
      GstElement* queue = Make("queue", error);
      GstElement* encoder = Make(EncoderOf(container), error);
      if (!compositor || !filter || !queue || !encoder) return EX_UNAVAILABLE;
      g_object_set(compositor, "background", 1 /* black */, "latency", kPictureBatchNs, nullptr);
      // Going on from another pipeline, the picture starts where it ended.
      if (options.startNs) StartAt(compositor, options.startNs);
      Caps caps(RawVideo(options.width, options.height, options.rate));
      g_object_set(filter, "caps", caps.get(), nullptr);
      if (container == Container::kWebm)
        g_object_set(encoder, "deadline", gint64(1), "cpu-used", 8, "threads", 2, "target-bitrate", 2000000,
                     "keyframe-max-dist", options.rate * 2, nullptr);
      else
        gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "ultrafast"),
            g_object_set(encoder, "key-int-max", guint(options.rate * 2), nullptr);
      // Following, a frame is encoded as it comes, not a second and more
      // later when the encoder has looked ahead; and key frames come every
      // second, as the segmenter takes a whole run of frames from one to
      // the next before it cuts.
      if (options.follow && container != Container::kWebm) {
        gst_util_set_object_arg(G_OBJECT(encoder), "tune", "zerolatency");
        g_object_set(encoder, "key-int-max", guint(options.rate), nullptr);
      }
      gst_bin_add_many(Bin(), compositor, filter, queue, encoder, nullptr);
      Pad encoded(gst_element_get_static_pad(encoder, "src")), muxed(output.Request(true));
      if (!gst_element_link_many(compositor, filter, queue, encoder, nullptr) || !muxed ||
          gst_pad_link(encoded.get(), muxed.get()) != GST_PAD_LINK_OK)
        return *error = "GStreamer: the video encoder does not fit the muxer", EX_SOFTWARE;
      GstElement* bg = AppSrc(RawVideo(16, 16, 0));
      gst_bin_add(Bin(), bg);
      Pad pad(gst_element_request_pad_simple(compositor, "sink_%u"));
      g_object_set(pad.get(), "alpha", 0.0, nullptr);  // paces, never seen
      Pad out(gst_element_get_static_pad(bg, "src"));
      gst_pad_link(out.get(), pad.get());
      black = GST_APP_SRC(bg);
    }
    mixer = Make("audiomixer", error);
    GstElement* filter = Make("capsfilter", error);
    GstElement* limit = Make("audiodynamic", error);
    GstElement* convert = Make("audioconvert", error);
    GstElement* queue = Make("queue", error);
    GstElement* encoder = Make(Output::AudioEncoder(container), error);
    if (!mixer || !filter || !limit || !convert || !queue || !encoder) return EX_UNAVAILABLE;
    Caps caps(RawAudio());
    g_object_set(filter, "caps", caps.get(), nullptr);
    // Above half of full scale, a tenth of what goes beyond: five voices at
    // full scale at once still do not clip.
    gst_util_set_object_arg(G_OBJECT(limit), "characteristics", "soft-knee");
    g_object_set(limit, "threshold", 0.5f, "ratio", 0.1f, nullptr);
    if (options.startNs) StartAt(mixer, options.startNs);
    g_object_set(mixer, "latency", kSoundBatchNs, nullptr);
    output.Batch(kSoundBatchNs);
    gst_bin_add_many(Bin(), mixer, filter, limit, convert, queue, encoder, nullptr);
    Pad encoded(gst_element_get_static_pad(encoder, "src")), muxed(output.Request(false));
    if (!gst_element_link_many(mixer, filter, limit, convert, queue, encoder, nullptr) || !muxed ||
        gst_pad_link(encoded.get(), muxed.get()) != GST_PAD_LINK_OK)
      return *error = "GStreamer: the audio encoder does not fit the muxer", EX_SOFTWARE;
    GstElement* bg = AppSrc(RawAudio());
    gst_bin_add(Bin(), bg);
    gst_element_link(bg, mixer);
    silence = GST_APP_SRC(bg);
    return 0;
  }

  // Each participant's card and plate, a picture for each stretch in which
  // it is shown: where it is not, the compositor has nothing of it to go
  // over.
  void Labels() {
    for (size_t p = 0; p < cast.people.size(); ++p)
      for (bool plate : {false, true}) {
        const std::vector<Span> shown = ShownSpans(scenes, p, plate, options.lengthMs);
        if (shown.empty()) continue;
        Label& l = AddLabel(p, plate);
        for (const Span& s : shown) PushLabel(&l, s.fromMs * kNsPerMs, (s.toMs - s.fromMs) * kNsPerMs);
        gst_app_src_end_of_stream(l.src);
      }
  }

  Label& AddLabel(size_t p, bool plate) {
    const std::string& name = cast.people[p].name;
    const int w = plate ? PlateWidth(name) : kCardWidth, h = plate ? kPlateHeight : kCardHeight;
    GstElement* src = AppSrc(RawVideo(w, h, 0));
    GstElement* text = gst_element_factory_make("textoverlay", nullptr);
    g_object_set(text, "text", name.c_str(), "valignment", 4 /* center */, "halignment", plate ? 0 /* left */ : 1 /* center */,
                 "font-desc", plate ? "Sans 14" : "Sans 20", nullptr);
    if (plate) g_object_set(text, "auto-resize", FALSE, "xpad", kMargin, nullptr);
    gst_bin_add_many(Bin(), src, text, nullptr);
    gst_element_link(src, text);
    Pad pad(gst_element_request_pad_simple(compositor, "sink_%u"));
    Pad out(gst_element_get_static_pad(text, "src"));
    gst_pad_link(out.get(), pad.get());
    gst_element_sync_state_with_parent(text);
    gst_element_sync_state_with_parent(src);
    labels.push_back({p, plate, w, h, GST_APP_SRC(src), text, name, std::move(pad), -1});
    PlaceLabel(labels.back());
    return labels.back();
  }

  void PlaceLabel(const Label& l) {
    if (l.plate)
      PlacePlate(l.pad.get(), l.participant, l.width, l.height, scenes);
    else
      Place(l.pad.get(), l.participant, true, scenes);
  }

  bool PushLabel(Label* l, int64_t ns, int64_t durationNs) {
    GstBuffer* b = l->plate ? Picture(l->width, l->height, 16, 0x80, 0x80) : Picture(l->width, l->height, 0x70, 0x80, 0x80);
    GST_BUFFER_PTS(b) = GstClockTime(ns);
    GST_BUFFER_DURATION(b) = GstClockTime(durationNs);
    l->pushedNs = ns + durationNs;
    return gst_app_src_push_buffer(l->src, b) == GST_FLOW_OK;
  }

  // Following: newcomers get their labels and decoders' slots, and every
  // pad is laid out again as the scenes now say, under the names now known.
  void Update(const Cast& now, const std::vector<Scene>& timeline) {
    cast = now;
    scenes = timeline;
    current.resize(cast.inputs.size(), nullptr);
    if (!options.video) return;
    for (size_t p = 0; p < cast.people.size(); ++p) {
      const std::vector<Span> present = cast.people[p].Present();
      bool labelled = false;
      for (const Label& l : labels) labelled = labelled || l.participant == p;
      if (!labelled && !present.empty())
        for (bool plate : {false, true})
          AddLabel(p, plate).pushedNs = std::max(present.front().fromMs * kNsPerMs, options.startNs);
    }
    // A name that came later is written again, on a plate as wide as it
    // takes; the others are not drawn anew for each update.
    for (Label& l : labels) {
      if (l.name != cast.people[l.participant].name) {
        l.name = cast.people[l.participant].name;
        g_object_set(l.text, "text", l.name.c_str(), nullptr);
        if (l.plate && PlateWidth(l.name) != l.width) {
          l.width = PlateWidth(l.name);
          Caps caps(RawVideo(l.width, l.height, 0));
          g_object_set(l.src, "caps", caps.get(), nullptr);
        }
      }
      PlaceLabel(l);
    }
    for (const auto& c : chains)
      if (c->video && c->endedNs < 0) Place(c->aggregatorPad.get(), cast.inputs[c->input].participant, false, scenes);
  }

  // The decoder of `input`, from its packets to the compositor or mixer.
  Chain* Start(size_t input, int64_t ns) {
    const Input& in = cast.inputs[input];
    auto c = std::make_unique<Chain>();
    c->impl = this;
    c->input = input;
    c->video = in.format.IsVideo();
    c->lastNs = ns;
    GstElement* src = AppSrc(RtpCaps(in.format, in.payloadType));
    GstElement* decode = gst_element_factory_make("decodebin", nullptr);
    c->elements = {src, decode};
    // The compositor converts the picture itself; the sound is brought to
    // the mixer's rate and layout.
    if (!c->video) {
      GstElement* convert = gst_element_factory_make("audioconvert", nullptr);
      GstElement* resample = gst_element_factory_make("audioresample", nullptr);
      c->elements.insert(c->elements.end(), {convert, resample});
      c->head = convert;
    }
    for (GstElement* e : c->elements) gst_bin_add(Bin(), e);
    gst_element_link(src, decode);
    // Asked for now, so that the compositor or mixer waits for its first
    // frame rather than going past it.
    c->aggregatorPad.reset(gst_element_request_pad_simple(c->video ? compositor : mixer, "sink_%u"));
    if (c->video) {
      Place(c->aggregatorPad.get(), in.participant, false, scenes);
    } else {
      gst_element_link(c->elements[2], c->elements[3]);
      Pad out(gst_element_get_static_pad(c->elements[3], "src"));
      gst_pad_link(out.get(), c->aggregatorPad.get());
    }
    g_signal_connect(decode, "pad-added", G_CALLBACK(OnDecoded), c.get());
    for (auto e = c->elements.rbegin(); e != c->elements.rend(); ++e) gst_element_sync_state_with_parent(*e);
    c->src = GST_APP_SRC(src);
    chains.push_back(std::move(c));
    return chains.back().get();
  }

  void End(Chain* c) {
    if (!c->Hand()) bus->Fail(EX_SOFTWARE, kStopped);
    gst_app_src_end_of_stream(c->src);
    c->endedNs = maxNs;
    if (current[c->input] == c) current[c->input] = nullptr;
  }

  // Chains that paused end, so that the compositor and mixer stop waiting
  // for them; those ended long ago leave the pipeline.
  void Tidy() {
    for (auto it = chains.begin(); it != chains.end();) {
      Chain* c = it->get();
      if (c->endedNs < 0 && maxNs - c->lastNs > kPauseMs * kNsPerMs) End(c);
      const bool done = c->endedNs >= 0 && maxNs - c->endedNs > 2 * kPauseMs * kNsPerMs &&
                        gst_aggregator_pad_is_eos(GST_AGGREGATOR_PAD(c->aggregatorPad.get()));
      if (!done) {
        ++it;
        continue;
      }
      gst_element_release_request_pad(c->video ? compositor : mixer, c->aggregatorPad.get());
      for (GstElement* e : c->elements) {
        gst_element_set_state(e, GST_STATE_NULL);
        gst_bin_remove(Bin(), e);
      }
      it = chains.erase(it);
    }
  }

  // Waits while the background, the silence and the labels hold much that
  // the compositor and the mixer have not taken: across a long pause, `Pace`
  // would otherwise make all of it at once.
  void WaitForPacing() {
    std::vector<GstAppSrc*> pacing = {black, silence};
    for (const Label& l : labels) pacing.push_back(l.src);
    WaitForRoom(pacing, false, bus.get());
  }

  // How far the background and the silence reach.
  int64_t PacedNs() const {
    const int64_t heard = int64_t(gst_util_uint64_scale(guint64(silenceSamples), GST_SECOND, kAudioRate));
    return black ? std::min(backgroundNs, heard) : heard;
  }

  // The background and the silence up to `ns`, at the end exactly; some
  // seconds at a time, each when the last has room.
  bool Pace(int64_t ns, bool end = false) {
    for (int64_t at = PacedNs(); at < ns; at = PacedNs()) {
      WaitForPacing();
      const int64_t to = std::min(ns, at + 16 * kBackgroundStepNs);
      if (!PaceStep(to, end && to == ns)) return false;
    }
    return true;
  }

  bool PaceStep(int64_t ns, bool end) {
    // Following, the labels go on as the background does.
    for (Label& l : labels)
      while (options.follow && l.pushedNs < ns)
        if (!PushLabel(&l, l.pushedNs, end ? std::min(kBackgroundStepNs, ns - l.pushedNs) : kBackgroundStepNs)) return false;
    while (black && backgroundNs < ns) {
      const int64_t step = end ? std::min(kBackgroundStepNs, ns - backgroundNs) : kBackgroundStepNs;
      GstBuffer* b = Picture(16, 16, 16, 128, 128);
      GST_BUFFER_PTS(b) = GstClockTime(backgroundNs);
      GST_BUFFER_DURATION(b) = GstClockTime(step);
      backgroundNs += step;
      if (gst_app_src_push_buffer(black, b) != GST_FLOW_OK) return false;
    }
    while (int64_t(gst_util_uint64_scale(guint64(silenceSamples), GST_SECOND, kAudioRate)) < ns) {
      int64_t samples = kAudioRate * kBackgroundStepNs / kNsPerSecond;
      if (end) samples = std::min<int64_t>(samples, std::max<int64_t>(1, (ns * kAudioRate + kNsPerSecond - 1) / kNsPerSecond - silenceSamples));
      GstBuffer* b = gst_buffer_new_allocate(nullptr, size_t(samples) * kChannels * sizeof(float), nullptr);
      gst_buffer_memset(b, 0, 0, size_t(samples) * kChannels * sizeof(float));
      GST_BUFFER_PTS(b) = gst_util_uint64_scale(guint64(silenceSamples), GST_SECOND, kAudioRate);
      GST_BUFFER_DURATION(b) = gst_util_uint64_scale(guint64(samples), GST_SECOND, kAudioRate);
      silenceSamples += samples;
      if (gst_app_src_push_buffer(silence, b) != GST_FLOW_OK) return false;
    }
    return true;
  }

  // Waits while the decoders being fed have much queued.
  void Wait() {
    std::vector<GstAppSrc*> fed;
    for (const auto& c : chains)
      if (c->endedNs < 0) fed.push_back(c->src);
    WaitForRoom(fed, true, bus.get());
  }
};

GstCompose::GstCompose() : impl_(new Impl) {}

GstCompose::~GstCompose() {
  if (impl_->pipeline) gst_element_set_state(impl_->pipeline.get(), GST_STATE_NULL);
}

int GstCompose::Open(const std::string& tmp, const std::string& out, Container container, const ComposeOptions& o, const Cast& cast,
                     const std::vector<Scene>& scenes, std::string* error) {
  gst_init(nullptr, nullptr);
  if (!Available(ComposeNeeds(cast, container, o), error)) return EX_UNAVAILABLE;
  Impl& m = *impl_;
  m.options = o;
  m.cast = cast;
  m.scenes = scenes;
  m.backgroundNs = o.startNs;
  m.silenceSamples = int64_t(gst_util_uint64_scale(guint64(o.startNs), kAudioRate, GST_SECOND));
  m.current.assign(cast.inputs.size(), nullptr);
  m.pipeline.reset(gst_pipeline_new("compose"));
  m.bus = std::make_unique<BusReader>(m.pipeline.get());
  m.bus->onElement = [&m](GstObject*, const GstStructure* s) { m.output.OnElement(s); };
  g_signal_connect(m.pipeline.get(), "deep-element-added", G_CALLBACK(OnElementAdded), nullptr);
  if (int status = m.Build(tmp, out, container, error)) return status;
  if (int status = m.bus->Start(error)) return status;
  if (o.video && !o.follow) m.Labels();
  return 0;
}

bool GstCompose::Push(int input, const uint8_t* rtp, size_t size, int64_t ns) {
  Impl& m = *impl_;
  if (m.bus->failure()) return false;
  const bool video = m.cast.inputs[size_t(input)].format.IsVideo();
  if (video && !m.options.video) return true;
  m.maxNs = std::max(m.maxNs, ns);
  if (++m.pushes % kCheckEvery == 0) {
    for (const auto& c : m.chains)
      if (!c->Hand()) return m.bus->Fail(EX_SOFTWARE, kStopped), false;
    m.Tidy();
    if (!m.Pace(m.maxNs - m.options.behindMs * kNsPerMs)) return m.bus->Fail(EX_SOFTWARE, kStopped), false;
    m.bus->Poll(0);
    m.Wait();
    if (m.bus->failure()) return false;
  }
  Impl::Chain* c = m.current[size_t(input)];
  if (!c) c = m.current[size_t(input)] = m.Start(size_t(input), ns);
  c->lastNs = ns;
  GstBuffer* buffer = gst_buffer_new_memdup(rtp, size);
  GST_BUFFER_PTS(buffer) = GstClockTime(ns);
  if (!c->list) c->list.reset(gst_buffer_list_new_sized(kCheckEvery));
  gst_buffer_list_add(c->list.get(), buffer);
  return true;
}

int GstCompose::Finish(const volatile std::sig_atomic_t* stop, std::string* error) {
  Impl& m = *impl_;
  // The decoders end first: the picture and the sound then run on to the
  // end without waiting for them.
  for (const auto& c : m.chains)
    if (c->endedNs < 0) m.End(c.get());
  if (!m.Pace(std::max(m.maxNs, m.options.lengthMs * kNsPerMs), true)) m.bus->Fail(EX_SOFTWARE, kStopped);
  if (m.black) gst_app_src_end_of_stream(m.black);
  for (Impl::Label& l : m.labels)
    if (m.options.follow) gst_app_src_end_of_stream(l.src);
  gst_app_src_end_of_stream(m.silence);
  bool eos = false;
  for (int polls = 0; !eos && !m.bus->failure() && !(stop && *stop); ++polls) {
    // A decoder that never found its stream has nothing to end: the
    // compositor or mixer stops waiting for it.
    for (const auto& c : m.chains)
      if (polls == 20 && !c->linked) gst_element_release_request_pad(c->video ? m.compositor : m.mixer, c->aggregatorPad.get());
    eos = m.bus->Poll(100 * GST_MSECOND);
  }
  gst_element_set_state(m.pipeline.get(), GST_STATE_NULL);
  if (m.bus->failure()) return *error = m.bus->reason(), m.bus->failure();
  if (!eos) return *error = "interrupted", EX_TEMPFAIL;
  return m.output.Finish(error);
}

void GstCompose::Update(const Cast& cast, const std::vector<Scene>& scenes) { impl_->Update(cast, scenes); }

bool GstCompose::Advance(int64_t ns) {
  Impl& m = *impl_;
  for (const auto& c : m.chains)
    if (!c->Hand()) return m.bus->Fail(EX_SOFTWARE, kStopped), false;
  m.Tidy();
  if (!m.Pace(ns - m.options.behindMs * kNsPerMs)) return m.bus->Fail(EX_SOFTWARE, kStopped), false;
  m.bus->Poll(0);
  return !m.bus->failure();
}

void GstCompose::SetLength(int64_t ms) { impl_->options.lengthMs = ms; }

int GstCompose::Failure(std::string* error) const {
  *error = impl_->bus ? impl_->bus->reason() : "";
  return impl_->bus ? impl_->bus->failure() : 0;
}

}  // namespace rtptools
