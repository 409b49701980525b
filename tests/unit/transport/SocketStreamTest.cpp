#include <gtest/gtest.h>

#include <chrono>

#include "Corvantis2/unix/aStreamSocket.h"
#include "LocalPeer.h"
#include "NetNamespace.h"

namespace {

// Polls get until a byte comes or the time is up.
aErr GetWithin(aStream* stream, uint8_t* byte, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  aErr err = aErrNotReady;
  while (std::chrono::steady_clock::now() < deadline) {
    err = aStream_Read(stream, byte, 1);
    if (err != aErrNotReady) return err;
    usleep(2000);
  }
  return err;
}

TEST(SocketStream, NoListenerGivesResourceAndNoStream) {
  uint16_t port = 0;
  {
    LocalPeer gone;
    port = gone.port();
  }
  aStream* stream = reinterpret_cast<aStream*>(0x1);
  EXPECT_EQ(aStream_CreateSocket(LocalPeer::Loopback(), port, &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateSocket(LocalPeer::Loopback(), port, nullptr), aErrResource);
}

TEST(SocketStream, GetsAnswerNotReadyUntilBytesArrive) {
  LocalPeer peer;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LocalPeer::Loopback(), peer.port(), &stream), aErrNone);
  ASSERT_TRUE(peer.Accept());
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  const uint8_t sent = 0x5A;
  peer.Send(&sent, 1);
  EXPECT_EQ(GetWithin(stream, &byte, 1000), aErrNone);
  EXPECT_EQ(byte, 0x5A);
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST(SocketStream, WritesReachThePeer) {
  LocalPeer peer;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LocalPeer::Loopback(), peer.port(), &stream), aErrNone);
  ASSERT_TRUE(peer.Accept());
  const uint8_t packet[] = {0x06, 0x03, 0x03, 0x49, 0x20};
  EXPECT_EQ(aStream_Write(stream, packet, sizeof packet), aErrNone);
  uint8_t got[16] = {};
  ASSERT_EQ(peer.Receive(got, sizeof got), sizeof packet);
  EXPECT_EQ(0, memcmp(got, packet, sizeof packet));
  aStream_Destroy(&stream);
}

TEST(SocketStream, PeerThatClosedReadsAsNotReadyForEver) {
  LocalPeer peer;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LocalPeer::Loopback(), peer.port(), &stream), aErrNone);
  ASSERT_TRUE(peer.Accept());
  const uint8_t last = 7;
  peer.Send(&last, 1);
  peer.CloseConnection();
  uint8_t byte = 0;
  ASSERT_EQ(GetWithin(stream, &byte, 1000), aErrNone);
  EXPECT_EQ(byte, 7);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  aStream_Destroy(&stream);
}

TEST(SocketStream, ReadAfterResetReconnectsToTheSameListener) {
  LocalPeer peer;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LocalPeer::Loopback(), peer.port(), &stream), aErrNone);
  ASSERT_TRUE(peer.Accept());
  peer.ResetConnection();
  usleep(20000);
  uint8_t byte = 0;
  // The reset is noticed by this read, which reconnects; nothing to read yet.
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  ASSERT_TRUE(peer.Accept());
  const uint8_t sent = 0x42;
  peer.Send(&sent, 1);
  EXPECT_EQ(GetWithin(stream, &byte, 1000), aErrNone);
  EXPECT_EQ(byte, 0x42);
  aStream_Destroy(&stream);
}

TEST(SocketStream, ReadAfterResetWithListenerGoneGivesConnectionError) {
  LocalPeer peer;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LocalPeer::Loopback(), peer.port(), &stream), aErrNone);
  ASSERT_TRUE(peer.Accept());
  peer.CloseListener();
  peer.ResetConnection();
  usleep(20000);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);
  // Disconnected now: reads and writes refuse without trying.
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);
  EXPECT_EQ(aStream_Write(stream, &byte, 1), aErrConnection);
  aStream_Destroy(&stream);
}

TEST(SocketStream, WriteAfterResetWithListenerGoneStopsAtOnce) {
  LocalPeer peer;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LocalPeer::Loopback(), peer.port(), &stream), aErrNone);
  ASSERT_TRUE(peer.Accept());
  peer.CloseListener();
  peer.ResetConnection();
  usleep(20000);
  const uint8_t bytes[4] = {1, 2, 3, 4};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aStream_Write(stream, bytes, sizeof bytes), aErrConnection);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);
  aStream_Destroy(&stream);
}

TEST(SocketStream, WriteAfterResetReconnectsAndDelivers) {
  LocalPeer peer;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LocalPeer::Loopback(), peer.port(), &stream), aErrNone);
  ASSERT_TRUE(peer.Accept());
  peer.ResetConnection();
  usleep(20000);
  const uint8_t bytes[4] = {1, 2, 3, 4};
  EXPECT_EQ(aStream_Write(stream, bytes, sizeof bytes), aErrNone);
  ASSERT_TRUE(peer.Accept());
  uint8_t got[8] = {};
  EXPECT_EQ(peer.Receive(got, sizeof got), sizeof bytes);
  aStream_Destroy(&stream);
}

TEST(SocketStream, WriteToAFullPeerGivesUpAfterTenTries) {
  LocalPeer peer;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LocalPeer::Loopback(), peer.port(), &stream), aErrNone);
  ASSERT_TRUE(peer.Accept());
  peer.SetReceiveBuffer(4096);
  // Fill both buffers: the peer never reads.
  std::vector<uint8_t> big(8 << 20, 0x55);
  EXPECT_EQ(aStream_Write(stream, big.data(), big.size()), aErrNone);
  uint8_t hundred[100] = {};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aStream_Write(stream, hundred, sizeof hundred), aErrNone);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // Ten tries, 60 ms apart: the write is bounded and does not return early.
  EXPECT_GE(elapsed, std::chrono::milliseconds(9 * aSOCKET_RETRY_PAUSE_MS));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  aStream_Destroy(&stream);
}

// A peer that never answers (its SYNs vanish): creation gives up after the
// connect bound instead of the kernel's minutes.
TEST(SocketStream, SilentPeerGivesUpAfterTheConnectBound) {
  RUN_IN_PRIVATE_NETWORK([]() -> std::string {
    // Frames to this address leave vA with a MAC nobody has; vB drops them.
    if (std::system("ip neigh add 10.0.0.99 lladdr 02:00:00:00:00:99 dev vA nud permanent") != 0)
      return "could not add the neighbour entry";
    in_addr nowhere{};
    inet_pton(AF_INET, "10.0.0.99", &nowhere);
    aStream* stream = nullptr;
    const auto start = std::chrono::steady_clock::now();
    const aErr err = aStream_CreateSocket(nowhere.s_addr, 6000, &stream);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (err != aErrResource || stream) return "creation did not fail with aErrResource";
    if (elapsed < std::chrono::milliseconds(aSOCKET_CONNECT_TIMEOUT_MS - 100) ||
        elapsed > std::chrono::seconds(10))
      return "gave up after " +
             std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()) + " ms";
    return "";
  });
}

}  // namespace
