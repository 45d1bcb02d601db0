// Datagrams, RTP packets, dump files and a network of the tests' own.
#ifndef CONFREC_TESTS_UDP_H
#define CONFREC_TESTS_UDP_H

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dumpfile.h"
#include "process.h"

// Moves the test process into a network namespace of its own with lo up,
// where no other program takes a port; where that is not allowed, it stays
// on the machine's loopback. OwnNetwork() tells which. Either way it waits
// until the kernel stamps datagrams as they come in.
void UseOwnNetwork();
bool OwnNetwork();
// An even port that no other test uses, and the one above it.
uint16_t PortPair();

// A UDP socket bound to a numeric address and port, with kernel receive
// times; a multicast group is joined and shared. -1 (a test failure) on error.
int BindUdp(const std::string& host, uint16_t port);
void SendTo(int fd, const std::string& host, uint16_t port, const std::string& data);
// The datagrams on `fd`: at least `count` of them if they come within
// 10 s × Scale(), and any more that are queued by then; in `when`, their
// kernel receive times in CLOCK_REALTIME seconds.
std::vector<std::string> Receive(int fd, size_t count, std::vector<double>* when = nullptr);

std::string RtpPacket(uint16_t seq, uint32_t ssrc, size_t size);
std::string RtcpReport(uint32_t ssrc, uint32_t n);

// A datagram as a dump file holds it: plen 0 marks RTCP, sent to PORT + 1.
struct DumpRecord {
  uint16_t plen;
  uint32_t offset;
  std::string data;
  bool operator==(const DumpRecord& o) const { return plen == o.plen && offset == o.offset && data == o.data; }
};
// RTP of varied sizes with an RTCP report after every fifth packet; offsets
// from `first` ms on, `step` ms apart.
std::vector<DumpRecord> Stream(int count, uint32_t ssrc, uint32_t first = 0, uint32_t step = 0);
void SendStream(const std::string& host, uint16_t port, const std::vector<DumpRecord>& stream);

struct DumpContents {
  rtptools::DumpReader::Status end = rtptools::DumpReader::kNotDump;
  std::string text;
  rtptools::FileHeader header;
  std::vector<DumpRecord> records;
};
// The records from `from` ms on, as a player skips to them.
DumpContents ReadDump(const std::string& path, uint32_t from = 0);
void WriteDump(const std::string& path, const std::string& text, const std::vector<DumpRecord>& records,
               const rtptools::FileHeader& header = {1700000000, 0, 0, 5004});
// The file ends cleanly and holds exactly `stream`, in order, offsets never
// decreasing.
void ExpectRecorded(const DumpContents& c, const std::vector<DumpRecord>& stream);
// The records of `records` at `from` ms or later, RTP or RTCP.
std::vector<std::string> Due(const std::vector<DumpRecord>& records, bool rtcp, uint32_t from = 0);
// What arrives on `fd` is `want`, and no more.
inline bool Received(int fd, const std::vector<std::string>& want) { return Receive(fd, want.size()) == want; }

// Waits until `file` holds the header that a recorder of `target` writes
// and, after it, the records of `stream`.
bool WaitForDump(const std::string& file, const std::string& target, const std::vector<DumpRecord>& stream = {});
// A program run in `dir` with the built tools first on PATH.
ProcessOptions InDir(const TempDir& dir);

#endif
