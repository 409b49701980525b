// The BIRD writer and birdtool: what they write is what the product reads.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>

#include "StoreTestSupport.h"
#include "sim/birdwriter/BirdWriter.h"
#include "store/BirdFile.h"
#include "support/Subprocess.h"

namespace {

using birdwriter::Bytes;

TEST(BirdWriter, LayoutByteByByte) {
  birdwriter::Writer writer;
  writer.AddFirmware(0x01020304, Bytes{0xAA}, 5).AddLoaderStart(0x20000400);
  Bytes payload = writer.Payload();
  Bytes expected = {0,    0, 0, 2,                                  // block count
                    0xA1, 0, 0, 0, 5, 1,    2,    3,    4,   0xAA,  // type 1, flags 5
                    0x05, 0, 0, 0, 4, 0x20, 0x00, 0x04, 0x00};      // loader start
  uint32_t crc = static_cast<uint32_t>(crc32(0, expected.data(), static_cast<uInt>(expected.size())));
  birdwriter::PutU32(expected, crc);
  EXPECT_EQ(payload, expected);

  Bytes file = writer.File();
  ASSERT_GT(file.size(), 6u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 6), (Bytes{'b', 'i', 'r', 'd', 0x01, 0x01}));
  Bytes inflated(payload.size());
  uLongf size = inflated.size();
  ASSERT_EQ(uncompress(inflated.data(), &size, file.data() + 6, file.size() - 6), Z_OK);
  EXPECT_EQ(inflated, payload);
}

TEST(BirdWriter, DescriptorFieldsArePaddedText) {
  birdwriter::Descriptor d;
  d.build = 1234;
  d.version = "2.10.5";
  d.serial = 0x40F5849A;
  d.model = "ALPHA";
  std::string text = AsString(birdwriter::DescriptorBytes(d));
  EXPECT_EQ(text, "1234            2.10.5          40F5849A        ALPHA           ");
  d.version = "has space";
  EXPECT_THROW(birdwriter::DescriptorBytes(d), std::invalid_argument);
  d.version = "1";
  d.model = "SEVENTEEN-CHARS-X";
  EXPECT_THROW(birdwriter::DescriptorBytes(d), std::invalid_argument);
}

TEST(BirdWriter, ParserReportsWhatIsWrong) {
  birdwriter::Writer writer;
  writer.AddFirmware(0, Pattern(8)).ReportBlockCount(3).UseChecksum(0x12345678);
  std::string error;
  auto parsed = birdwriter::Parse(writer.File(0x0100), &error);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->blocks.size(), 1u);
  EXPECT_EQ(parsed->storedChecksum, 0x12345678u);
  EXPECT_NE(parsed->computedChecksum, 0x12345678u);
  EXPECT_EQ(parsed->errors,
            (std::vector<std::string>{"a version byte is zero", "file reports 3 blocks, 1 found"}));
  EXPECT_FALSE(birdwriter::Parse(AsBytes("bird\x01\x01zz"), &error));
  EXPECT_FALSE(birdwriter::Parse(AsBytes("bird"), &error));
}

#ifdef BIRDTOOL_BIN

class BirdTool : public ::testing::Test {
 protected:
  RunResult Run(const std::vector<std::string>& args) { return RunProgram(BIRDTOOL_BIN, args); }
  TempDir dir;
};

TEST_F(BirdTool, BuildsWhatTheProductLoads) {
  Bytes loader = Pattern(100, 1);
  Bytes firmware = Pattern(300, 2);
  WriteBytes(dir.file("loader.bin"), loader);
  WriteBytes(dir.file("fw.bin"), firmware);
  std::string out = dir.file("out.bird");
  RunResult r =
      Run({"build", "-o", out, "--loader", "0x20000000:" + dir.file("loader.bin") + ":2", "--firmware",
           "0x1000:" + dir.file("fw.bin"), "--serial-offsets", "0x1010:0x1020", "--build", "101", "--version",
           "1.2.3", "--serial", "DEADDEAD", "--model", "ALPHA", "--loader-start", "0x20000800"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, out + ": 5 blocks, " + std::to_string(ReadWholeFile(out).size()) + " bytes\n");

  ASSERT_TRUE(BirdFile::VerifyFile(out));
  BirdFile file(out);
  ASSERT_EQ(file.blockCount, 5u);
  EXPECT_EQ(file.blocks[0].type, BLOCK_TYPE_LOADER);
  EXPECT_EQ(file.blocks[0].flags, 2);
  EXPECT_EQ(file.blocks[0].address, 0x20000000u);
  EXPECT_EQ(Bytes(file.blocks[0].data + 4, file.blocks[0].data + file.blocks[0].length), loader);
  EXPECT_EQ(file.blocks[1].address, 0x1000u);
  EXPECT_EQ(Bytes(file.blocks[1].data + 4, file.blocks[1].data + file.blocks[1].length), firmware);
  EXPECT_EQ(file.serialNumberAddress, 0x1010u);
  EXPECT_EQ(file.descriptorAddress, 0x1020u);
  EXPECT_EQ(file.blocks[3].type, BLOCK_TYPE_DESCRIPTOR);  // where --build came
  EXPECT_EQ(file.GetBuild(), 101u);
  EXPECT_EQ(file.GetVersion(), "1.2.3");
  EXPECT_EQ(file.GetSerialNumber(), 0xDEADDEADu);
  EXPECT_TRUE(file.ValidateModel("ALPHA"));
  EXPECT_EQ(file.GetLoaderStart(), 0x20000800u);

  RunResult dump = Run({"dump", out});
  EXPECT_EQ(dump.exitStatus, 0) << dump.out;
  EXPECT_NE(dump.out.find("version    0x0101\n"), std::string::npos) << dump.out;
  EXPECT_NE(dump.out.find("blocks     5 reported, 5 found\n"), std::string::npos);
  EXPECT_NE(dump.out.find("[1] type 1 (firmware) flags 0 length 304 address 0x00001000..0x0000112C\n"),
            std::string::npos)
      << dump.out;
  EXPECT_NE(dump.out.find("      model    [ALPHA           ]\n"), std::string::npos);
  EXPECT_NE(dump.out.find("(matches)"), std::string::npos);
}

TEST_F(BirdTool, RefusesBadInputAndFlagsBrokenFiles) {
  WriteBytes(dir.file("fw.bin"), Pattern(4));
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"build", "--firmware", "0x1000:" + dir.file("fw.bin")}, "needs -o"},
      {{"build", "-o", dir.file("x"), "--firmware", "zz:" + dir.file("fw.bin")}, "bad address"},
      {{"build", "-o", dir.file("x"), "--firmware", "1:" + dir.file("none.bin")}, "cannot open"},
      {{"build", "-o", dir.file("x"), "--firmware", "1:" + dir.file("fw.bin") + ":8"}, "flags must be 0-7"},
      {{"build", "-o", dir.file("x"), "--model", "SEVENTEEN-CHARS-X"}, "longer than 16"},
      {{"build", "-o", dir.file("x"), "--serial", "123456789"}, "more than 8"},
      {{"frobnicate"}, "usage:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.message);
    RunResult r = Run(c.args);
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("x")));

  birdwriter::Writer writer;
  writer.AddFirmware(0, Pattern(4)).ReportBlockCount(2);
  WriteBytes(dir.file("bad.bird"), writer.File());
  RunResult r = Run({"dump", dir.file("bad.bird")});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.out.find("problem    file reports 2 blocks, 1 found\n"), std::string::npos) << r.out;
  WriteWholeFile(dir.file("junk.bird"), "bird\x01\x01junk");
  r = Run({"dump", dir.file("junk.bird")});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.out.find("not a BIRD file"), std::string::npos) << r.out;
}

#endif

}  // namespace
