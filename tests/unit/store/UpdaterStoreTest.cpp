#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "StoreTestSupport.h"
#include "store/UpdaterStore.h"

namespace {

namespace fs = std::filesystem;

class UpdaterStoreTest : public ::testing::Test {
 protected:
  std::string root() const { return dir.file("updater"); }
  TempDir dir;
};

std::string ConstructError(const std::string& path) {
  try {
    UpdaterStore store(path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

// Entry names of a directory in the order the file system returns them.
std::vector<std::string> DirectoryOrder(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  while (dirent* e = readdir(d)) names.push_back(e->d_name);
  closedir(d);
  return names;
}

TEST_F(UpdaterStoreTest, RootIsCreatedWithItsParents) {
  std::string nested = dir.file("a/b/updater");
  LogCapture log(DEBUG_Updater);
  UpdaterStore store(nested);
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_EQ(store.BasePath(), nested);
  EXPECT_TRUE(log.Has("UpdaterStore: Created directory [" + nested + "].\n"));
  UpdaterStore again(nested);
  EXPECT_TRUE(log.Has("UpdaterStore: [" + nested + "] already exists.\n"));
}

TEST_F(UpdaterStoreTest, RootProblemsThrow) {
  WriteWholeFile(dir.file("file"), "x");
  EXPECT_EQ(ConstructError(dir.file("file")), "UpdaterStore: " + dir.file("file") + " exists and is a file");
  EXPECT_EQ(ConstructError(dir.file("file/updater")),
            "UpdaterStore: Could not create directory " + dir.file("file/updater") + " error 12");
}

TEST_F(UpdaterStoreTest, AddDeviceCreatesTheDirectoryAndItsSettings) {
  UpdaterStore store(root());
  UpdaterStoreItem item = store.AddDevice(0x12AB);
  EXPECT_EQ(item.basePath, root());
  EXPECT_EQ(item.name, "000012AB");
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  EXPECT_TRUE(item.IsValid());
  std::string settings = root() + "/000012AB/.settings";
  EXPECT_TRUE(MatchWithTimes(ReadWholeFile(settings), "CREATED_TIME=@\nUPDATED_TIME=@\n"));
  EXPECT_EQ(item.settings.Path(), settings);
  EXPECT_EQ(item.settings.Entries().size(), 2u);

  // Settings saved through the item land in its own file.
  item.settings.Add("LATEST_TRANSFER", "101.bird");
  item.settings.Save();
  UpdaterStoreItem reread = store.AddDevice("000012AB");
  EXPECT_EQ(reread.settings.GetString("LATEST_TRANSFER"), "101.bird");
}

TEST_F(UpdaterStoreTest, AddDeviceOverAFileThrows) {
  UpdaterStore store(root());
  WriteWholeFile(root() + "/000012AB", "not a directory");
  try {
    store.AddDevice(0x12AB);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "UpdaterStore: " + root() + "/000012AB exists and is a file");
  }
}

TEST_F(UpdaterStoreTest, FindDeviceFillsTheItem) {
  UpdaterStore store(root());
  fs::create_directories(root() + "/000012AB");
  WriteWholeFile(root() + "/000012AB/.settings", "LATEST_DOWNLOAD=100\n");
  UpdaterStoreItem item;
  LogCapture log(DEBUG_Updater);
  ASSERT_TRUE(store.FindDevice(0x12AB, &item));
  EXPECT_EQ(item.basePath, root());
  EXPECT_EQ(item.name, "000012AB");
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  EXPECT_EQ(item.settings.GetInt("LATEST_DOWNLOAD", 0), 100);
  EXPECT_TRUE(log.Has("UpdaterStore: FindDevice Found 000012AB.\n"));
  EXPECT_TRUE(log.Has("_find_item([" + root() + "/000012AB], 1, "));
  EXPECT_TRUE(store.FindDevice("000012AB", nullptr));
}

TEST_F(UpdaterStoreTest, FindDeviceOnAMissingRootIsNotFound) {
  UpdaterStore store(root());
  fs::remove(root());
  UpdaterStoreItem item;
  LogCapture log(DEBUG_Updater);
  EXPECT_FALSE(store.FindDevice(0x12AB, &item));
  EXPECT_TRUE(log.Has("UpdaterStore: FindDevice Not Found 000012AB.\n"));
  EXPECT_EQ(item.kind, STORE_ITEM_NONE);
  EXPECT_FALSE(item.IsValid());
}

// Only an entry of exactly that name is the device: not one that merely
// contains it, and not anything below a root whose own path contains it.
TEST_F(UpdaterStoreTest, FindDeviceMatchesWholeNamesOnly) {
  std::string odd = dir.file("000012AB-home/updater");
  UpdaterStore store(odd);
  fs::create_directories(odd + "/1000012AB0");
  WriteWholeFile(odd + "/000012AB.old", "x");
  UpdaterStoreItem item;
  EXPECT_FALSE(store.FindDevice(0x12AB, &item));
  EXPECT_EQ(item.kind, STORE_ITEM_NONE);
  fs::create_directories(odd + "/000012AB");
  EXPECT_TRUE(store.FindDevice(0x12AB, &item));
  EXPECT_EQ(item.name, "000012AB");
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
}

TEST_F(UpdaterStoreTest, LocalBuildsAreTheVisibleEntriesInDirectoryOrder) {
  UpdaterStore store(root());
  UpdaterStoreItem device = store.AddDevice(0x12AB);
  std::string deviceDir = root() + "/000012AB";
  WriteWholeFile(deviceDir + "/100.bird", "x");
  WriteWholeFile(deviceDir + "/101.bird", "y");
  WriteWholeFile(deviceDir + "/.101.bird.tmp.99", "leftover");
  std::vector<UpdaterStoreItem> items;
  LogCapture log(DEBUG_Updater | DEBUG_Attributes);
  EXPECT_TRUE(store.FindLocalBuilds(0x12AB, items));
  std::vector<std::string> expected;
  for (const std::string& name : DirectoryOrder(deviceDir)) {
    if (name[0] != '.') expected.push_back(name);
  }
  ASSERT_EQ(items.size(), 2u);
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].name, expected[i]);
    EXPECT_EQ(items[i].basePath, deviceDir);
    EXPECT_EQ(items[i].kind, STORE_ITEM_FILE);
    EXPECT_TRUE(items[i].settings.Entries().empty());
  }
  EXPECT_TRUE(log.Has("_find_items([" + deviceDir + "/100.bird], 0, 1)\n"));
  EXPECT_TRUE(log.Has("cannot open attributes file for writting: '" + deviceDir + "/100.bird/.settings'"));
  EXPECT_FALSE(fs::exists(deviceDir + "/100.bird/.settings"));

  std::vector<UpdaterStoreItem> none;
  EXPECT_TRUE(store.FindLocalBuilds(0x99, none));
  EXPECT_TRUE(none.empty());
}

TEST_F(UpdaterStoreTest, WriteFileReplacesWholeFilesOnly) {
  UpdaterStore store(root());
  UpdaterStoreItem item = store.AddDevice(0x12AB);
  std::string target = root() + "/000012AB/100.bird";
  const uint8_t first[] = {1, 2, 3, 4, 5};
  const uint8_t second[] = {9};
  EXPECT_EQ(item.WriteFile("100.bird", first, sizeof first), aErrNone);
  EXPECT_EQ(ReadWholeFile(target), std::string("\1\2\3\4\5", 5));
  EXPECT_EQ(item.WriteFile("100.bird", second, sizeof second), aErrNone);
  EXPECT_EQ(ReadWholeFile(target), "\x09");
  EXPECT_EQ(item.WriteFile("empty.bird", second, 0), aErrNone);
  EXPECT_EQ(ReadWholeFile(root() + "/000012AB/empty.bird"), "");

  EXPECT_EQ(item.WriteFile("null.bird", nullptr, 4), aErrNotFound);
  EXPECT_FALSE(fs::exists(root() + "/000012AB/null.bird"));
  UpdaterStoreItem gone(root(), "FFFFFFFF", STORE_ITEM_DIRECTORY);
  EXPECT_EQ(gone.WriteFile("100.bird", first, sizeof first), aErrNotFound);

  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(root() + "/000012AB")) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".settings", "100.bird", "empty.bird"}));
}

// A write that cannot complete (files limited to 1 KiB, as on a full disk)
// reports an error and leaves the earlier file whole.
TEST_F(UpdaterStoreTest, WriteFileThatCannotCompleteKeepsTheOldFile) {
  UpdaterStore store(root());
  UpdaterStoreItem item = store.AddDevice(0x12AB);
  const uint8_t old[] = {1, 2, 3};
  ASSERT_EQ(item.WriteFile("100.bird", old, sizeof old), aErrNone);
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit rl{};
    getrlimit(RLIMIT_FSIZE, &rl);
    rl.rlim_cur = 1024;
    setrlimit(RLIMIT_FSIZE, &rl);
    std::vector<uint8_t> big(64 * 1024, 0xAB);
    _exit(item.WriteFile("100.bird", big.data(), big.size()) == aErrIO ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadWholeFile(root() + "/000012AB/100.bird"), "\1\2\3");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(root() + "/000012AB")) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".settings", "100.bird"}));
}

TEST_F(UpdaterStoreTest, ReadBirdFileChecksTheHeaderFirst) {
  UpdaterStore store(root());
  UpdaterStoreItem item = store.AddDevice(0x12AB);
  birdwriter::Writer writer;
  birdwriter::Descriptor d;
  d.build = 101;
  d.model = "ALPHA";
  writer.AddFirmware(0x1000, Pattern(32)).AddDescriptor(d);
  birdwriter::Bytes good = writer.File();
  ASSERT_EQ(item.WriteFile("101.bird", good.data(), good.size()), aErrNone);
  BirdFile file = item.ReadBirdFile("101.bird");
  EXPECT_EQ(file.GetBuild(), 101u);
  EXPECT_EQ(file.path, root() + "/000012AB/101.bird");

  struct Case {
    const char* name;
    std::string bytes;
    std::string error;
  } cases[] = {
      {"bad.bird", "BIRD\x01\x01garbage", "Invalid bird " + root() + "/000012AB/bad.bird"},
      {"broken.bird", "bird\x01\x01garbage", "Failed to load bird data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteWholeFile(root() + "/000012AB/" + c.name, c.bytes);
    LogCapture log(DEBUG_BirdFile);
    try {
      item.ReadBirdFile(c.name);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
    // An invalid header is refused without trying to load the file.
    EXPECT_EQ(log.Has("BIRDFILE: Loading File"), c.error == "Failed to load bird data");
  }
  EXPECT_THROW(item.ReadBirdFile("missing.bird"), std::runtime_error);
}

TEST_F(UpdaterStoreTest, FileExistsWantsTheWholeName) {
  UpdaterStore store(root());
  UpdaterStoreItem item = store.AddDevice(0x12AB);
  WriteWholeFile(root() + "/000012AB/1100.bird", "x");
  EXPECT_FALSE(item.FileExists("100.bird"));
  WriteWholeFile(root() + "/000012AB/100.bird", "x");
  EXPECT_TRUE(item.FileExists("100.bird"));
  EXPECT_TRUE(item.FileExists(".settings"));
  EXPECT_FALSE(UpdaterStoreItem().FileExists("100.bird"));
}

// A device the store has never seen must not get its settings written to
// ".settings" in the working directory.
TEST_F(UpdaterStoreTest, AnUnknownDeviceNeverSavesIntoTheWorkingDirectory) {
  UpdaterStore store(root());
  UpdaterStoreItem item;
  EXPECT_FALSE(store.FindDevice(0x12AB, &item));
  std::string cwd = fs::current_path();
  fs::current_path(dir.path());
  item.settings.Add("LATEST_TRANSFER", "100.bird");
  item.settings.Save();
  UpdaterStoreItem copy = item;
  copy.settings.Save();
  fs::current_path(cwd);
  EXPECT_FALSE(fs::exists(dir.file(".settings")));
  EXPECT_TRUE(item.settings.IsDirty());
}

TEST_F(UpdaterStoreTest, ItemsAreValues) {
  UpdaterStore store(root());
  UpdaterStoreItem item = store.AddDevice(0x12AB);
  UpdaterStoreItem copy = item;
  copy.settings.Add("X", "1");
  EXPECT_EQ(item.settings["X"], nullptr);
  EXPECT_EQ(copy.name, item.name);
  UpdaterStoreItem empty;
  EXPECT_EQ(empty.kind, STORE_ITEM_NONE);
  EXPECT_TRUE(empty.basePath.empty() && empty.name.empty() && empty.settings.Entries().empty());
}

}  // namespace
