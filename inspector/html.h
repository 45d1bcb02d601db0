// A recording as one self-contained web page: no script, nothing fetched
// from elsewhere, inline SVG and CSS. The sessions on one time axis; per
// file and source, packets per second and jitter over time, losses and
// silences marked where they happened; then the figures as a table. Series
// are drawn in at most kColumns steps, so a page of a long conference stays
// small.
#ifndef RTPTOOLS_HTML_H
#define RTPTOOLS_HTML_H

#include <string>
#include <vector>

#include "summary.h"

namespace rtptools {

struct PageFile {
  std::string path;
  int session = -1;  // of a conference; -1 for files given alone
  Summary summary;   // read with keepTimeline
};

constexpr int kColumns = 1000;

std::string HtmlPage(const std::string& title, const std::vector<PageFile>& files);

}  // namespace rtptools

#endif
