#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "StoreTestSupport.h"
#include "store/BirdFile.h"

namespace {

using birdwriter::Bytes;
using birdwriter::Writer;

class BirdFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const Bytes& bytes) {
    std::string path = dir.file(name);
    WriteBytes(path, bytes);
    return path;
  }
  std::string Write(const std::string& name, const Writer& writer) { return Write(name, writer.File()); }

  // A file with a payload given byte by byte, compressed with zlib directly.
  std::string WritePayload(const std::string& name, const Bytes& payload) {
    return Write(name, birdwriter::FileFromCompressed(birdwriter::Compress(payload)));
  }

  TempDir dir;
};

birdwriter::Descriptor Descriptor(uint32_t build, const std::string& version, uint32_t serial,
                                  const std::string& model) {
  birdwriter::Descriptor d;
  d.build = build;
  d.version = version;
  d.serial = serial;
  d.model = model;
  return d;
}

std::string ConstructError(const std::string& path) {
  try {
    BirdFile file(path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST_F(BirdFileTest, LoadsEveryBlockWithTypeFlagsAddressAndData) {
  Writer writer;
  writer.AddLoader(0x20000000, Pattern(16, 1), 3)
      .AddFirmware(0x1000, Pattern(64, 2), 5)
      .AddSerialOffsets(0x1010, 0x1020)
      .AddDescriptor(Descriptor(1234, "2.10.5", 0x40F5849A, "ALPHA"))
      .AddLoaderStart(0x20001000)
      .AddRaw(3, 7, Pattern(3))
      .AddRaw(31, 0, Bytes{});
  std::string path = Write("good.bird", writer);
  Bytes payload = writer.Payload();

  BirdFile file(path);
  EXPECT_EQ(file.path, path);
  EXPECT_EQ(file.signature, BIRD_FILE_SIGNATURE);
  EXPECT_EQ(file.version, BIRD_FILE_VERSION);
  EXPECT_EQ(file.payloadSize, payload.size());
  EXPECT_EQ(file.checksum, birdwriter::GetU32(&payload[payload.size() - 4]));
  ASSERT_EQ(file.blockCount, 7u);
  ASSERT_EQ(file.blocks.size(), 7u);

  const auto& written = writer.Blocks();
  for (size_t i = 0; i < written.size(); ++i) {
    SCOPED_TRACE(i);
    const BirdBlock& b = file.blocks[i];
    EXPECT_EQ(b.type, written[i].type);
    EXPECT_EQ(b.flags, written[i].flags);
    ASSERT_EQ(b.length, written[i].data.size());
    EXPECT_EQ(Bytes(b.data, b.data + b.length), written[i].data);
  }
  EXPECT_EQ(file.blocks[0].address, 0x20000000u);
  EXPECT_EQ(file.blocks[1].address, 0x1000u);
  EXPECT_EQ(file.blocks[2].address, 0u);  // only image blocks carry an address
  EXPECT_TRUE(file.hasSerialOffsets);
  EXPECT_EQ(file.serialNumberAddress, 0x1010u);
  EXPECT_EQ(file.descriptorAddress, 0x1020u);
  EXPECT_EQ(file.GetBuild(), 1234u);
  EXPECT_EQ(file.GetVersion(), "2.10.5");
  EXPECT_EQ(file.GetSerialNumber(), 0x40F5849Au);
  EXPECT_TRUE(file.ValidateSerialNumber(0x40F5849A));
  EXPECT_FALSE(file.ValidateSerialNumber(0x40F5849B));
  EXPECT_EQ(file.GetLoaderStart(), 0x20001000u);

  std::vector<BirdBlock> firmware = file.FindBlocks(BLOCK_TYPE_FIRMWARE);
  ASSERT_EQ(firmware.size(), 1u);
  EXPECT_EQ(firmware[0].data, file.blocks[1].data);
  EXPECT_TRUE(file.FindBlocks(BLOCK_TYPE(6)).empty());
}

TEST_F(BirdFileTest, LogsTheScan) {
  Writer writer;
  writer.AddFirmware(0x1000, Pattern(64), 2).AddDescriptor(Descriptor(77, "1.2", 0xAB, "BETA"));
  std::string path = Write("log.bird", writer);
  LogCapture log(DEBUG_BirdFile);
  BirdFile file(path);
  std::string text = log.Text();
  EXPECT_NE(text.find("BIRDFILE: Loading File [" + path + "]\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t File reports 2 blocks\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE: Bird file objects:\nBIRDFILE: \t\tType Flags Length\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t 01   02   68\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t 04   00   64\n"
                      "BIRDFILE:\t\t \t[77              ]\n"
                      "BIRDFILE:\t\t \t[1.2             ]\n"
                      "BIRDFILE:\t\t \t[000000AB        ]\n"
                      "BIRDFILE:\t\t \t[BETA            ]\n"),
            std::string::npos);
  char checksum[64];
  std::snprintf(checksum, sizeof checksum, "BIRDFILE:\t\t File checksum %08X\n", file.checksum);
  EXPECT_NE(text.find(checksum), std::string::npos);
  EXPECT_EQ(text.find("mismatch"), std::string::npos);
}

// Files that must not load: the constructor throws and the log says why.
TEST_F(BirdFileTest, BrokenFilesDoNotLoad) {
  Bytes zeros(1 << 20, 0);  // compresses far better than 8:1
  Bytes good = Writer().AddFirmware(0, Pattern(100)).File();
  Bytes truncated(good.begin(), good.end() - 10);
  struct Case {
    const char* name;
    Bytes bytes;
    const char* logLine;
  } cases[] = {
      {"empty", {}, nullptr},
      {"five bytes", AsBytes("bird\x01"), nullptr},
      {"header only", AsBytes("bird\x01\x01"), "BIRDFILE: Error (-"},
      {"not zlib", AsBytes("bird\x01\x01this is not a zlib stream"),
       "BIRDFILE: Error (-3) decompressing bird file.\n"},
      {"truncated stream", truncated, "decompressing bird file.\n"},
      {"more than 8x", birdwriter::FileFromCompressed(birdwriter::Compress(zeros)),
       "BIRDFILE: Error (-5) decompressing bird file.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = Write("broken.bird", c.bytes);
    LogCapture log(DEBUG_BirdFile);
    EXPECT_EQ(ConstructError(path), "Failed to load bird data");
    if (c.logLine) {
      EXPECT_TRUE(log.Has(c.logLine)) << log.Text();
    }
    BirdFile file;
    file.path = path;
    EXPECT_FALSE(file.Load());
    EXPECT_EQ(file.blockCount, 0u);
    EXPECT_EQ(file.payloadSize, 0u);
  }
}

// Files far larger than one read slice, with incompressible images.
TEST_F(BirdFileTest, LargeFilesLoadWholeOrNotAtAll) {
  Bytes noise(300 * 1024);
  uint32_t x = 12345;
  for (auto& b : noise) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
  Writer writer;
  writer.AddFirmware(0x1000, noise).AddLoader(0, noise).AddSerialOffsets(0x1010, 0);
  Bytes good = writer.File(BIRD_FILE_VERSION, 1);
  ASSERT_GT(good.size(), 512u * 1024);

  BirdFile file(Write("big.bird", good));
  ASSERT_EQ(file.blockCount, 3u);
  EXPECT_EQ(Bytes(file.blocks[1].data + 4, file.blocks[1].data + file.blocks[1].length), noise);
  EXPECT_EQ(file.payloadSize, writer.Payload().size());

  Bytes trailing = good;  // bytes after the stream are not part of it
  trailing.insert(trailing.end(), 100000, 0xEE);
  EXPECT_EQ(BirdFile(Write("trailing.bird", trailing)).blockCount, 3u);

  Bytes cut(good.begin(), good.end() - 70000);
  EXPECT_EQ(ConstructError(Write("cut.bird", cut)), "Failed to load bird data");
  Bytes corrupt = good;
  corrupt[good.size() / 2] ^= 0xFF;
  corrupt[good.size() / 2 + 1] ^= 0xFF;
  LogCapture log(DEBUG_BirdFile);
  EXPECT_EQ(ConstructError(Write("corrupt.bird", corrupt)), "Failed to load bird data");
  EXPECT_TRUE(log.Has("decompressing bird file.\n")) << log.Text();
}

TEST_F(BirdFileTest, DecompressAndScanFromMemory) {
  Writer writer;
  writer.AddFirmware(0x40, Pattern(16)).AddDescriptor(Descriptor(9, "9", 9, "NINE"));
  Bytes compressed = birdwriter::Compress(writer.Payload());
  BirdFile file;
  ASSERT_TRUE(file.DecompressData(compressed.data(), compressed.size()));
  EXPECT_EQ(file.payloadSize, writer.Payload().size());
  EXPECT_EQ(file.blockCount, 0u);  // decompression alone does not scan
  Bytes payload = writer.Payload();
  EXPECT_TRUE(file.ScanBlocks(payload.data(), static_cast<uint32_t>(payload.size())));
  EXPECT_EQ(file.blockCount, 2u);
  EXPECT_EQ(file.GetBuild(), 9u);
  EXPECT_FALSE(file.DecompressData(payload.data(), payload.size()));
  EXPECT_EQ(file.payloadSize, 0u);
  EXPECT_TRUE(file.blocks.empty());  // never left pointing at a dropped payload
}

TEST_F(BirdFileTest, MissingFileIsReported) {
  std::string path = dir.file("absent.bird");
  LogCapture log(DEBUG_BirdFile);
  EXPECT_EQ(ConstructError(path), "Failed to load bird data");
  EXPECT_TRUE(log.Has("BIRDFILE: BIRD file not found [" + path + "]\n"));
  EXPECT_FALSE(BirdFile::VerifyFile(path));
  EXPECT_TRUE(log.Has("BIRDFILE: Error - cannot open bird file: '" + path + "'\n"));
}

TEST_F(BirdFileTest, VerifyFileChecksOnlyTheHeader) {
  Bytes body = birdwriter::Compress(Writer().AddFirmware(0, Pattern(8)).Payload());
  struct Case {
    const char* name;
    Bytes bytes;
    bool valid;
  } cases[] = {
      {"current", birdwriter::FileFromCompressed(body, 0x0101), true},
      {"other version", birdwriter::FileFromCompressed(body, 0x0203), true},
      {"low version byte zero", birdwriter::FileFromCompressed(body, 0x0100), false},
      {"high version byte zero", birdwriter::FileFromCompressed(body, 0x0001), false},
      {"header only", AsBytes("bird\x01\x01"), true},
      {"five bytes", AsBytes("bird\x01"), false},
      {"wrong signature", AsBytes("BIRD\x01\x01xxxx"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BirdFile::VerifyFile(Write("v.bird", c.bytes)), c.valid);
  }
}

TEST_F(BirdFileTest, VersionBytesOneZeroFailVerifyButLoad) {
  Bytes bytes = birdwriter::FileFromCompressed(
      birdwriter::Compress(Writer().AddFirmware(0x100, Pattern(8)).Payload()), 0x0100);
  std::string path = Write("v100.bird", bytes);
  EXPECT_FALSE(BirdFile::VerifyFile(path));
  BirdFile file(path);
  EXPECT_EQ(file.version, 0x0100u);
  EXPECT_EQ(file.blockCount, 1u);
}

TEST_F(BirdFileTest, BlockCountMismatchKeepsTheBlocksFound) {
  std::string path =
      Write("count.bird", Writer().AddFirmware(0, Pattern(8)).AddLoader(4, Pattern(4)).ReportBlockCount(5));
  LogCapture log(DEBUG_BirdFile);
  BirdFile file(path);
  EXPECT_EQ(file.blockCount, 2u);
  EXPECT_EQ(file.blocks.size(), 2u);
  EXPECT_TRUE(log.Has("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 5)\n"));
}

// Payloads whose framing lies: the scan keeps what fits and never reads past
// the payload (the sanitizer build checks the "never").
TEST_F(BirdFileTest, LyingLengthsStayInsideThePayload) {
  Bytes firstBlock = {1, 0, 0, 0, 8, 0, 0, 0, 0x10, 0xAA, 0xBB, 0xCC, 0xDD};
  auto payload = [&](std::initializer_list<Bytes> parts) {
    Bytes p;
    for (const Bytes& part : parts) p.insert(p.end(), part.begin(), part.end());
    return p;
  };
  struct Case {
    const char* name;
    Bytes payload;
    uint32_t blocks;
    const char* logLine;
  } cases[] = {
      {"empty payload", {}, 0, "(0 bytes remaining)"},
      {"count only, cut", {0, 0}, 0, "(2 bytes remaining)"},
      {"count and nothing else", {0, 0, 0, 0}, 0, nullptr},
      {"second block claims 4 GiB",
       payload({{0, 0, 0, 2}, firstBlock, {1, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3}, {9, 9, 9, 9}}), 1,
       "BIRDFILE: Block parsing mismatch in data size. (8 bytes remaining)\n"},
      {"second block one byte too long",
       payload({{0, 0, 0, 2}, firstBlock, {1, 0, 0, 0, 8, 1, 2, 3}, {9, 9, 9, 9}}), 1,
       "Block parsing mismatch in data size. (8 bytes remaining)\n"},
      {"no checksum", payload({{0, 0, 0, 1}, firstBlock}), 1, nullptr},
      {"stray bytes after the checksum", payload({{0, 0, 0, 1}, firstBlock, {1, 2, 3, 4}, {5, 6}}), 1,
       "(2 bytes remaining)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = WritePayload("lie.bird", c.payload);
    LogCapture log(DEBUG_BirdFile);
    BirdFile file(path);
    EXPECT_EQ(file.blockCount, c.blocks);
    EXPECT_EQ(file.blocks.size(), c.blocks);
    if (c.blocks > 0) {
      EXPECT_EQ(file.blocks[0].address, 0x10u);
      EXPECT_EQ(file.blocks[0].length, 8u);
    }
    if (c.logLine) {
      EXPECT_TRUE(log.Has(c.logLine)) << log.Text();
    }
  }
}

// A descriptor or serial-offsets block shorter than its size counts as absent.
TEST_F(BirdFileTest, ShortFixedBlocksAreAbsent) {
  Bytes descriptor = birdwriter::DescriptorBytes(Descriptor(99, "1.0", 0x1234, "ALPHA"));
  descriptor.pop_back();
  Writer writer;
  writer.AddFirmware(0x1000, Pattern(64))
      .AddRaw(BLOCK_TYPE_DESCRIPTOR, 0, descriptor)
      .AddRaw(BLOCK_TYPE_SERIAL_OFFSETS, 0, {0, 0, 0x10, 0x10, 0, 0, 0x10})
      .AddRaw(BLOCK_TYPE_LOADER_START, 0, {0x30, 0, 0})
      .AddDescriptor(Descriptor(5, "5.0", 5, "LATER"))  // not the first: never read
      .AddSerialOffsets(0x1010, 0);
  BirdFile file(Write("short.bird", writer));
  EXPECT_EQ(file.GetBuild(), 0u);
  EXPECT_EQ(file.GetVersion(), "");
  EXPECT_EQ(file.GetSerialNumber(), 0u);
  EXPECT_FALSE(file.ValidateModel(""));
  EXPECT_FALSE(file.ValidateModel("LATER"));
  EXPECT_TRUE(file.hasSerialOffsets);       // a type-2 block is there ...
  EXPECT_EQ(file.serialNumberAddress, 0u);  // ... but unusable
  EXPECT_EQ(file.descriptorAddress, 0u);
  EXPECT_FALSE(file.ReplaceSerialNumber(0x12345678));
  EXPECT_EQ(file.GetLoaderStart(), BIRD_DEFAULT_LOADER_START);
}

TEST_F(BirdFileTest, NoDescriptorGivesEmptyFields) {
  BirdFile file(Write("none.bird", Writer().AddFirmware(0, Pattern(4))));
  EXPECT_EQ(file.GetBuild(), 0u);
  EXPECT_EQ(file.GetVersion(), "");
  EXPECT_EQ(file.GetSerialNumber(), 0u);
  EXPECT_FALSE(file.hasSerialOffsets);
  EXPECT_FALSE(file.ValidateModel("ALPHA"));
  EXPECT_EQ(file.GetLoaderStart(), BIRD_DEFAULT_LOADER_START);
}

TEST_F(BirdFileTest, DescriptorFieldsAreReadAsText) {
  auto fields = [](std::initializer_list<std::string> parts) {
    Bytes d;
    for (const std::string& part : parts) {
      Bytes field = AsBytes(part);
      field.resize(16, ' ');
      d.insert(d.end(), field.begin(), field.end());
    }
    d.resize(64, ' ');
    return d;
  };
  struct Case {
    const char* name;
    Bytes descriptor;
    uint32_t build;
    std::string version;
    uint32_t serial;
  } cases[] = {
      {"plain", fields({"1234", "2.10.5", "0F5849AB", "ALPHA"}), 1234, "2.10.5", 0x0F5849AB},
      {"leading blanks, text after a space", fields({"   42x", "1.0 beta", "deadbeef"}), 42, "1.0",
       0xDEADBEEF},
      {"no digits", fields({"abc", "", "zz"}), 0, "", 0},
      {"fifteen digits saturate", fields({"1234567890123457"}), UINT32_MAX, "", 0},
      {"version fills 15", fields({"7", "123456789012345X", "0000000A"}), 7, "123456789012345", 0x0000000A},
      {"serial stops at non-hex", fields({"1", "2", "12G4"}), 1, "2", 0x12},
      {"NUL ends the version", fields({"1", std::string("ab\0cd", 5)}), 1, "ab", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BirdFile file(Write("d.bird", Writer().AddRaw(BLOCK_TYPE_DESCRIPTOR, 0, c.descriptor)));
    EXPECT_EQ(file.GetBuild(), c.build);
    EXPECT_EQ(file.GetVersion(), c.version);
    EXPECT_EQ(file.GetSerialNumber(), c.serial);
  }
}

TEST_F(BirdFileTest, ModelIsAPrefixMatch) {
  BirdFile file(Write("m.bird", Writer().AddDescriptor(Descriptor(1, "1", 1, "ALPHA"))));
  struct Case {
    const char* name;
    bool match;
  } cases[] = {{"ALPHA", true},
               {"AL", true},
               {"", true},
               {"ALPHA2", false},
               {"ALPHA ", false},
               {"BETA", false},
               {"ALPHAAAAAAAAAAAAA", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(file.ValidateModel(c.name), c.match);
  }
  LogCapture log(DEBUG_BirdFile);
  file.ValidateModel("AL");
  EXPECT_TRUE(log.Has("Model matches model number ([ALPHA] == [AL])\n"));

  BirdFile full(Write("m16.bird", Writer().AddDescriptor(Descriptor(1, "1", 1, "SIXTEEN-CHARS-XY"))));
  EXPECT_TRUE(full.ValidateModel("SIXTEEN-CHARS-XY"));
  EXPECT_FALSE(full.ValidateModel("SIXTEEN-CHARS-XYZ"));
}

// The edited bytes are exactly the ones named, and nothing else changes.
TEST_F(BirdFileTest, SerialNumberLandsOnTheExactBytes) {
  Writer writer;
  writer.AddLoader(0x1000, Pattern(64, 0x40))
      .AddFirmware(0x1000, Pattern(64, 0x80))
      .AddSerialOffsets(0x1010, 0x1020);
  BirdFile file(Write("sn.bird", writer));
  const uint8_t* payloadStart = file.blocks[0].data - 5 - 4;  // count + first block header
  Bytes before(payloadStart, payloadStart + file.payloadSize);

  LogCapture log(DEBUG_BirdFile);
  ASSERT_TRUE(file.ReplaceSerialNumber(0x1A2B3C4D));
  char line[96];
  std::snprintf(line, sizeof line, "BIRDFILE: updating serial number from %02X%02X%02X%02X ==> 1A2B3C4D\n",
                0x80 + 19, 0x80 + 18, 0x80 + 17, 0x80 + 16);
  EXPECT_TRUE(log.Has(line)) << log.Text();

  const uint8_t* data = file.blocks[1].data;
  size_t dataAt = static_cast<size_t>(data - payloadStart);
  Bytes expected = before;
  const uint8_t word[] = {0x4D, 0x3C, 0x2B, 0x1A};
  for (int i = 0; i < 4; ++i) expected[dataAt + 20 + i] = word[i];
  const char text[] = "1A2B3C4D";
  for (int i = 0; i < 8; ++i) expected[dataAt + 36 + 2 * i] = static_cast<uint8_t>(text[i]);
  Bytes after(payloadStart, payloadStart + file.payloadSize);
  EXPECT_EQ(after, expected);  // the loader block at the same address is untouched
}

TEST_F(BirdFileTest, SerialNumberOutsideEveryImageIsAFailure) {
  struct Case {
    const char* name;
    uint32_t serialAddress;
    uint32_t descriptorAddress;
    bool result;
  } cases[] = {
      {"word below the image", 0x0FFC, 0, false},
      {"word runs past the end", 0x103D, 0, false},
      {"word ends at the end", 0x103C, 0, true},
      {"text runs past the end", 0, 0x1031, false},
      {"text ends at the end", 0, 0x1030, true},
      {"word in, text out", 0x1010, 0x1031, false},
      {"word in second image", 0x2000, 0, true},
      {"word near 4 GiB", 0xFFFFFFFE, 0, false},
      {"no addresses", 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Writer writer;
    writer.AddFirmware(0x1000, Pattern(64))
        .AddFirmware(0x2000, Pattern(8))
        .AddSerialOffsets(c.serialAddress, c.descriptorAddress);
    BirdFile file(Write("out.bird", writer));
    Bytes firstBefore(file.blocks[0].data, file.blocks[0].data + 68);
    EXPECT_EQ(file.ReplaceSerialNumber(0x11223344), c.result);
    if (c.serialAddress == 0x0FFC || c.serialAddress == 0x103D) {
      EXPECT_EQ(Bytes(file.blocks[0].data, file.blocks[0].data + 68), firstBefore);
    }
  }
}

TEST_F(BirdFileTest, ImageBlocksShorterThanAnAddressAreHarmless) {
  Writer writer;
  writer.AddRaw(BLOCK_TYPE_FIRMWARE, 0, {0, 0})
      .AddRaw(BLOCK_TYPE_FIRMWARE, 0, {0, 0, 0, 0})
      .AddSerialOffsets(2, 2);
  BirdFile file(Write("tiny.bird", writer));
  ASSERT_EQ(file.blockCount, 3u);
  EXPECT_EQ(file.blocks[0].address, 0u);
  EXPECT_FALSE(file.ReplaceSerialNumber(1));
  EXPECT_TRUE(file.DecodeFirmwareBlocks(1, 2, 3, 4));
  EXPECT_TRUE(file.ReplaceVectorChecksum());
  uint8_t pattern[] = {0, 0};
  EXPECT_TRUE(file.ValidateData(pattern, 2));
  EXPECT_FALSE(file.ValidateData(pattern, 5));
}

// Independent scrambler: the inverse of the decoding (chained on plain bytes).
Bytes Scramble(const Bytes& plain, const uint8_t key[16]) {
  Bytes out(plain.size());
  uint8_t previous = 0;
  for (size_t i = 0; i < plain.size(); ++i) {
    out[i] = static_cast<uint8_t>(plain[i] ^ key[i % 16] ^ previous);
    previous = plain[i];
  }
  return out;
}

TEST_F(BirdFileTest, DecodingChainsPerBlockWithTheKeyMostSignificantByteFirst) {
  const uint8_t key[16] = {0x01, 0x02, 0x03, 0x04, 0x11, 0x12, 0x13, 0x14,
                           0x21, 0x22, 0x23, 0x24, 0x31, 0x32, 0x33, 0x34};
  Bytes plain = Pattern(40, 7);
  Bytes scrambled = Scramble(plain, key);
  Writer writer;
  writer.AddFirmware(0x100, scrambled).AddLoader(0x200, scrambled).AddFirmware(0x300, scrambled);
  BirdFile file(Write("enc.bird", writer));
  ASSERT_TRUE(file.DecodeFirmwareBlocks(0x01020304, 0x11121314, 0x21222324, 0x31323334));
  EXPECT_EQ(Bytes(file.blocks[0].data + 4, file.blocks[0].data + 44), plain);
  EXPECT_EQ(Bytes(file.blocks[2].data + 4, file.blocks[2].data + 44), plain);  // chain restarts
  EXPECT_EQ(Bytes(file.blocks[1].data + 4, file.blocks[1].data + 44), scrambled);
  EXPECT_EQ(GetInt(file.blocks[0].data), 0x100u);  // address bytes stay

  BirdFile zero(Write("zero.bird", Writer().AddFirmware(0, Bytes{5, 5, 9})));
  zero.DecodeFirmwareBlocks(0, 0, 0, 0);
  EXPECT_EQ(Bytes(zero.blocks[0].data + 4, zero.blocks[0].data + 7), (Bytes{5, 5 ^ 5, 9 ^ 0}));
}

TEST_F(BirdFileTest, ValidateDataSearchesFirmwareImagesToTheirLastByte) {
  Bytes image = AsBytes("....NEEDLE....END!");
  Writer writer;
  writer.AddLoader(0, AsBytes("LOADERONLY")).AddFirmware(0x41424344, image);
  BirdFile file(Write("find.bird", writer));
  auto find = [&](const std::string& pattern) {
    return file.ValidateData(reinterpret_cast<const uint8_t*>(pattern.data()), pattern.size());
  };
  LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(find("NEEDLE"));
  EXPECT_TRUE(log.Has("BIRDFILE: looking for data pattern in [" + file.path + "]\n"));
  EXPECT_TRUE(log.Has("Found data at 8\n\n"));
  EXPECT_TRUE(find("END!"));  // ends on the image's last byte
  EXPECT_TRUE(find("ABCD"));  // the address bytes are searched too
  EXPECT_FALSE(find("LOADER"));
  EXPECT_FALSE(find(""));
  EXPECT_FALSE(find(std::string(40, '.')));
}

TEST_F(BirdFileTest, VectorChecksumMakesTheTableSumToZero) {
  Bytes vectors;
  const uint32_t words[8] = {0x10002000, 0x00000101, 0x00000203, 0x00000305,
                             0x00000407, 0x12345678, 0x00000609, 0xAAAAAAAA};
  for (uint32_t w : words) {
    for (int i = 0; i < 4; ++i) vectors.push_back(static_cast<uint8_t>(w >> (8 * i)));
  }
  Bytes tail = Pattern(8);
  vectors.insert(vectors.end(), tail.begin(), tail.end());
  Writer writer;
  writer.AddFirmware(0, vectors).AddFirmware(0x100, vectors).AddFirmware(0, Bytes(31, 0xFF));
  BirdFile file(Write("vec.bird", writer));
  uint32_t sum = words[0] + words[1] + words[2] + words[3] + words[4] + words[6];
  uint32_t expected = 0u - sum;
  LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(file.ReplaceVectorChecksum());
  char line[80];
  std::snprintf(line, sizeof line, "BIRDFILE: updating vector checksum from AAAAAAAA ==> %08X\n", expected);
  EXPECT_TRUE(log.Has(line)) << log.Text();
  const uint8_t* w7 = file.blocks[0].data + 4 + 28;
  EXPECT_EQ(uint32_t{w7[0]} | uint32_t{w7[1]} << 8 | uint32_t{w7[2]} << 16 | uint32_t{w7[3]} << 24, expected);
  EXPECT_EQ(Bytes(file.blocks[1].data + 4, file.blocks[1].data + 44), vectors);          // address not 0
  EXPECT_EQ(Bytes(file.blocks[2].data + 4, file.blocks[2].data + 35), Bytes(31, 0xFF));  // too short
}

TEST_F(BirdFileTest, DumpPrintsFiftyBytesPerRow) {
  Bytes image = AsBytes("AB");
  image.push_back(0x01);
  BirdFile file(Write("dump.bird", Writer().AddFirmware(0x00000041, image).AddLoader(0, Pattern(1))));
  testing::internal::CaptureStdout();
  EXPECT_TRUE(file.DumpBlocks(BLOCK_TYPE_FIRMWARE));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "BIRDFILE: BLOCK DUMP [" + file.path + "]\n \r\n000000: 00 00 00 41 41 42 01     AAB \n\n");

  BirdFile big(Write("dump2.bird", Writer().AddFirmware(0, Bytes(47, 'x'))));
  testing::internal::CaptureStdout();
  big.DumpBlocks(BLOCK_TYPE_FIRMWARE);
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("78  " + std::string(4, ' ') + std::string(46, 'x') + "\r\n000050: 78 "),
            std::string::npos)
      << out;
}

TEST_F(BirdFileTest, MovingKeepsTheBlocksValid) {
  BirdFile moved;
  {
    BirdFile file(Write("mv.bird", Writer().AddFirmware(0x10, Pattern(32, 3))));
    const uint8_t* data = file.blocks[0].data;
    moved = std::move(file);
    EXPECT_EQ(moved.blocks[0].data, data);
  }
  EXPECT_EQ(moved.blocks[0].data[4], 3);
  EXPECT_TRUE(moved.DecodeFirmwareBlocks(0, 0, 0, 0));
}

TEST_F(BirdFileTest, DefaultObjectIsEmpty) {
  BirdFile file;
  EXPECT_TRUE(file.path.empty());
  EXPECT_TRUE(file.blocks.empty());
  EXPECT_EQ(file.blockCount + file.signature + file.version + file.checksum + file.payloadSize, 0u);
  EXPECT_FALSE(file.Load());
}

TEST(BirdFileReaders, BigEndianWords) {
  const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(GetInt(bytes), 0x12345678u);
  EXPECT_EQ(GetShort(bytes), 0x1234u);
}

}  // namespace
