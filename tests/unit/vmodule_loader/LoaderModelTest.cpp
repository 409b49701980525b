// The virtual module's loader driven with the host's exact request bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <thread>

#include "sim/birdwriter/BirdWriter.h"
#include "sim/birdwriter/VirtualImage.h"
#include "sim/vmodule/Loader.h"
#include "support/TempDir.h"

namespace {

using vmodule::LinkEvent;
using vmodule::LoaderBytes;
using vmodule::LoaderModel;
using vmodule::LoaderOutcome;
using vmodule::LoaderSettings;

LoaderBytes Pattern(size_t size, uint8_t seed = 1) {
  LoaderBytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 37 + (i >> 8));
  return bytes;
}

uint32_t HostSum(const uint8_t* bytes, size_t length) {
  return std::accumulate(bytes, bytes + length, uint32_t{0});
}

LoaderBytes Prepare(uint32_t address, uint8_t flags = 0) {
  return {0x5F,
          3,
          flags,
          static_cast<uint8_t>(address >> 24),
          static_cast<uint8_t>(address >> 16),
          static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address)};
}

LoaderBytes Write(uint16_t count) {
  return {0x5F, 5, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
}

LoaderBytes SumReply(uint32_t sum) {
  return {0x5F,
          7,
          0,
          static_cast<uint8_t>(sum >> 24),
          static_cast<uint8_t>(sum >> 16),
          static_cast<uint8_t>(sum >> 8),
          static_cast<uint8_t>(sum)};
}

// The option-10 packets of one byte sequence, as the host encodes them.
std::vector<LoaderBytes> SequencePackets(const uint8_t* bytes, size_t length) {
  std::vector<LoaderBytes> packets;
  size_t at = 0;
  uint8_t number = 0;
  do {
    const size_t chunk = std::min<size_t>(24, length - at);
    LoaderBytes p{0x5F, 0x8A, 0x20};
    p.insert(p.end(), bytes + at, bytes + at + chunk);
    at += chunk;
    p.push_back(static_cast<uint8_t>((number++ & 0x7F) | (at < length ? 0x80 : 0)));
    packets.push_back(std::move(p));
  } while (at < length);
  return packets;
}

class LoaderTest : public ::testing::Test {
 protected:
  explicit LoaderTest(LoaderSettings settings = {}) : model_(settings) {}

  // The one reply a request must get.
  LoaderBytes Ask(const LoaderBytes& request) {
    LoaderOutcome out = model_.Handle(request);
    EXPECT_EQ(out.event, LinkEvent::kNone);
    if (out.replies.size() != 1) {
      ADD_FAILURE() << "expected one reply, got " << out.replies.size();
      return {};
    }
    return out.replies[0];
  }

  // Sends a chunk in plain DATA packets of 26 bytes; each must be taken whole.
  void SendPlain(const uint8_t* bytes, size_t length) {
    for (size_t at = 0; at < length; at += 26) {
      const size_t n = std::min<size_t>(26, length - at);
      LoaderBytes request{0x5F, 1};
      request.insert(request.end(), bytes + at, bytes + at + n);
      ASSERT_EQ(Ask(request), (LoaderBytes{0x5F, 1, static_cast<uint8_t>(n)})) << "at " << at;
    }
  }

  // Sends a chunk as one option-10 sequence; only the last packet is answered.
  void SendSequence(const uint8_t* bytes, size_t length) {
    auto packets = SequencePackets(bytes, length);
    for (size_t i = 0; i + 1 < packets.size(); ++i) {
      ASSERT_TRUE(model_.Handle(packets[i]).replies.empty()) << "packet " << i;
    }
    ASSERT_EQ(Ask(packets.back()), (LoaderBytes{0x5F, 0xCA, 0x00}));
  }

  void ExpectSum(uint32_t sum) { EXPECT_EQ(Ask({0x5F, 4}), SumReply(sum)); }

  // INIT, one loader block into RAM, LOAD, back on the new link.
  void EnterLoader() {
    Ask({0x5F, 0});
    Ask(Prepare(0x20000000));
    const LoaderBytes loader = Pattern(40, 9);
    SendPlain(loader.data(), loader.size());
    ExpectSum(HostSum(loader.data(), loader.size()));
    LoaderOutcome load = model_.Handle({0x5F, 2});
    ASSERT_EQ(load.event, LinkEvent::kRestart);
    ASSERT_EQ(model_.OnLinkUp(), (std::vector<LoaderBytes>{{0x5F, 2}}));
  }

  // One firmware block, chunk by chunk as the host does: DATA, SUM, WRITE.
  void SendFirmware(uint32_t address, const LoaderBytes& image, bool uei) {
    LoaderBytes prepared = Ask(Prepare(address));
    ASSERT_EQ(prepared.size(), 5u);
    const size_t blockSize = (size_t{prepared[3]} << 8) | prepared[4];
    ASSERT_GT(blockSize, 0u);
    for (size_t at = 0; at < image.size(); at += blockSize) {
      const size_t chunk = std::min(blockSize, image.size() - at);
      if (uei)
        SendSequence(&image[at], chunk);
      else
        SendPlain(&image[at], chunk);
      ExpectSum(HostSum(&image[at], chunk));
      ASSERT_EQ(Ask(Write(static_cast<uint16_t>(chunk))), (LoaderBytes{0x5F, 7, 0}));
    }
  }

  LoaderModel model_;
};

TEST_F(LoaderTest, InitAnswersTheLoadBaseAndPrepareTheBlockSize) {
  EXPECT_EQ(Ask({0x5F, 0}), (LoaderBytes{0x5F, 0, 0x20, 0, 0, 0}));
  EXPECT_EQ(Ask(Prepare(0x08000000, 5)), (LoaderBytes{0x5F, 7, 0, 0x02, 0x00}));
}

TEST(LoaderSettingsTest, AnnouncedBlockSizeAndFeatures) {
  for (uint16_t size : {uint16_t{0}, uint16_t{512}, uint16_t{4096}}) {
    LoaderSettings settings;
    settings.blockSize = size;
    LoaderModel model(settings);
    auto out = model.Handle(Prepare(0));
    ASSERT_EQ(out.replies.size(), 1u);
    EXPECT_EQ(out.replies[0],
              (LoaderBytes{0x5F, 7, 0, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)}));
  }
  LoaderModel plain;
  EXPECT_EQ(plain.ProtocolFeatures(), 0x80000000u);
  EXPECT_EQ(plain.CapabilityAnswer(95, 10, 0, 0x80), 0);
  EXPECT_NE(plain.CapabilityAnswer(95, 10, 0, 0x40), 0);
  EXPECT_NE(plain.CapabilityAnswer(95, 10, 1, 0x80), 0);
  EXPECT_NE(plain.CapabilityAnswer(95, 11, 0, 0x80), 0);
  LoaderSettings off;
  off.ueiData = false;
  off.pooledPackets = false;
  LoaderModel old(off);
  EXPECT_EQ(old.ProtocolFeatures(), 0u);
  EXPECT_NE(old.CapabilityAnswer(95, 10, 0, 0x80), 0);
}

TEST_F(LoaderTest, LoaderBlockLandsInRamAndLoadRestarts) {
  Ask({0x5F, 0});
  Ask(Prepare(0x20000400));
  // A 60-byte image goes as 26, 26 and 8 bytes.
  const LoaderBytes image = Pattern(60);
  SendPlain(image.data(), image.size());
  ExpectSum(HostSum(image.data(), image.size()));
  ExpectSum(0);  // the sum restarts after every SUM
  EXPECT_EQ(model_.Ram(), (vmodule::MemoryMap{{0x20000400, image}}));
  EXPECT_FALSE(model_.InLoader());

  LoaderOutcome load = model_.Handle({0x5F, 2});
  EXPECT_TRUE(load.replies.empty());  // the restart takes the old link's answer with it
  EXPECT_EQ(load.event, LinkEvent::kRestart);
  EXPECT_TRUE(load.comesBack);
  EXPECT_TRUE(model_.InLoader());
  EXPECT_EQ(model_.OnLinkUp(), (std::vector<LoaderBytes>{{0x5F, 2}}));
  EXPECT_TRUE(model_.OnLinkUp().empty());  // once only
  EXPECT_TRUE(model_.Flash().empty());
}

TEST_F(LoaderTest, AddressOnlyLoaderBlockSumsToZero) {
  Ask(Prepare(0x20000000));
  ExpectSum(0);
}

TEST(LoaderLoadModes, AnswerOnOldLinkOrNoRestart) {
  LoaderSettings both;
  both.answerLoadBeforeRestart = true;
  LoaderModel twice(both);
  auto out = twice.Handle({0x5F, 2});
  EXPECT_EQ(out.replies, (std::vector<LoaderBytes>{{0x5F, 2}}));
  EXPECT_EQ(out.event, LinkEvent::kRestart);
  EXPECT_EQ(twice.OnLinkUp(), (std::vector<LoaderBytes>{{0x5F, 2}}));

  LoaderSettings stay;
  stay.restartOnLoad = false;
  LoaderModel inPlace(stay);
  out = inPlace.Handle({0x5F, 2});
  EXPECT_EQ(out.replies, (std::vector<LoaderBytes>{{0x5F, 2}}));
  EXPECT_EQ(out.event, LinkEvent::kNone);
  EXPECT_TRUE(inPlace.InLoader());
  EXPECT_TRUE(inPlace.OnLinkUp().empty());
}

TEST_F(LoaderTest, FirmwareBlockOf1004BytesWritesTwoChunks) {
  EnterLoader();
  const LoaderBytes image = Pattern(1000, 3);  // the block's 1004 bytes less its address
  Ask(Prepare(0x08000000, 2));
  // First chunk: 512 bytes (19 packets of 26 and one of 18), then its sum and WRITE 02 00.
  SendPlain(image.data(), 512);
  ExpectSum(HostSum(image.data(), 512));
  EXPECT_EQ(Ask({0x5F, 5, 0x02, 0x00}), (LoaderBytes{0x5F, 7, 0}));
  EXPECT_EQ(model_.Flash(),
            (vmodule::MemoryMap{{0x08000000, LoaderBytes(image.begin(), image.begin() + 512)}}));
  // Second chunk: 488 bytes, WRITE 01 E8.
  SendPlain(image.data() + 512, 488);
  ExpectSum(HostSum(image.data() + 512, 488));
  EXPECT_EQ(Ask({0x5F, 5, 0x01, 0xE8}), (LoaderBytes{0x5F, 7, 0}));
  EXPECT_EQ(model_.Flash(), (vmodule::MemoryMap{{0x08000000, image}}));
  EXPECT_EQ(model_.counters().writes.load(), 2u);
}

TEST_F(LoaderTest, DataBeyondTheBlockSizeIsNotAccepted) {
  EnterLoader();
  Ask(Prepare(0x1000));
  const LoaderBytes image = Pattern(512 + 26);
  SendPlain(image.data(), 26 * 19);  // 494
  LoaderBytes request{0x5F, 1};
  request.insert(request.end(), image.begin() + 494, image.begin() + 520);
  EXPECT_EQ(Ask(request), (LoaderBytes{0x5F, 1, 18}));  // 18 fill the block
  ExpectSum(HostSum(image.data(), 512));
  EXPECT_EQ(Ask(Write(512)), (LoaderBytes{0x5F, 7, 0}));
}

TEST_F(LoaderTest, WriteRefusals) {
  const LoaderBytes five = Pattern(5);
  // Before LOAD there is no flash to write.
  Ask(Prepare(0x1000));
  SendPlain(five.data(), 5);
  EXPECT_EQ(Ask(Write(5)), (LoaderBytes{0x5F, 7, 4}));
  EnterLoader();
  // Without PREPARE after LOAD.
  EXPECT_EQ(Ask(Write(0)), (LoaderBytes{0x5F, 7, 5}));
  // A count other than what arrived; the chunk is dropped.
  Ask(Prepare(0x1000));
  SendPlain(five.data(), 5);
  EXPECT_EQ(Ask(Write(4)), (LoaderBytes{0x5F, 7, 2}));
  EXPECT_EQ(Ask(Write(5)), (LoaderBytes{0x5F, 7, 2}));
  // A write that would run past the 32-bit address space.
  Ask(Prepare(0xFFFFFFFE));
  SendPlain(five.data(), 5);
  EXPECT_EQ(Ask(Write(5)), (LoaderBytes{0x5F, 7, 6}));
  EXPECT_TRUE(model_.Flash().empty());
}

TEST_F(LoaderTest, MalformedRequestsGoUnanswered) {
  const std::vector<LoaderBytes> requests = {
      {0x5F},        // no option
      {0x5F, 0, 0},  // INIT with a byte too many
      {0x5F, 1},     // DATA without bytes
      [] {
        LoaderBytes d(29, 7);  // DATA of 27 bytes
        d[0] = 0x5F;
        d[1] = 1;
        return d;
      }(),
      {0x5F, 3, 0, 0, 0, 0},  // PREPARE one byte short
      {0x5F, 5, 0},           // WRITE with a one-byte count
      {0x5F, 4, 0},           // SUM with a byte too many
      {0x5F, 7},              // the status reply is never a request
      {0x5F, 9},              // unknown option
      {0x03, 0x45, 0x20},     // not the loader's command
  };
  for (const auto& request : requests) {
    LoaderOutcome out = model_.Handle(request);
    EXPECT_TRUE(out.replies.empty()) << "request of " << request.size() << " bytes";
    EXPECT_EQ(out.event, LinkEvent::kNone);
  }
  EXPECT_EQ(model_.counters().malformed.load(), requests.size());
  EXPECT_EQ(model_.counters().dataPackets.load(), 0u);
}

TEST_F(LoaderTest, DataWithoutPrepareIsNotAccepted) {
  EXPECT_EQ(Ask({0x5F, 1, 1, 2, 3}), (LoaderBytes{0x5F, 1, 0}));
  ExpectSum(0);
}

TEST_F(LoaderTest, ByteSequenceOfSeveralPackets) {
  EnterLoader();
  Ask(Prepare(0x4000));
  const LoaderBytes chunk = Pattern(50);
  auto packets = SequencePackets(chunk.data(), chunk.size());
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0].size(), 28u);
  EXPECT_EQ(packets[0].back(), 0x80);
  EXPECT_EQ(packets[1].back(), 0x81);
  EXPECT_EQ(packets[2].size(), 6u);
  EXPECT_EQ(packets[2].back(), 0x02);
  SendSequence(chunk.data(), chunk.size());
  ExpectSum(HostSum(chunk.data(), chunk.size()));
  EXPECT_EQ(Ask(Write(50)), (LoaderBytes{0x5F, 7, 0}));
  EXPECT_EQ(model_.Flash(), (vmodule::MemoryMap{{0x4000, chunk}}));
  // An empty sequence is one packet with sequence byte 0.
  Ask(Prepare(0x5000));
  EXPECT_EQ(Ask({0x5F, 0x8A, 0x20, 0x00}), (LoaderBytes{0x5F, 0xCA, 0x00}));
  ExpectSum(0);
}

TEST_F(LoaderTest, SequenceGapIsAnErrorAndTheRestIsIgnored) {
  EnterLoader();
  Ask(Prepare(0x4000));
  const LoaderBytes chunk = Pattern(100);
  auto packets = SequencePackets(chunk.data(), chunk.size());  // 5 packets
  ASSERT_EQ(packets.size(), 5u);
  EXPECT_TRUE(model_.Handle(packets[0]).replies.empty());
  EXPECT_EQ(Ask(packets[2]), (LoaderBytes{0x5F, 0xCA, 0x80, 24}));  // packet 1 lost
  EXPECT_TRUE(model_.Handle(packets[3]).replies.empty());
  EXPECT_TRUE(model_.Handle(packets[4]).replies.empty());
  EXPECT_EQ(model_.counters().sequenceErrors.load(), 1u);
  ExpectSum(0);
  // The host tries again from packet 0.
  SendSequence(chunk.data(), chunk.size());
  ExpectSum(HostSum(chunk.data(), chunk.size()));
  // A transfer whose first packet is missing.
  EXPECT_EQ(Ask(packets[1]), (LoaderBytes{0x5F, 0xCA, 0x80, 24}));
  // A packet 0 in the middle starts over.
  EXPECT_TRUE(model_.Handle(packets[0]).replies.empty());
  EXPECT_TRUE(model_.Handle(packets[1]).replies.empty());
  SendSequence(chunk.data(), chunk.size());
}

TEST_F(LoaderTest, SequenceErrors) {
  EnterLoader();
  Ask(Prepare(0x4000));
  // A packet that says more follow must be full.
  EXPECT_EQ(Ask({0x5F, 0x8A, 0x20, 1, 2, 3, 0x80}), (LoaderBytes{0x5F, 0xCA, 0x80, 24}));
  // More than the block size.
  const LoaderBytes big = Pattern(512 + 24);
  auto packets = SequencePackets(big.data(), big.size());
  LoaderBytes last;
  for (const auto& p : packets) {
    auto out = model_.Handle(p);
    if (!out.replies.empty()) last = out.replies.back();
  }
  EXPECT_EQ(last, (LoaderBytes{0x5F, 0xCA, 0x80, 15}));
  ExpectSum(0);
  // Another entity index, and a get of option 10.
  EXPECT_EQ(Ask({0x5F, 0x8A, 0x21, 0x00}), (LoaderBytes{0x5F, 0xCA, 0x81, 26}));
  EXPECT_EQ(Ask({0x5F, 0x4A, 0x20}), (LoaderBytes{0x5F, 0x0A, 0x80, 29}));
  // A sequence that arrives before PREPARE is refused as a whole.
  LoaderModel fresh;
  auto out = fresh.Handle({0x5F, 0x8A, 0x20, 7, 0x00});
  EXPECT_EQ(out.replies, (std::vector<LoaderBytes>{{0x5F, 0xCA, 0x80, 7}}));
}

class BigBlockLoaderTest : public LoaderTest {
 protected:
  static LoaderSettings Big() {
    LoaderSettings s;
    s.blockSize = 4096;
    return s;
  }
  BigBlockLoaderTest() : LoaderTest(Big()) {}
};

TEST_F(BigBlockLoaderTest, SequenceNumbersWrapAfter128Packets) {
  EnterLoader();
  const LoaderBytes image = Pattern(4096 + 1000, 5);  // 171 packets, then 42
  SendFirmware(0x08000000, image, true);
  EXPECT_EQ(model_.Flash(), (vmodule::MemoryMap{{0x08000000, image}}));
}

TEST_F(LoaderTest, OverlappingAndSeparateWritesMerge) {
  EnterLoader();
  const LoaderBytes a = Pattern(300, 1), b = Pattern(300, 2), c = Pattern(20, 3);
  SendFirmware(0x1000, a, false);
  SendFirmware(0x1100, b, false);  // overlaps a's tail, runs past it
  SendFirmware(0x3000, c, true);
  SendFirmware(0x0F00 + 236, c, false);  // touches a's start
  LoaderBytes merged(0x1100 + 300 - 0x0F00 - 236);
  std::copy(c.begin(), c.end(), merged.begin());
  std::copy(a.begin(), a.end(), merged.begin() + 20);
  std::copy(b.begin(), b.end(), merged.begin() + 20 + 0x100);
  EXPECT_EQ(model_.Flash(), (vmodule::MemoryMap{{0x0F00 + 236, merged}, {0x3000, c}}));
}

// Knobs: what the host sees, and what the device kept.
TEST_F(LoaderTest, DroppedDataAcknowledgementKeepsTheBytes) {
  EnterLoader();
  Ask(Prepare(0x1000));
  model_.knobs().dropNthDataAck = model_.counters().dataAcks.load() + 2;
  EXPECT_EQ(Ask({0x5F, 1, 1}), (LoaderBytes{0x5F, 1, 1}));
  EXPECT_TRUE(model_.Handle({0x5F, 1, 2}).replies.empty());
  EXPECT_EQ(Ask({0x5F, 1, 3}), (LoaderBytes{0x5F, 1, 1}));
  ExpectSum(6);
  // The acknowledgement of a byte sequence is dropped the same way.
  model_.knobs().dropNthDataAck = model_.counters().dataAcks.load() + 1;
  EXPECT_TRUE(model_.Handle({0x5F, 0x8A, 0x20, 9, 0x00}).replies.empty());
  ExpectSum(9);
}

TEST_F(LoaderTest, WrongCountDropsThePacketUntilTheRepeatsRunOut) {
  EnterLoader();
  Ask(Prepare(0x1000));
  const LoaderBytes chunk = Pattern(26);
  LoaderBytes request{0x5F, 1};
  request.insert(request.end(), chunk.begin(), chunk.end());
  model_.knobs().wrongCountRepeat = 2;
  model_.knobs().wrongCountNth = model_.counters().dataPackets.load() + 1;
  EXPECT_EQ(Ask(request), (LoaderBytes{0x5F, 1, 25}));
  EXPECT_EQ(Ask(request), (LoaderBytes{0x5F, 1, 25}));
  EXPECT_EQ(Ask(request), (LoaderBytes{0x5F, 1, 26}));  // the resend that is taken
  ExpectSum(HostSum(chunk.data(), chunk.size()));
  EXPECT_EQ(Ask(Write(26)), (LoaderBytes{0x5F, 7, 0}));
}

TEST_F(LoaderTest, WrongSumsCountDown) {
  Ask(Prepare(0x1000));
  model_.knobs().wrongSums = 2;
  SendPlain(Pattern(10).data(), 10);
  const uint32_t sum = HostSum(Pattern(10).data(), 10);
  ExpectSum(sum + 1);
  ExpectSum(1);
  ExpectSum(0);
}

TEST_F(LoaderTest, RefusedPrepareLeavesNoBlock) {
  model_.knobs().refuseStatus = 3;
  model_.knobs().refusePrepares = 1;
  EXPECT_EQ(Ask(Prepare(0x1000)), (LoaderBytes{0x5F, 7, 3, 0, 0}));
  EXPECT_EQ(Ask({0x5F, 1, 1}), (LoaderBytes{0x5F, 1, 0}));
  EXPECT_EQ(Ask(Prepare(0x1000)), (LoaderBytes{0x5F, 7, 0, 0x02, 0x00}));
}

TEST_F(LoaderTest, CloseMidBlockDropsThePacket) {
  EnterLoader();
  Ask(Prepare(0x1000));
  model_.knobs().closeAtDataPacket = model_.counters().dataPackets.load() + 2;
  EXPECT_EQ(Ask({0x5F, 1, 1}), (LoaderBytes{0x5F, 1, 1}));
  LoaderOutcome out = model_.Handle({0x5F, 1, 2});
  EXPECT_EQ(out.event, LinkEvent::kClose);
  EXPECT_TRUE(out.replies.empty());
  ExpectSum(1);
}

TEST_F(LoaderTest, NeverComingBack) {
  model_.knobs().neverBackAfterLoad = true;
  LoaderOutcome load = model_.Handle({0x5F, 2});
  EXPECT_EQ(load.event, LinkEvent::kRestart);
  EXPECT_FALSE(load.comesBack);
  EXPECT_TRUE(model_.OnLinkUp().empty());
  model_.knobs().neverBackAfterReboot = true;
  LoaderOutcome reboot = model_.Handle({0x5F, 6});
  EXPECT_EQ(reboot.event, LinkEvent::kReboot);
  EXPECT_FALSE(reboot.comesBack);
  EXPECT_TRUE(reboot.replies.empty());
}

TEST_F(LoaderTest, SlowLoaderDelaysEveryReply) {
  model_.knobs().replyDelayMs = 40;
  EXPECT_EQ(model_.Handle({0x5F, 0}).delayMs, 40u);
  EXPECT_EQ(model_.Handle({0x5F, 4}).delayMs, 40u);
  EXPECT_EQ(model_.Handle({0x5F, 0, 1}).delayMs, 0u);  // nothing to send, nothing to wait for
}

// A BIRD file made with a virtual firmware image: the module comes back as it.
TEST(LoaderUpdate, RebootRunsTheImageItReceived) {
  TempDir dir;
  birdwriter::Descriptor descriptor{101, "2.16.3", 0x2A, "Osprey"};
  const LoaderBytes firmware = birdwriter::VirtualFirmwareImage(descriptor, 5, 3000);
  const LoaderBytes loader = Pattern(700, 4);
  const LoaderBytes second = Pattern(77, 6);
  const LoaderBytes file = birdwriter::Writer()
                               .AddLoader(0x20000000, loader, 1)
                               .AddDescriptor(descriptor)
                               .AddFirmware(0x08000000, firmware)
                               .AddFirmware(0x08100000, second, 2)
                               .File();
  std::string error;
  auto parsed = birdwriter::Parse(file, &error);
  ASSERT_TRUE(parsed) << error;

  LoaderSettings settings;
  settings.flashOut = dir.file("flash.bin");
  LoaderModel model(settings);
  auto one = [&](const LoaderBytes& request) {
    auto out = model.Handle(request);
    EXPECT_EQ(out.replies.size(), 1u);
    return out.replies.empty() ? LoaderBytes{} : out.replies[0];
  };
  auto sendPlain = [&](const uint8_t* bytes, size_t length) {
    for (size_t at = 0; at < length; at += 26) {
      LoaderBytes request{0x5F, 1};
      request.insert(request.end(), bytes + at, bytes + std::min(length, at + 26));
      one(request);
    }
  };
  one({0x5F, 0});
  for (const auto& block : parsed->blocks) {
    if (block.type != birdwriter::kTypeLoader) continue;
    one({0x5F, 3, block.flags, block.data[0], block.data[1], block.data[2], block.data[3]});
    sendPlain(block.data.data() + 4, block.data.size() - 4);
    EXPECT_EQ(one({0x5F, 4}), SumReply(HostSum(block.data.data() + 4, block.data.size() - 4)));
  }
  ASSERT_EQ(model.Handle({0x5F, 2}).event, LinkEvent::kRestart);
  model.OnLinkUp();
  for (const auto& block : parsed->blocks) {
    if (block.type != birdwriter::kTypeFirmware) continue;
    one({0x5F, 3, block.flags, block.data[0], block.data[1], block.data[2], block.data[3]});
    for (size_t at = 4; at < block.data.size(); at += 512) {
      const size_t chunk = std::min<size_t>(512, block.data.size() - at);
      for (const auto& p : SequencePackets(&block.data[at], chunk)) model.Handle(p);
      EXPECT_EQ(one({0x5F, 4}), SumReply(HostSum(&block.data[at], chunk)));
      EXPECT_EQ(one(Write(static_cast<uint16_t>(chunk))), (LoaderBytes{0x5F, 7, 0}));
    }
  }
  EXPECT_EQ(model.Ram(), (vmodule::MemoryMap{{0x20000000, loader}}));
  LoaderOutcome reboot = model.Handle({0x5F, 6});
  EXPECT_EQ(reboot.event, LinkEvent::kReboot);
  EXPECT_TRUE(reboot.comesBack);
  ASSERT_TRUE(reboot.identity);
  EXPECT_EQ(reboot.identity->build, 101u);
  EXPECT_EQ(reboot.identity->version, "2.16.3");
  EXPECT_EQ(reboot.identity->versionMajor, 2);
  EXPECT_EQ(reboot.identity->versionMinor, 16);
  EXPECT_EQ(reboot.identity->versionPatch, 3);
  EXPECT_EQ(reboot.identity->modelName, "Osprey");
  EXPECT_EQ(reboot.identity->model, 5);
  EXPECT_FALSE(model.InLoader());
  EXPECT_TRUE(model.Ram().empty());

  // The flash file written on REBOOT holds the BIRD file's firmware images, byte for byte.
  auto flash = vmodule::ReadFlashFile(settings.flashOut, &error);
  ASSERT_TRUE(flash) << error;
  EXPECT_EQ(*flash, (vmodule::MemoryMap{{0x08000000, firmware}, {0x08100000, second}}));
  EXPECT_EQ(*flash, model.Flash());
}

TEST(LoaderUpdate, ImageWithoutVirtualHeaderLeavesTheIdentity) {
  LoaderModel model;
  model.Handle({0x5F, 2});
  model.Handle(Prepare(0));
  const LoaderBytes image = Pattern(100);
  for (const auto& p : SequencePackets(image.data(), image.size())) model.Handle(p);
  model.Handle(Write(100));
  ASSERT_EQ(model.Flash().size(), 1u);
  LoaderOutcome reboot = model.Handle({0x5F, 6});
  EXPECT_EQ(reboot.event, LinkEvent::kReboot);
  EXPECT_FALSE(reboot.identity);
}

// Knobs change while another thread drives the loader.
TEST(LoaderThreads, KnobsAndReadersWhileRunning) {
  LoaderModel model;
  model.Handle({0x5F, 2});
  std::atomic<bool> done{false};
  std::thread driver([&] {
    for (int block = 0; block < 50; ++block) {
      model.Handle(Prepare(static_cast<uint32_t>(block) * 0x1000));
      for (int i = 0; i < 10; ++i) model.Handle({0x5F, 1, 1, 2, 3});
      model.Handle({0x5F, 4});
      model.Handle(Write(30));
    }
    done = true;
  });
  while (!done) {
    model.knobs().replyDelayMs = 0;
    model.knobs().wrongSums = 1;
    (void)model.Flash();
    (void)model.counters().dataPackets.load();
    std::this_thread::yield();
  }
  driver.join();
  EXPECT_EQ(model.counters().dataPackets.load(), 500u);
  EXPECT_EQ(model.Flash().size(), 50u);
}

}  // namespace
