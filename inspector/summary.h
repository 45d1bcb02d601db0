// What a dump file holds: its header, packet counts, and per RTP source the
// payload types, sequence numbers, losses, duplicates, arrival gaps and
// jitter, and on request how each went second by second.
#ifndef RTPTOOLS_SUMMARY_H
#define RTPTOOLS_SUMMARY_H

#include <bitset>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "dumpfile.h"
#include "jitter.h"
#include "rtpformat.h"

namespace rtptools {

// One RTP source (SSRC). Sequence numbers are extended past their 16-bit
// wrap as in RFC 3550, each packet's against the highest seen so far, so
// reordering within half the number space is told from a wrap.
class StreamStats {
 public:
  explicit StreamStats(uint32_t ssrc);

  // One packet; the timestamp and the payload serve the jitter and, for a
  // dynamic payload type, the probe that finds its clock rate.
  void Add(uint16_t seq, uint8_t payloadType, uint32_t offsetMs, uint32_t timestamp = 0,
           const uint8_t* payload = nullptr, size_t size = 0);
  // Once every packet is in: the format and clock rate of the payload type
  // of the first packet, which the jitter is measured with.
  void Finish();
  void KeepTimeline();

  uint32_t ssrc;
  std::bitset<128> payloadTypes;
  uint64_t packets = 0;
  uint64_t duplicates = 0;   // packets whose sequence number came before
  uint32_t maxGapMs = 0;     // longest wait between two of its packets
  uint64_t bytes = 0;        // as stored
  // Packets whose number is not the one after the packet's before them:
  // out of order, duplicated, or after a gap.
  uint64_t sequenceErrors = 0;
  Jitter jitter;  // of the packets of the first packet's payload type
  Format format;  // of that payload type, after Finish(); may be unknown
  // With KeepTimeline(): per second of arrival, packets and packets missing
  // where the numbers jumped; and each wait of kSilenceMs or more (start, length).
  static constexpr uint32_t kSilenceMs = 5000;
  std::vector<uint32_t> packetsPerSecond, lostPerSecond;
  std::vector<std::pair<uint32_t, uint32_t>> silences;
  double MeanGapMs() const { return packets > 1 ? double(lastOffset_ - firstOffset_) / double(packets - 1) : 0; }
  uint32_t LastOffset() const { return lastOffset_; }
  int PayloadType() const { return mainType_; }  // of the first packet
  // Whether the payloads are still wanted, for the format.
  bool Probing() const { return !format.Known() && !rateOnly_; }
  // A dynamic payload type is identified from its first minute, so that
  // the jitter runs as the file is read from then on and the rest of a
  // long recording costs no probing. When the first minute does not tell
  // the format, its timestamps still tell the clock rate; only where they
  // do not either does the probing go on to the end.
  static constexpr uint32_t kProbeMs = 60000;
  uint16_t FirstSeq() const { return uint16_t(low_); }   // lowest, extended
  uint16_t LastSeq() const { return uint16_t(high_); }   // highest, extended
  uint64_t Expected() const { return packets ? uint64_t(high_ - low_ + 1) : 0; }
  uint64_t Lost() const { return Expected() - (packets - duplicates); }

 private:
  void Mark(int64_t ext, uint32_t offsetMs);  // losses and silences

  int64_t low_ = 0, high_ = 0;
  uint32_t firstOffset_ = 0, lastOffset_ = 0;
  uint16_t prevSeq_ = 0;
  int mainType_ = -1;
  bool keepTimeline_ = false, settled_ = false, rateOnly_ = false;
  FormatProbe probe_;  // for a main payload type without a static format
  // Which of the 65536 numbers up to high_ have arrived; no packet is
  // placed further back than that.
  std::vector<uint64_t> seen_;
};

struct Summary {
  std::string text;   // the text line after the magic
  FileHeader header;
  uint64_t headerBytes = 0;
  uint64_t rtp = 0, rtcp = 0, nonRtp = 0;
  uint64_t rtpBytes = 0, rtcpBytes = 0, nonRtpBytes = 0;  // as stored
  uint32_t lastOffset = 0;  // ms: the recording's length
  // kEnd for a whole file; otherwise why reading stopped, at byte damageAt.
  DumpReader::Status end = DumpReader::kNotDump;
  uint64_t damageAt = 0;
  std::vector<StreamStats> streams;  // in order of first appearance
  uint64_t untracked = 0;  // RTP packets of sources beyond kMaxStreams

  static constexpr size_t kMaxStreams = 1024;

  // Keep each source's timeline (see StreamStats::KeepTimeline).
  bool keepTimeline = false;

  // Counts one record.
  void Add(const Record& record);
  // Once every record is in (see StreamStats::Finish).
  void Finish();

 private:
  std::unordered_map<uint32_t, size_t> index_;  // SSRC to streams[]
};

// Reads the dump file open on `fd` from its start to its end or to the
// first damage, and finishes it. Returns Summary::end.
DumpReader::Status Summarize(int fd, Summary* summary);

}  // namespace rtptools

#endif
