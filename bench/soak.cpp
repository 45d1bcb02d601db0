// soak: holds two recorders under a conference's load and says whether they
// kept every datagram, with flat memory.
//   soak RTPDUMP [SECONDS]   (default 60; run as root inside bench/run's
//                             network, or anywhere ports 21000..21003 are free)
// Every 10 ms: audio at 50 packets/s of 172 bytes, video at 30 frames/s of 5
// packets of 1200 bytes; a sender report on each RTCP port each second.
// Exit status 1 if a datagram is missing or out of order, or if resident
// memory grew by more than 1 MiB (what a late flush may hold) after 5 s.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "clock.h"
#include "dumpfile.h"

using namespace rtptools;

namespace {

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: soak RTPDUMP [SECONDS]\n");
    return 64;
  }
  const long seconds = argc > 2 ? std::max(10L, std::atol(argv[2])) : 60;
  const uint16_t ports[2] = {21000, 21002};
  const std::string files[2] = {"soak.a.rtp", "soak.v.rtp"};
  pid_t pids[2];
  for (int m = 0; m < 2; ++m) {
    const std::string target = "127.0.0.1/" + std::to_string(ports[m]);
    if ((pids[m] = fork()) == 0) {
      execl(argv[1], "rtpdump", "-d", files[m].c_str(), target.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  const int64_t start = NowNs() + kNsPerSecond;  // the recorders bind meanwhile
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::vector<std::string> sent[2];
  long base[2] = {0, 0}, peak[2] = {0, 0};
  for (long tick = 0; tick < seconds * 100; ++tick) {
    SleepUntilNs(start + tick * 10 * kNsPerMs);
    auto send = [&](int m, bool rtcp, size_t size) {
      std::string p(size, char(sent[m].size()));
      p[0] = char(0x80);
      p[1] = char(rtcp ? 200 : 96);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(uint16_t(ports[m] + rtcp));
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      sent[m].push_back(p);
    };
    if (tick % 2 == 0) send(0, false, 172);
    for (long n = (tick + 1) * 150 / 100 - tick * 150 / 100; n > 0; --n) send(1, false, 1200);
    for (int m = 0; m < 2 && tick % 100 == 50; ++m) send(m, true, 28);
    for (int m = 0; m < 2 && tick % 100 == 99; ++m) {
      if (tick < 500) base[m] = RssKb(pids[m]);
      else peak[m] = std::max(peak[m], RssKb(pids[m]));
    }
  }
  int failed = 0;
  for (int m = 0; m < 2; ++m) {
    kill(pids[m], SIGINT);
    waitpid(pids[m], nullptr, 0);
    const int in = open(files[m].c_str(), O_RDONLY | O_CLOEXEC);
    DumpReader reader(in);
    reader.ReadHeader(nullptr, nullptr);
    Record r;
    size_t kept = 0;
    while (reader.Next(&r) == DumpReader::kOk && kept < sent[m].size() &&
           std::string(reinterpret_cast<const char*>(r.data), r.size) == sent[m][kept])
      ++kept;
    close(in);
    std::printf("%s: %zu of %zu datagrams in order, VmRSS %ld kB after 5 s, at most %ld kB later\n",
                m ? "video" : "audio", kept, sent[m].size(), base[m], peak[m]);
    failed |= kept != sent[m].size() || peak[m] > base[m] + 1024;
  }
  return failed;
}
