// rtpexport: writes the audio and video of RTP dump files into a media file
// that players and browsers open, in lip sync.
#include <getopt.h>
#include <sysexits.h>

#include <cstdio>
#include <string>
#include <vector>

#include "args.h"
#include "message.h"

using namespace rtptools;

namespace {

const char kUsage[] =
    "usage: rtpexport [-o SECONDS] [-t MINUTES] [-m PT=FORMAT]... -c NAME OUT\n"
    "       rtpexport [-m PT=FORMAT]... FILE... OUT\n"
    "Writes the audio and video of RTP dump files into the media file OUT, in\n"
    "lip sync. With -c, every session of the conference NAME in order, one\n"
    "after the other, from SECONDS into it (where confrec -p -o starts) and for\n"
    "at most MINUTES; otherwise the FILEs, recorded at the same time.\n"
    "OUT's extension chooses the container: .mkv or .mka (Matroska), .webm or\n"
    ".mp4. Video is copied frame for frame; audio that the container cannot\n"
    "hold is re-encoded to Opus. Payload types 96..127 are identified from the\n"
    "streams; -m PT=FORMAT names one as an SDP rtpmap does (H264, VP8,\n"
    "OPUS/48000/2, L16/44100/2).\n"
    "Exit status:\n"
    "   0  done\n"
    "  64  bad usage\n"
    "  65  a stream cannot be identified or held by the container, or a file\n"
    "      is damaged (exported up to the damage)\n"
    "  66  a FILE or NAME.cf cannot be opened\n"
    "  69  a GStreamer plugin is missing\n"
    "  70  GStreamer failed\n"
    "  73  OUT cannot be created\n"
    "  74  read or write error\n";

}  // namespace

int main(int argc, char** argv) {
  if (!StartTool("rtpexport")) return EX_OSERR;
  int opt;
  while ((opt = getopt(argc, argv, ":o:t:m:c:h")) != -1) {
    if (opt == 'h') {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  return Usage(kUsage, "not yet");
}
