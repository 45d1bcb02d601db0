// Sockets, RTP packets and dump-file reading for the end-to-end tests.
#ifndef RTPTOOLS_TESTS_UDP_HELPERS_H
#define RTPTOOLS_TESTS_UDP_HELPERS_H

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dumpfile.h"
#include "process.h"

// One record as read back from a dump file.
struct DumpRecord {
  uint16_t plen;
  uint32_t offset;
  std::string data;
  bool operator==(const DumpRecord& o) const {
    return plen == o.plen && offset == o.offset && data == o.data;
  }
};

struct DumpContents {
  rtptools::DumpReader::Status end = rtptools::DumpReader::kNotDump;
  std::string text;
  rtptools::FileHeader header;
  std::vector<DumpRecord> records;
};
DumpContents ReadDump(const std::string& path);
// Writes a dump file with the given records, as the recorder would.
void WriteDump(const std::string& path, const std::string& text,
               const std::vector<DumpRecord>& records);

// An RTP packet of `size` bytes (at least 12) with a recognisable payload.
std::string RtpPacket(uint16_t seq, uint32_t ssrc, size_t size);
// An RTCP sender report carrying `n` in its packet count.
std::string RtcpReport(uint32_t ssrc, uint32_t n);
uint16_t RtpSeq(const std::string& packet);

// A UDP socket bound to a numeric address and port; reuse lets it share the
// port. A multicast group is joined. Fails the test (returns -1) on error.
int BindUdp(const std::string& host, uint16_t port, bool reuse = false);
// A socket to send from, multicast loopback on.
int SenderSocket(const std::string& host);
void SendTo(int fd, const std::string& host, uint16_t port, const std::string& data);
// Datagrams arriving on `fd` until `count` have come or `seconds` passed.
std::vector<std::string> ReceiveUpTo(int fd, size_t count, double seconds);
// The same with their arrival times (CLOCK_REALTIME seconds, from the kernel on
// sockets made by BindUdp; else when read, on the monotonic clock).
struct Arrival {
  double when;
  std::string data;
};
std::vector<Arrival> ReceiveTimed(int fd, size_t count, double seconds);
// One datagram waiting on `fd`, if there is one.
bool ReceiveOne(int fd, Arrival* out);

// A datagram sent to PORT (RTP) or PORT + 1 (RTCP).
struct Sent {
  bool rtcp;
  std::string data;
};
// RTP of varied sizes with an RTCP report after every fifth packet.
std::vector<Sent> Stream(int count, uint32_t ssrc);
void SendStream(const std::string& host, uint16_t port, const std::vector<Sent>& stream);
// The file holds exactly `stream`, in order, RTCP marked by plen 0, offsets
// never decreasing.
void ExpectRecorded(const DumpContents& c, const std::vector<Sent>& stream);

// Compares datagram lists, reporting the first difference briefly.
::testing::AssertionResult SameDatagrams(const std::vector<std::string>& got,
                                         const std::vector<std::string>& want);

// An even port with it and the next one free for UDP, of both families.
uint16_t FreePortPair();
// Polls until `path` is at least `size` bytes long, for at most `seconds`.
bool WaitForFileSize(const std::string& path, long size, double seconds);

// A program run in `dir` with the built tools first on PATH.
ProcessOptions InDir(const TempDir& dir);

#endif
