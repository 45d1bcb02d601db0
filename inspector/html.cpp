#include "html.h"

#include <algorithm>
#include <cstdio>

#include "report.h"

namespace rtptools {

namespace {

constexpr int kLeft = 150, kLane = 74, kRate = 36, kJitter = 22;  // px

std::string Num(double v, const char* format = "%.1f") {
  char s[32];
  std::snprintf(s, sizeof s, format, v);
  return s;
}

std::string Hex(uint32_t v) {
  char s[16];
  std::snprintf(s, sizeof s, "0x%08x", v);
  return s;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : c == '"' ? "&quot;" : std::string(1, c);
  return out;
}

int64_t StartMs(const Summary& s) { return int64_t(s.header.startSec) * 1000 + s.header.startUsec / 1000; }

// The page's time axis: milliseconds since the earliest start to x.
struct Axis {
  int64_t originMs = INT64_MAX, spanMs = 1;
  double X(int64_t ms) const { return kLeft + double(ms - originMs) * kColumns / double(spanMs); }
  // Seconds of the axis per column, whole, at least one.
  int64_t SecondsPerColumn() const { return std::max<int64_t>(1, (spanMs / 1000 + kColumns - 1) / kColumns); }
};

// A series per second (negative: nothing then) as a polyline in a band
// `height` px tall whose bottom is at `bottom`, scaled to `top`; one point
// per column, the column's largest value.
template <typename T>
std::string Polyline(const std::vector<T>& perSecond, int64_t fileMs, const Axis& axis, double bottom, double height,
                     double top, const char* cls, double scale = 1) {
  const int64_t step = axis.SecondsPerColumn();
  std::string points;
  for (size_t s = 0; s < perSecond.size(); s += size_t(step)) {
    double v = -1;
    for (size_t i = s; i < std::min(perSecond.size(), s + size_t(step)); ++i) v = std::max(v, double(perSecond[i]) * scale);
    if (v < 0) continue;
    points += Num(axis.X(fileMs + int64_t(s) * 1000)) + "," + Num(bottom - std::min(v, top) * height / top) + " ";
  }
  return "<polyline class=\"" + std::string(cls) + "\" points=\"" + points + "\"/>";
}

std::string Lane(const PageFile& f, const StreamStats& st, const Axis& axis, double y) {
  const int64_t at = StartMs(f.summary);
  const auto busiest = std::max_element(st.packetsPerSecond.begin(), st.packetsPerSecond.end());
  const double rateTop = busiest == st.packetsPerSecond.end() ? 1 : std::max<double>(1, *busiest);
  const double jitterTop = std::max(1.0, st.jitter.Max());
  std::string out = "<g><text x=\"4\" y=\"" + Num(y + 14) + "\">" + Escape(f.path.substr(f.path.rfind('/') + 1)) +
                    "</text><text x=\"4\" y=\"" + Num(y + 30) + "\">" + Hex(st.ssrc) + " " +
                    (st.format.Known() ? st.format.Name() : "") + "</text><text class=\"small\" x=\"4\" y=\"" +
                    Num(y + 46) + "\">" + Num(rateTop, "%.0f") + " pkt/s, " + Num(jitterTop, "%.1f") +
                    " ms</text>";
  for (const auto& [from, length] : st.silences)
    out += "<rect class=\"silence\" x=\"" + Num(axis.X(at + from)) + "\" y=\"" + Num(y) + "\" width=\"" +
           Num(std::max(1.0, axis.X(at + from + length) - axis.X(at + from))) + "\" height=\"" + Num(kLane - 6) +
           "\"><title>silent " + Num(length / 1000.0, "%.1f") + " s</title></rect>";
  out += Polyline(st.packetsPerSecond, at, axis, y + kRate, kRate, rateTop, "rate");
  if (st.jitter.Rate()) out += Polyline(st.jitter.Seconds(), at, axis, y + kRate + kJitter + 4, kJitter, jitterTop, "jitter");
  for (size_t s = 0; s < st.lostPerSecond.size(); ++s)
    if (st.lostPerSecond[s])
      out += "<line class=\"loss\" x1=\"" + Num(axis.X(at + int64_t(s) * 1000)) + "\" x2=\"" +
             Num(axis.X(at + int64_t(s) * 1000)) + "\" y1=\"" + Num(y) + "\" y2=\"" + Num(y + kLane - 6) +
             "\"><title>" + std::to_string(st.lostPerSecond[s]) + " lost</title></line>";
  return out + "</g>\n";
}

// Ticks every 1, 2, 5, 10... seconds or minutes, about ten across.
std::string TimeAxis(const Axis& axis, double y) {
  static const int64_t kSteps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 14400, 86400};
  int64_t step = kSteps[0];
  for (int64_t s : kSteps)
    if ((step = s) * 1000 * 10 >= axis.spanMs) break;
  std::string out;
  for (int64_t t = 0; t * 1000 <= axis.spanMs; t += step)
    out += "<line class=\"tick\" x1=\"" + Num(axis.X(axis.originMs + t * 1000)) + "\" x2=\"" +
           Num(axis.X(axis.originMs + t * 1000)) + "\" y1=\"0\" y2=\"" + Num(y) + "\"/><text class=\"small\" x=\"" +
           Num(axis.X(axis.originMs + t * 1000)) + "\" y=\"" + Num(y + 14) + "\">" +
           FormatDuration(uint32_t(t * 1000)).substr(0, FormatDuration(uint32_t(t * 1000)).size() - 4) + "</text>";
  return out;
}

std::string Row(const PageFile& f, const StreamStats& st) {
  auto cell = [](const std::string& v) { return "<td>" + v + "</td>"; };
  return "<tr>" + cell(f.session >= 0 ? std::to_string(f.session) : "") + cell(Escape(f.path)) +
         cell(Hex(st.ssrc)) + cell(st.format.Known() ? st.format.Name() : "unknown") +
         cell(std::to_string(st.packets)) + cell(std::to_string(st.Lost())) + cell(std::to_string(st.duplicates)) +
         cell(std::to_string(st.sequenceErrors)) + cell(std::to_string(st.maxGapMs)) + cell(Num(st.MeanGapMs(), "%.3f")) +
         cell(st.jitter.Rate() ? Num(st.jitter.Max(), "%.3f") : "") + cell(st.jitter.Rate() ? Num(st.jitter.Mean(), "%.3f") : "") +
         cell(std::to_string(st.silences.size())) + "</tr>\n";
}

const char kStyle[] =
    "body{font:14px sans-serif;margin:1em}svg{width:100%;height:auto}text{font-size:12px}"
    ".small{font-size:10px;fill:#555}.session{fill:#f3f3f8}.rate{fill:none;stroke:#1f5fbf}"
    ".jitter{fill:none;stroke:#d9731a}.loss{stroke:#d00;stroke-width:2}.silence{fill:#999;opacity:.35}"
    ".tick{stroke:#ddd}table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:2px 6px;text-align:right}";

}  // namespace

std::string HtmlPage(const std::string& title, const std::vector<PageFile>& files) {
  Axis axis;
  int64_t end = 0;
  size_t lanes = 0;
  for (const PageFile& f : files) {
    if (f.summary.headerBytes == 0) continue;
    axis.originMs = std::min(axis.originMs, StartMs(f.summary));
    end = std::max(end, StartMs(f.summary) + f.summary.lastOffset);
    lanes += f.summary.streams.size();
  }
  if (lanes == 0) axis.originMs = end = 0;
  axis.spanMs = std::max<int64_t>(1000, end - axis.originMs);
  const double height = double(lanes * kLane + 20);
  std::string svg, rows;
  double y = 0;
  for (const PageFile& f : files) {
    if (f.summary.headerBytes == 0) continue;
    const int64_t at = StartMs(f.summary);
    if (f.session >= 0)
      svg += "<rect class=\"session\" x=\"" + Num(axis.X(at)) + "\" y=\"0\" width=\"" +
             Num(std::max(1.0, axis.X(at + f.summary.lastOffset) - axis.X(at))) + "\" height=\"" + Num(height - 20) +
             "\"><title>session " + std::to_string(f.session) + "</title></rect>";
    for (const StreamStats& st : f.summary.streams) {
      svg += Lane(f, st, axis, y);
      rows += Row(f, st);
      y += kLane;
    }
  }
  const std::string start = lanes ? FormatStart(files[0].summary.header) : "";
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + Escape(title) + "</title><style>" + kStyle +
         "</style></head><body>\n<h1>" + Escape(title) + "</h1>\n<p>From " + start +
         ", per source: packets per second (blue), jitter (orange), losses (red) and silences of 5 s or more "
         "(grey); each drawn at most " + std::to_string(axis.SecondsPerColumn()) + " s a step.</p>\n" +
         "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + std::to_string(kLeft + kColumns + 40) + " " +
         Num(height, "%.0f") + "\">\n" + svg + TimeAxis(axis, height - 20) + "</svg>\n" +
         "<table><tr><th>session</th><th>file</th><th>SSRC</th><th>format</th><th>packets</th><th>lost</th>"
         "<th>dup</th><th>seq err</th><th>max gap ms</th><th>mean gap ms</th><th>max jitter ms</th>"
         "<th>mean jitter ms</th><th>silences</th></tr>\n" + rows + "</table>\n</body></html>\n";
}

}  // namespace rtptools
