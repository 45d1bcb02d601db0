// Put before GStreamer (LD_PRELOAD) in the exporter's tests: from the call
// that CONFREC_PUSH_FAILS_FROM numbers on, appsrc takes no more lists, as
// in a pipeline that has stopped. The list is dropped, as appsrc drops it.
#include <dlfcn.h>

#include <cstdlib>

extern "C" {

void gst_mini_object_unref(void* object);

int gst_app_src_push_buffer_list(void* appsrc, void* list) {
  static int calls = 0;
  const char* from = std::getenv("CONFREC_PUSH_FAILS_FROM");
  if (from && ++calls >= std::atoi(from)) {
    gst_mini_object_unref(list);
    return -2;  // GST_FLOW_FLUSHING
  }
  using Push = int (*)(void*, void*);
  static const Push real = reinterpret_cast<Push>(dlsym(RTLD_NEXT, "gst_app_src_push_buffer_list"));
  return real(appsrc, list);
}

}  // extern "C"
