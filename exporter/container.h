// The media files an export writes, chosen by their extension, and the
// formats each holds as they are.
#ifndef RTPTOOLS_CONTAINER_H
#define RTPTOOLS_CONTAINER_H

#include <string>

#include "rtpformat.h"

namespace rtptools {

enum class Container { kMatroska, kMatroskaAudio, kWebm, kMp4, kHls };

// From the extension of `path` (.mkv, .mka, .webm, .mp4, .m3u8 for an HLS
// presentation, in any case);
// false for any other.
bool ContainerOf(const std::string& path, Container* container);
const char* Extension(Container container);

// Whether `container` holds `format` as it is, without re-encoding.
bool Holds(Container container, const Format& format);
// The extensions of the containers that hold `format`, as "mkv, webm".
std::string HoldersOf(const Format& format);

}  // namespace rtptools

#endif
