// Measures the dump-file writer and reader, the recorder's loss-free
// receive rate on loopback, and how closely the player keeps its schedule.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dumpfile.h"

extern char** environ;
using namespace rtptools;

namespace {

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void SleepUntil(double t) {
  timespec ts{time_t(t), long((t - time_t(t)) * 1e9)};
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    std::perror(argv[0]);
    std::exit(1);
  }
  return pid;
}

long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

void FileThroughput(const std::string& dir) {
  const std::string path = dir + "/bench.rtp";
  const int n = 1000000;
  std::string data(200, 'r');
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  double t0 = Now();
  DumpWriter w(fd);
  w.WriteHeader("127.0.0.1/5004", FileHeader());
  for (int i = 0; i < n; ++i) {
    w.Add(200, uint32_t(i / 50), data.data(), data.size());
    if (w.Pending() >= (1 << 20)) w.Flush();
  }
  w.Flush();
  fsync(fd);
  close(fd);
  double write = Now() - t0;
  t0 = Now();
  fd = open(path.c_str(), O_RDONLY);
  DumpReader r(fd);
  r.ReadHeader(nullptr, nullptr);
  Record rec;
  long count = 0, bytes = 0;
  while (r.Next(&rec) == DumpReader::kOk) ++count, bytes += long(rec.size);
  close(fd);
  double read = Now() - t0;
  double mb = double(FileSize(path)) / 1e6;
  std::printf("file   writer: %d records of 200 B in %.2f s: %.0f records/s, %.0f MB/s (with fsync)\n", n,
              write, n / write, mb / write);
  std::printf("file   reader: %ld records in %.2f s: %.0f records/s, %.0f MB/s (page cache)\n", count,
              read, double(count) / read, mb / read);
  unlink(path.c_str());
}

void RecorderRate(const std::string& rtpdump, const std::string& dir, int rate, double seconds) {
  const uint16_t port = uint16_t(43000 + 2 * (rate / 1000 % 500));
  const std::string file = dir + "/rec.rtp", target = "127.0.0.1/" + std::to_string(port);
  unlink(file.c_str());
  pid_t pid = Spawn({rtpdump, "-F", "dump", "-t", "5", "-d", file, target});
  for (int i = 0; i < 500 && FileSize(file) < 40; ++i) usleep(10000);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = Loopback(port);
  std::string pkt(200, '\0');
  pkt[0] = char(0x80);
  const double start = Now();
  const int perTick = std::max(1, rate / 1000);  // bursts every millisecond
  long sent = 0, target_count = long(rate * seconds);
  while (sent < target_count) {
    SleepUntil(start + double(sent) / rate);
    for (int i = 0; i < perTick && sent < target_count; ++i, ++sent) {
      pkt[2] = char(sent >> 8), pkt[3] = char(sent);
      sendto(fd, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
  }
  double took = Now() - start;
  close(fd);
  usleep(200000);
  kill(pid, SIGINT);
  waitpid(pid, nullptr, 0);
  int in = open(file.c_str(), O_RDONLY);
  DumpReader r(in);
  r.ReadHeader(nullptr, nullptr);
  Record rec;
  long got = 0;
  while (r.Next(&rec) == DumpReader::kOk) ++got;
  close(in);
  std::printf("record %7d/s offered: sent %ld in %.2f s (%.0f/s), recorded %ld (%.2f%%)\n", rate, sent,
              took, double(sent) / took, got, 100.0 * double(got) / double(sent));
  unlink(file.c_str());
}

void PlayerSchedule(const std::string& rtpplay, const std::string& dir, int everyMs, int count) {
  const std::string file = dir + "/play.rtp";
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  DumpWriter w(fd);
  w.WriteHeader("h/2", FileHeader());
  std::string pkt(200, '\0');
  for (int i = 0; i < count; ++i) {
    std::memcpy(&pkt[4], &i, sizeof i);
    w.Add(200, uint32_t(i * everyMs), pkt.data(), pkt.size());
  }
  w.Flush();
  close(fd);
  const uint16_t port = 44000;
  int rx = socket(AF_INET, SOCK_DGRAM, 0);
  int big = 8 << 20;
  setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
  sockaddr_in at = Loopback(port);
  bind(rx, reinterpret_cast<sockaddr*>(&at), sizeof at);
  pid_t pid = Spawn({rtpplay, "-f", file, "-o", "0", "127.0.0.1/" + std::to_string(port) + "/1"});
  std::vector<double> late;
  double first = 0;
  const double end = Now() + count * everyMs / 1000.0 + 5;
  while (int(late.size()) < count && Now() < end) {
    pollfd p{rx, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    int i;
    char buf[256];
    if (recv(rx, buf, sizeof buf, 0) < 8) continue;
    double t = Now();
    std::memcpy(&i, buf + 4, sizeof i);
    if (late.empty()) first = t;
    late.push_back((t - first) * 1000 - double(i) * everyMs);
  }
  waitpid(pid, nullptr, 0);
  close(rx);
  unlink(file.c_str());
  double sum = 0, max = 0;
  for (double l : late) sum += l, max = std::max(max, l);
  std::sort(late.begin(), late.end());
  std::printf("play   every %d ms x %d: received %zu, lateness mean %.3f ms, p99 %.3f ms, max %.3f ms\n",
              everyMs, count, late.size(), late.empty() ? 0 : sum / double(late.size()),
              late.empty() ? 0 : late[late.size() * 99 / 100], max);
}

}  // namespace

int main(int argc, char** argv) {
  std::string bin = argc > 1 ? argv[1] : RTPTOOLS_BIN_DIR;
  char tmpl[] = "/tmp/rtpbench.XXXXXX";
  std::string dir = mkdtemp(tmpl);
  FileThroughput(dir);
  for (int rate : {10000, 50000, 100000, 200000, 400000}) RecorderRate(bin + "/rtpdump", dir, rate, 2);
  PlayerSchedule(bin + "/rtpplay", dir, 20, 500);
  PlayerSchedule(bin + "/rtpplay", dir, 1, 5000);
  rmdir(dir.c_str());
  return 0;
}
