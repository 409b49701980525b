// The --flash-out file, the vmodule options that set up the loader, and
// birdtool's virtual firmware images.
#include <dirent.h>
#include <gtest/gtest.h>

#include "sim/birdwriter/BirdWriter.h"
#include "sim/birdwriter/VirtualImage.h"
#include "sim/vmodule/Config.h"
#include "sim/vmodule/Loader.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace {

using vmodule::LoaderBytes;
using vmodule::MemoryMap;

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr) {
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
  }
  if (d) closedir(d);
  return names;
}

TEST(FlashFile, RoundTripReplacesTheOldFileWhole) {
  TempDir dir;
  const std::string path = dir.file("flash.bin");
  const MemoryMap flash{{0x08000000, LoaderBytes(1000, 0xA5)}, {0xFFFFFFF0, LoaderBytes(16, 1)}, {0x10, {}}};
  std::string error;
  ASSERT_TRUE(vmodule::WriteFlashFile(path, flash, &error)) << error;
  auto back = vmodule::ReadFlashFile(path, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(*back, flash);

  ASSERT_TRUE(vmodule::WriteFlashFile(path, MemoryMap{}, &error)) << error;
  back = vmodule::ReadFlashFile(path, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_TRUE(back->empty());
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"flash.bin"});  // no temporary left

  // The layout, byte by byte.
  const LoaderBytes encoded = vmodule::EncodeFlash(MemoryMap{{0x01020304, {9, 8}}});
  const LoaderBytes expected{'v', 'm', 'f', 'l', 'a', 's', 'h', '1', 0, 0, 0,
                             1,   1,   2,   3,   4,   0,   0,   0,   2, 9, 8};
  EXPECT_EQ(encoded, expected);
}

TEST(FlashFile, UnwritablePlaceFailsCleanly) {
  TempDir dir;
  std::string error;
  EXPECT_FALSE(vmodule::WriteFlashFile(dir.file("missing/flash.bin"), MemoryMap{}, &error));
  EXPECT_NE(error.find("flash.bin"), std::string::npos);
  EXPECT_FALSE(vmodule::ReadFlashFile(dir.file("nothing"), &error));
}

TEST(FlashFile, CorruptFilesAreRefused) {
  const LoaderBytes good = vmodule::EncodeFlash(MemoryMap{{0x100, {1, 2, 3}}, {0x200, {4}}});
  auto edited = [&](auto edit) {
    LoaderBytes b = good;
    edit(b);
    return b;
  };
  const struct {
    const char* what;
    LoaderBytes bytes;
  } cases[] = {
      {"empty", {}},
      {"bad magic", edited([](LoaderBytes& b) { b[0] = 'V'; })},
      {"header only", LoaderBytes(good.begin(), good.begin() + 8)},
      {"truncated record", LoaderBytes(good.begin(), good.end() - 1)},
      {"trailing byte", edited([](LoaderBytes& b) { b.push_back(0); })},
      {"count too high", edited([](LoaderBytes& b) { b[11] = 3; })},
      {"huge length", edited([](LoaderBytes& b) { b[16] = 0xFF; })},
      {"overlap", edited([](LoaderBytes& b) {
         b[25] = 0x01;
         b[26] = 0x01;
       })},  // second record at 0x101
      {"past 4 GiB", edited([](LoaderBytes& b) {
         b[12] = 0xFF;
         b[13] = 0xFF;
         b[14] = 0xFF;
         b[15] = 0xFF;
       })},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(vmodule::DecodeFlash(c.bytes, &error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
  }
  std::string error;
  EXPECT_TRUE(vmodule::DecodeFlash(good, &error)) << error;
}

TEST(VmoduleOptions, LoaderBlockSizeAndFlashOut) {
  auto parse = [](std::vector<std::string> args, vmodule::Options* options, std::string* error) {
    args.insert(args.begin(), {"vmodule", "--tcp", "0"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    bool help = false;
    return vmodule::ParseArguments(static_cast<int>(argv.size()), argv.data(), options, &help, error);
  };
  vmodule::Options options;
  std::string error;
  EXPECT_EQ(options.loaderBlockSize, 512);
  ASSERT_TRUE(parse({"--loader-block-size", "4096", "--flash-out", "/tmp/f.bin"}, &options, &error)) << error;
  EXPECT_EQ(options.loaderBlockSize, 4096);
  EXPECT_EQ(options.flashOut, "/tmp/f.bin");
  for (const char* bad : {"65536", "-1", "x", ""}) {
    vmodule::Options o;
    EXPECT_FALSE(parse({"--loader-block-size", bad}, &o, &error)) << bad;
  }
  vmodule::Options o;
  EXPECT_FALSE(parse({"--flash-out", ""}, &o, &error));

  TempDir dir;
  WriteWholeFile(dir.file("c.json"), R"({"loader_block_size": 1024, "flash_out": "x.bin"})");
  vmodule::Options fromFile;
  ASSERT_TRUE(vmodule::LoadConfig(dir.file("c.json"), &fromFile, &error)) << error;
  EXPECT_EQ(fromFile.loaderBlockSize, 1024);
  EXPECT_EQ(fromFile.flashOut, "x.bin");
  WriteWholeFile(dir.file("bad.json"), R"({"loader_block_size": 70000})");
  EXPECT_FALSE(vmodule::LoadConfig(dir.file("bad.json"), &fromFile, &error));
}

TEST(VirtualImage, HeaderCarriesTheDescriptorAndModelNumber) {
  const birdwriter::Descriptor d{4242, "3.0.1", 0xDEADDEAD, "Merlin"};
  const LoaderBytes image = birdwriter::VirtualFirmwareImage(d, 13, 200);
  ASSERT_EQ(image.size(), 200u);
  EXPECT_EQ(std::string(image.begin(), image.begin() + 8), "vmodfw01");
  EXPECT_EQ(LoaderBytes(image.begin() + 16, image.begin() + 80), birdwriter::DescriptorBytes(d));
  auto info = birdwriter::ParseVirtualFirmwareImage(image.data(), image.size());
  ASSERT_TRUE(info);
  EXPECT_EQ(info->modelNumber, 13);
  EXPECT_EQ(info->descriptor.build, 4242u);
  EXPECT_EQ(info->descriptor.version, "3.0.1");
  EXPECT_EQ(info->descriptor.serial, 0xDEADDEADu);
  EXPECT_EQ(info->descriptor.model, "Merlin");
  EXPECT_FALSE(birdwriter::ParseVirtualFirmwareImage(image.data(), 79));
  EXPECT_THROW(birdwriter::VirtualFirmwareImage(d, 13, 79), std::invalid_argument);
}

#ifdef BIRDTOOL_BIN
TEST(VirtualImage, BirdtoolMakesTheSameImage) {
  TempDir dir;
  const std::string out = dir.file("vm.bird");
  RunResult r =
      RunProgram(BIRDTOOL_BIN, {"build", "-o", out, "--build", "77", "--version", "2.16.0", "--model",
                                "Osprey", "--vm-firmware", "0x08000000:4096:3", "--model-number", "5"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  LoaderBytes file;
  std::string error;
  ASSERT_TRUE(birdwriter::ReadFile(out, file, &error)) << error;
  auto parsed = birdwriter::Parse(file, &error);
  ASSERT_TRUE(parsed) << error;
  const birdwriter::Descriptor d{77, "2.16.0", 0, "Osprey"};
  ASSERT_EQ(parsed->blocks.size(), 2u);
  EXPECT_EQ(parsed->blocks[1].type, birdwriter::kTypeFirmware);
  EXPECT_EQ(parsed->blocks[1].flags, 3);
  LoaderBytes expected{0x08, 0, 0, 0};
  const LoaderBytes image = birdwriter::VirtualFirmwareImage(d, 5, 4096);
  expected.insert(expected.end(), image.begin(), image.end());
  EXPECT_EQ(parsed->blocks[1].data, expected);

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"build", "-o", out, "--vm-firmware", "0:4096"},  // no model number
           {"build", "-o", out, "--vm-firmware", "0:79", "--model-number", "5"},
           {"build", "-o", out, "--vm-firmware", "0:4096", "--model-number", "256"},
       }) {
    EXPECT_EQ(RunProgram(BIRDTOOL_BIN, bad).exitStatus, 2) << bad[4];
  }
}
#endif

}  // namespace
