// A dump file's summary as a table for people and as JSON for scripts.
#ifndef RTPTOOLS_REPORT_H
#define RTPTOOLS_REPORT_H

#include <cstdint>
#include <string>

#include "summary.h"

namespace rtptools {

// A JSON string literal, quotes included; bytes that are not valid UTF-8
// become U+FFFD so that the output always parses.
std::string JsonQuote(const std::string& text);
// "h:mm:ss.mmm".
std::string FormatDuration(uint32_t ms);
// "YYYY-MM-DD hh:mm:ss.uuuuuu UTC".
std::string FormatStart(const FileHeader& header);

// The table for one file, each line ending in a newline.
std::string TableReport(const std::string& file, const Summary& s);
// One JSON object for one file.
std::string JsonReport(const std::string& file, const Summary& s);

}  // namespace rtptools

#endif
