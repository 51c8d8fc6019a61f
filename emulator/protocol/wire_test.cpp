// Frames with bytes viewed rather than copied, and bodies read piece by piece.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <numeric>
#include <thread>

#include "wire.hpp"

namespace emu::wire {
namespace {

struct SocketPair {
  int fds[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
  ~SocketPair() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
};

TEST(Writer, ViewsAreSentInPlaceBetweenTheCopiedBytes) {
  std::vector<std::uint8_t> big(100000);
  std::iota(big.begin(), big.end(), 0);
  std::vector<std::uint8_t> small = {1, 2, 3};
  auto kept = std::make_shared<int>(0);
  Writer w;
  w.put<std::uint32_t>(7).put_view(big, kept).put<std::uint8_t>(9).put_view(small).put_view({});
  w.put<std::uint16_t>(5);
  EXPECT_EQ(w.size(), 4 + 4 + big.size() + 1 + 4 + 3 + 4 + 2);
  EXPECT_EQ(kept.use_count(), 2);

  SocketPair pair;
  std::thread sender([&] { EXPECT_TRUE(send_frame(pair.fds[0], 42, w)); });
  FrameHeader header;
  std::vector<std::uint8_t> payload;
  ASSERT_EQ(recv_frame(pair.fds[1], header, payload, nullptr), RecvResult::Ok);
  sender.join();
  EXPECT_EQ(header.code, 42u);
  Reader r(payload);
  EXPECT_EQ(r.get<std::uint32_t>(), 7u);
  auto got = r.get_bytes(kMaxPayload);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), big.begin(), big.end()));
  EXPECT_EQ(r.get<std::uint8_t>(), 9);
  got = r.get_bytes(kMaxPayload);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), small.begin(), small.end()));
  EXPECT_EQ(r.get_bytes(kMaxPayload).size(), 0u);
  EXPECT_EQ(r.get<std::uint16_t>(), 5);
  EXPECT_TRUE(r.at_end());

  w.clear();
  EXPECT_EQ(w.size(), 0u);
  EXPECT_EQ(kept.use_count(), 1);
}

TEST(BodyReader, ReadsPastTheEndFailWithoutTakingBytesOfTheNextFrame) {
  SocketPair pair;
  std::vector<std::uint8_t> first = {1, 2, 3, 4, 5}, second = {6};
  ASSERT_TRUE(send_frame(pair.fds[0], 1, first));
  ASSERT_TRUE(send_frame(pair.fds[0], 2, second));
  FrameHeader header;
  ASSERT_EQ(recv_header(pair.fds[1], header, nullptr), RecvResult::Ok);
  BodyReader body(pair.fds[1], header.length);
  std::uint32_t word = 0;
  ASSERT_TRUE(body.get(word));
  EXPECT_EQ(word, 0x04030201u);
  EXPECT_FALSE(body.get(word));
  EXPECT_FALSE(body.broken());
  EXPECT_EQ(body.left(), 1u);
  EXPECT_TRUE(body.skip_rest());
  std::vector<std::uint8_t> payload;
  ASSERT_EQ(recv_frame(pair.fds[1], header, payload, nullptr), RecvResult::Ok);
  EXPECT_EQ(header.code, 2u);
  EXPECT_EQ(payload, second);
}

TEST(BodyReader, SmallFieldsAndLargeBlocksComeOutInOrder) {
  SocketPair pair;
  std::vector<std::uint8_t> body(300000);
  std::iota(body.begin(), body.end(), 0);
  std::thread sender([&] { EXPECT_TRUE(send_frame(pair.fds[0], 1, body)); });
  FrameHeader header;
  ASSERT_EQ(recv_header(pair.fds[1], header, nullptr), RecvResult::Ok);
  BodyReader reader(pair.fds[1], header.length);
  std::vector<std::uint8_t> got(body.size());
  std::size_t at = 0;
  for (std::size_t piece : {1, 4, 100, 200000, 3, 255, 256, 99000}) {
    ASSERT_TRUE(reader.read(got.data() + at, piece));
    at += piece;
  }
  ASSERT_TRUE(reader.read(got.data() + at, body.size() - at));
  sender.join();
  EXPECT_EQ(reader.left(), 0u);
  EXPECT_EQ(got, body);
}

TEST(BodyReader, APeerThatHangsUpMidBodyBreaksIt) {
  SocketPair pair;
  FrameHeader header{kMagic, 3, 100};
  ASSERT_EQ(::write(pair.fds[0], &header, sizeof(header)), static_cast<ssize_t>(sizeof(header)));
  ASSERT_EQ(::write(pair.fds[0], "abc", 3), 3);
  ::shutdown(pair.fds[0], SHUT_WR);
  ASSERT_EQ(recv_header(pair.fds[1], header, nullptr), RecvResult::Ok);
  BodyReader body(pair.fds[1], header.length);
  EXPECT_FALSE(body.skip_rest());
  EXPECT_TRUE(body.broken());
}

TEST(RecvHeader, RefusesLengthsOverTheBoundBeforeAnyBody) {
  SocketPair pair;
  FrameHeader header{kMagic, 3, kMaxPayload + 1};
  ASSERT_EQ(::write(pair.fds[0], &header, sizeof(header)), static_cast<ssize_t>(sizeof(header)));
  EXPECT_EQ(recv_header(pair.fds[1], header, nullptr), RecvResult::Malformed);
}

}  // namespace
}  // namespace emu::wire
