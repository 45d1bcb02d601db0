#include "gstexport.h"

#include "gstcommon.h"
#include "gstoutput.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <sysexits.h>

#include <atomic>

namespace rtptools {

namespace {

struct ListUnref {
  void operator()(GstBufferList* p) const { gst_buffer_list_unref(p); }
};

// Packets go to the appsrcs in lists, all tracks' every this many packets:
// a push wakes the track's streaming thread, and a wake-up per packet cost
// a third of an export's time. It bounds how long a packet is held back.
constexpr uint64_t kListEvery = 64;

constexpr char kStopped[] = "GStreamer: the pipeline stopped taking data";

}  // namespace

struct GstExport::Impl {
  Element pipeline;
  Output output;
  std::vector<TrackOut> tracks;
  Container container = Container::kMatroska;
  std::vector<GstAppSrc*> sources;
  std::vector<std::unique_ptr<GstBufferList, ListUnref>> lists;  // per track, not yet pushed
  std::vector<Pad> muxPads;
  std::unique_ptr<std::atomic<bool>[]> linked;
  struct Link {
    Impl* impl;
    size_t track;
  };
  std::vector<std::unique_ptr<Link>> links;
  std::unique_ptr<BusReader> bus;
  uint64_t pushes = 0;
  bool follow = false;

  void Fail(int status, const std::string& why) { bus->Fail(status, why); }
  bool Poll(GstClockTime wait) { return bus->Poll(wait); }
  int failure() const { return bus ? bus->failure() : 0; }

  // Hands each track's list to its appsrc. False when one refuses.
  bool PushLists() {
    for (size_t t = 0; t < lists.size(); ++t) {
      if (!lists[t] || gst_app_src_push_buffer_list(sources[t], lists[t].release()) == GST_FLOW_OK) continue;
      Fail(EX_SOFTWARE, kStopped);
      return false;
    }
    return true;
  }

  static void OnParsed(GstElement*, GstPad* pad, gpointer data) {
    Link* l = static_cast<Link*>(data);
    l->impl->LinkParsed(l->track, pad);
  }

  static void OnDecoded(GstElement*, GstPad* pad, gpointer data) {
    GstElement* convert = static_cast<GstElement*>(data);
    Pad sink(gst_element_get_static_pad(convert, "sink"));
    if (!gst_pad_is_linked(sink.get())) gst_pad_link(pad, sink.get());
  }

  void LinkParsed(size_t t, GstPad* pad) {
    if (linked[t].exchange(true)) return;  // one stream per track
    GstPad* target = muxPads[t].get();
    if (tracks[t].reencode) {
      std::string error;
      GstElement* chain[] = {Make("decodebin", &error), Make("audioconvert", &error), Make("audioresample", &error),
                             Make(Output::AudioEncoder(container), &error)};
      for (GstElement* e : chain)
        if (!e) return;
      for (GstElement* e : chain) gst_bin_add(GST_BIN(pipeline.get()), e);
      // AAC at the rate players expect, where its frames are short (at
      // 8 kHz one lasts 128 ms, and so does the encoder's delay).
      Caps rate(container == Container::kHls ? gst_caps_from_string("audio/x-raw,rate=48000") : nullptr);
      gst_element_link(chain[1], chain[2]);
      gst_element_link_filtered(chain[2], chain[3], rate.get());
      g_signal_connect(chain[0], "pad-added", G_CALLBACK(OnDecoded), chain[1]);
      Pad encoded(gst_element_get_static_pad(chain[3], "src"));
      gst_pad_link(encoded.get(), target);
      for (GstElement* e : chain) gst_element_sync_state_with_parent(e);
      target = gst_element_get_static_pad(chain[0], "sink");
      gst_pad_link(pad, target);
      gst_object_unref(target);
      return;
    }
    // A queue of its own per track: depayloading runs beside the muxer,
    // not in turn with it.
    std::string error;
    GstElement* queue = Make("queue", &error);
    if (!queue) return;
    g_object_set(queue, "max-size-buffers", 0u, "max-size-time", guint64(0), "max-size-bytes", 4u << 20, nullptr);
    gst_bin_add(GST_BIN(pipeline.get()), queue);
    Pad in(gst_element_get_static_pad(queue, "sink")), out(gst_element_get_static_pad(queue, "src"));
    gst_pad_link(out.get(), target);
    gst_element_sync_state_with_parent(queue);
    gst_pad_link(pad, in.get());
  }
};

GstExport::GstExport() : impl_(new Impl) {}

GstExport::~GstExport() {
  if (impl_->pipeline) gst_element_set_state(impl_->pipeline.get(), GST_STATE_NULL);
}

int GstExport::Open(const std::string& tmp, const std::string& out, Container container,
                    const std::vector<TrackOut>& tracks, std::string* error) {
  gst_init(nullptr, nullptr);
  std::vector<const char*> needed = Output::Needs(container);
  needed.insert(needed.end(), {"appsrc", "parsebin", "queue"});
  for (const TrackOut& t : tracks)
    if (t.reencode) needed.insert(needed.end(), {"decodebin", "audioconvert", "audioresample"});
  if (!Available(needed, error)) return EX_UNAVAILABLE;
  Impl& m = *impl_;
  m.tracks = tracks;
  m.container = container;
  m.pipeline.reset(gst_pipeline_new("export"));
  m.bus = std::make_unique<BusReader>(m.pipeline.get());
  m.bus->onElement = [&m](GstObject*, const GstStructure* s) { m.output.OnElement(s); };
  GstBin* bin = GST_BIN(m.pipeline.get());
  if (m.follow) m.output.Follow();
  if (int status = m.output.Build(bin, container, tmp, out, error)) return status;
  m.linked.reset(new std::atomic<bool>[tracks.size()]);
  // The muxer's pads are asked for before it starts, so that it waits for
  // every track.
  for (size_t t = 0; t < tracks.size(); ++t) {
    m.linked[t] = false;
    const bool audio = !tracks[t].format.IsVideo() || tracks[t].reencode;
    m.muxPads.push_back(m.output.Request(!audio));
    if (!m.muxPads.back()) return *error = std::string(MuxerOf(container)) + " refuses a track", EX_SOFTWARE;
    GstElement* src = Make("appsrc", error);
    GstElement* parse = Make("parsebin", error);
    if (!src || !parse) return EX_UNAVAILABLE;
    Caps caps(RtpCaps(tracks[t].format, tracks[t].payloadType));
    g_object_set(src, "caps", caps.get(), "format", GST_FORMAT_TIME, "is-live", FALSE, "block", FALSE, "max-bytes",
                 guint64(0), nullptr);
    gst_bin_add_many(bin, src, parse, nullptr);
    gst_element_link(src, parse);
    m.links.push_back(std::make_unique<Impl::Link>(Impl::Link{&m, t}));
    g_signal_connect(parse, "pad-added", G_CALLBACK(Impl::OnParsed), m.links.back().get());
    m.sources.push_back(GST_APP_SRC(src));
    m.lists.emplace_back();
    if (!tracks[t].name.empty()) {
      GstTagList* tags = gst_tag_list_new(GST_TAG_TITLE, tracks[t].name.c_str(), nullptr);
      gst_element_send_event(src, gst_event_new_tag(tags));
    }
  }
  return m.bus->Start(error);
}

bool GstExport::Push(int track, const uint8_t* rtp, size_t size, int64_t ns) {
  Impl& m = *impl_;
  if (m.failure()) return false;
  // Back-pressure: wait while the muxer is behind, unless a track has
  // nothing queued (the muxer may be waiting for it).
  if (++m.pushes % kListEvery == 0) {
    if (!m.PushLists()) return false;
    m.Poll(0);
    WaitForRoom(m.sources, true, m.bus.get());
    if (m.failure()) return false;
  }
  GstBuffer* buffer = gst_buffer_new_memdup(rtp, size);
  GST_BUFFER_PTS(buffer) = GstClockTime(ns);
  auto& list = m.lists[size_t(track)];
  if (!list) list.reset(gst_buffer_list_new_sized(kListEvery));
  gst_buffer_list_add(list.get(), buffer);
  return true;
}

void GstExport::Follow() { impl_->follow = true; }

bool GstExport::Advance() {
  Impl& m = *impl_;
  if (m.failure() || !m.PushLists()) return false;
  m.Poll(0);
  return !m.failure();
}

int GstExport::Close(Presentation* presentation, std::string* error) {
  if (int status = End(nullptr, error)) return status;
  *presentation = impl_->output.Hand();
  return 0;
}

int GstExport::Finish(const volatile std::sig_atomic_t* stop, std::string* error) {
  if (int status = End(stop, error)) return status;
  return impl_->output.Finish(error);
}

int GstExport::End(const volatile std::sig_atomic_t* stop, std::string* error) {
  Impl& m = *impl_;
  // What was refused is lost: never a success, whoever else saw it.
  if (!m.PushLists()) m.Fail(EX_SOFTWARE, kStopped);
  for (GstAppSrc* s : m.sources) gst_app_src_end_of_stream(s);
  bool eos = false;
  for (int polls = 0; !eos && !m.failure() && !(stop && *stop); ++polls) {
    // A track that never had a frame has nothing to end: once parsebin has
    // had time to find its elements, the muxer stops waiting for it.
    for (size_t t = 0; t < m.tracks.size() && polls >= 10; ++t)
      if (!m.linked[t] && gst_app_src_get_current_level_bytes(m.sources[t]) == 0 && m.muxPads[t]) {
        m.output.Release(m.muxPads[t].get());
        m.muxPads[t].reset();
      }
    eos = m.Poll(100 * GST_MSECOND);
  }
  gst_element_set_state(m.pipeline.get(), GST_STATE_NULL);
  if (m.failure()) return *error = m.bus->reason(), m.failure();
  if (!eos) return *error = "interrupted", EX_TEMPFAIL;
  return 0;
}

int GstExport::Failure(std::string* error) const {
  *error = impl_->bus ? impl_->bus->reason() : "";
  return impl_->failure();
}

}  // namespace rtptools
