#include "receiver.h"

#include <unistd.h>

#include "udp.h"

using namespace rtptools;

// Both sockets of a recorder are merged in arrival order; what came after the
// cut, or found no room, is held for the next call; a batch at a time is taken.
TEST(Receiver, MergesBothSocketsHoldsBackWhatCameAfterTheCutTakesBatches) {
  const uint16_t port = PortPair();
  const int fds[2] = {BindUdp("127.0.0.1", port), BindUdp("127.0.0.1", uint16_t(port + 1))};
  const int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  auto send = [&](bool rtcp, const std::string& data) { SendTo(tx, "127.0.0.1", uint16_t(port + rtcp), data); };
  Receiver receiver;
  // Takes from the sockets until `n` datagrams have come in all.
  auto takeAll = [&](int n) {
    int got = 0;
    return WaitUntil([&] {
      int64_t last = 0;
      for (int rtcp = 0; rtcp < 2; ++rtcp) got += receiver.Receive(fds[rtcp], rtcp, &last);
      return got == n;
    }, 10);
  };
  // Releases up to `cut`, taking at most `room` datagrams; their first bytes.
  std::vector<std::pair<int64_t, bool>> taken;  // arrival, RTCP
  auto release = [&](int64_t cut, size_t room = 1000) {
    std::string order;
    receiver.Release(cut, [&](int64_t arrival, bool rtcp, uint16_t, const uint8_t* data, size_t size) {
      if (room-- == 0) return false;
      taken.push_back({arrival, rtcp});
      order.append(reinterpret_cast<const char*>(data), std::min<size_t>(size, 1));
      return true;
    });
    return order;
  };

  for (auto [rtcp, data] : {std::pair{false, "a"}, {true, "b"}, {false, "c"}}) send(rtcp, data);
  ASSERT_TRUE(takeAll(3));
  EXPECT_EQ(release(-1, 1), "a");
  EXPECT_EQ(release(taken[0].first), "");  // b and c came later
  EXPECT_TRUE(receiver.Holding());
  send(true, "d");
  ASSERT_TRUE(takeAll(1));
  EXPECT_EQ(release(-1), "bcd");
  EXPECT_FALSE(receiver.Holding());
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(taken[i].second, i % 2 == 1) << i;
  // All are queued when the sends return: a full batch first, then the rest.
  for (int i = 0; i < Receiver::kBatch + 6; ++i) send(false, std::string(1, char('0' + i % 10)));
  int64_t last = -1;
  EXPECT_EQ(receiver.Receive(fds[0], false, &last), Receiver::kBatch);
  EXPECT_GT(last, 0);
  ASSERT_TRUE(takeAll(6));
  EXPECT_EQ(release(-1).size(), size_t(Receiver::kBatch + 6));
  close(fds[0]), close(fds[1]), close(tx);
}
