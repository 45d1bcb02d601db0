#include "container.h"

#include <cctype>

namespace rtptools {

namespace {

constexpr Container kAll[] = {Container::kMatroska, Container::kMatroskaAudio, Container::kWebm, Container::kMp4, Container::kHls};

}  // namespace

bool ContainerOf(const std::string& path, Container* container) {
  const size_t dot = path.rfind('.');
  const size_t slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string ext = path.substr(dot);
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  for (Container c : kAll)
    if (ext == Extension(c)) return *container = c, true;
  return false;
}

const char* Extension(Container container) {
  switch (container) {
    case Container::kMatroska: return ".mkv";
    case Container::kMatroskaAudio: return ".mka";
    case Container::kWebm: return ".webm";
    case Container::kMp4: return ".mp4";
    case Container::kHls: return ".m3u8";
  }
  return "";
}

bool Holds(Container container, const Format& f) {
  switch (container) {
    case Container::kMatroska: return f.Known();
    case Container::kMatroskaAudio: return f.Known() && !f.IsVideo();
    case Container::kWebm: return f.codec == Codec::kVp8 || f.codec == Codec::kVp9 || f.codec == Codec::kOpus;
    case Container::kMp4:
      return f.codec == Codec::kVp9 || f.codec == Codec::kH264 || f.codec == Codec::kH265 || f.codec == Codec::kOpus;
    case Container::kHls: return f.codec == Codec::kH264;  // audio becomes AAC
  }
  return false;
}

std::string HoldersOf(const Format& f) {
  std::string list;
  for (Container c : kAll)
    if (Holds(c, f)) list += (list.empty() ? "" : ", ") + std::string(Extension(c));
  return list;
}

}  // namespace rtptools
