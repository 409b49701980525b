#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "StoreTestSupport.h"
#include "store/KeyValueStore.h"

namespace {

class KeyValueStoreTest : public ::testing::Test {
 protected:
  std::string Settings(const std::string& content) {
    std::string path = dir.file(".settings");
    WriteWholeFile(path, content);
    return path;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  TempDir dir;
};

using Entries = std::map<std::string, std::string>;

TEST_F(KeyValueStoreTest, LineTable) {
  std::string path = Settings(
      "  NAME = some value  \n"
      "#X=1\n"
      "  #X=1\n"
      "K=V=W\n"
      "Z=\n"
      "A\n"
      "\n"
      "   \t \n"
      "CR=ends with cr\r\n"
      "bare key\n"
      "t\t=\ttabs\t\n"
      "LAST=no line feed");
  KeyValueStore store(path.c_str());
  EXPECT_EQ(store.Entries(), (Entries{{"NAME", "some value"},
                                      {"#X", "1"},
                                      {"K", "V=W"},
                                      {"Z", ""},
                                      {"CR", "ends with cr"},
                                      {"bare key", ""},
                                      {"t", "tabs"},
                                      {"LAST", "no line feed"}}));
  EXPECT_FALSE(store.IsDirty());
  EXPECT_EQ(store.Path(), path);
}

TEST_F(KeyValueStoreTest, LoadMergesAndReplaces) {
  KeyValueStore store;
  store.Add("KEEP", "kept");
  store.Add("Z", "old");
  store.Load(Settings("Z=1\nZ=2\n").c_str());
  EXPECT_EQ(store.Entries(), (Entries{{"KEEP", "kept"}, {"Z", "2"}}));
  EXPECT_FALSE(store.IsDirty());
}

TEST_F(KeyValueStoreTest, OverlongLineEndsLoading) {
  std::string path = Settings("A=1\nB=" + std::string(3000, 'x') + "\nC=3\n");
  KeyValueStore store(path.c_str());
  EXPECT_EQ(store.Entries(), (Entries{{"A", "1"}}));
}

TEST_F(KeyValueStoreTest, ReadingGettersInsertAndSaveWritesThem) {
  std::string path = Settings("Z=1\n");
  KeyValueStore store(path.c_str());
  EXPECT_EQ(store.GetInt("K", 7), 7);
  EXPECT_FALSE(store.IsDirty());
  store.Save();
  EXPECT_EQ(ReadWholeFile(path), "K=\nZ=1\n");

  // GetString and operator[] do not insert.
  EXPECT_EQ(store.GetString("S", "dflt"), "dflt");
  EXPECT_EQ(store["Q"], nullptr);
  store.Save();
  EXPECT_EQ(ReadWholeFile(path), "K=\nZ=1\n");
}

TEST_F(KeyValueStoreTest, TypedGetters) {
  KeyValueStore store;
  store.AddHex("H", 255);
  store.Add("ONE", "1");
  store.Add("ZERO", "0");
  store.Add("TRUE", "true");
  store.Add("YES", "yes");
  store.Add("EMPTY", "");
  store.Add("NEG", " -12abc");
  store.Add("BIG", "99999999999999");
  store.Add("D", "2.5e3");
  store.Add("HEXNEG", "-1");
  EXPECT_EQ(store.GetString("H"), "0x000000FF");
  EXPECT_EQ(store.GetHex("H", 1), 255u);
  EXPECT_EQ(store.GetInt("H", 1), 0);
  EXPECT_EQ(store.GetHex("ONE", 0), 1u);
  EXPECT_EQ(store.GetHex("HEXNEG", 0), 0xFFFFFFFFu);
  EXPECT_TRUE(store.GetBOOL("ONE", false));
  EXPECT_FALSE(store.GetBOOL("ZERO", true));
  EXPECT_FALSE(store.GetBOOL("TRUE", true));
  EXPECT_FALSE(store.GetBOOL("YES", true));
  EXPECT_TRUE(store.GetBOOL("EMPTY", true));
  EXPECT_EQ(store.GetInt("EMPTY", 9), 9);
  EXPECT_EQ(store.GetInt("NEG", 0), -12);
  EXPECT_EQ(store.GetInt("BIG", 0), INT32_MAX);
  EXPECT_DOUBLE_EQ(store.GetDouble("D", 0), 2500.0);
  EXPECT_DOUBLE_EQ(store.GetDouble("MISSING", 1.5), 1.5);
  EXPECT_EQ(store.GetString("EMPTY", "dflt"), "");
  EXPECT_STREQ(store["EMPTY"], "");
  EXPECT_EQ(store.GetString("MISSING2"), "");
}

TEST_F(KeyValueStoreTest, DirtyFlagRules) {
  struct Case {
    const char* name;
    void (*change)(KeyValueStore&);
    bool dirty;
  } cases[] = {
      {"same int text", [](KeyValueStore& s) { s.Add("N", 5); }, false},
      {"different text", [](KeyValueStore& s) { s.Add("N", "05"); }, true},
      {"same hex", [](KeyValueStore& s) { s.AddHex("H", 16); }, false},
      {"absent key, empty value", [](KeyValueStore& s) { s.Add("NEW", ""); }, false},
      {"absent key, value", [](KeyValueStore& s) { s.Add("NEW", "x"); }, true},
      {"merge of an empty store", [](KeyValueStore& s) { s.Add(KeyValueStore()); }, false},
      {"merge",
       [](KeyValueStore& s) {
         KeyValueStore other;
         other.Add("N", "5");
         s.Add(other);
       },
       true},
      {"clear", [](KeyValueStore& s) { s.Clear(); }, true},
      {"reading getter", [](KeyValueStore& s) { s.GetDouble("NEW", 0); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KeyValueStore store(Settings("N=5\nH=0x00000010\n").c_str());
    ASSERT_FALSE(store.IsDirty());
    c.change(store);
    EXPECT_EQ(store.IsDirty(), c.dirty);
  }
}

TEST_F(KeyValueStoreTest, NumbersAreNotCut) {
  KeyValueStore store;
  store.Add("D", 1e300);
  EXPECT_EQ(store.GetString("D").size(), 301u + 7u);
  EXPECT_DOUBLE_EQ(store.GetDouble("D", 0), 1e300);
  store.Add("I", INT32_MIN);
  EXPECT_EQ(store.GetString("I"), "-2147483648");
}

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithTwoEqualStamps) {
  std::string path = dir.file("new.settings");
  LogCapture log(DEBUG_Attributes);
  KeyValueStore store(path.c_str());
  EXPECT_TRUE(log.Has("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"));
  std::string text = ReadWholeFile(path);
  std::vector<std::string> times;
  ASSERT_TRUE(MatchWithTimes(text, "CREATED_TIME=@\nUPDATED_TIME=@\n", &times)) << text;
  EXPECT_EQ(times[0], times[1]);
  EXPECT_FALSE(store.IsDirty());
  EXPECT_EQ(store.Entries().size(), 2u);
}

TEST_F(KeyValueStoreTest, SaveOfADirtyStoreStampsTheUpdateTime) {
  std::string path = Settings("A=1\n");
  KeyValueStore store(path.c_str());
  store.Add("B", 2);
  store.Save();
  EXPECT_TRUE(MatchWithTimes(ReadWholeFile(path), "A=1\nB=2\nUPDATED_TIME=@\n"));
  EXPECT_FALSE(store.IsDirty());
  EXPECT_NE(store["UPDATED_TIME"], nullptr);

  std::string other = dir.file("copy");
  store.Save(other.c_str());  // clean: written as is, and the path moves along
  EXPECT_EQ(ReadWholeFile(other), ReadWholeFile(path));
  EXPECT_EQ(store.Path(), other);
}

TEST_F(KeyValueStoreTest, FailedSaveChangesNothingAndStaysDirty) {
  std::string path = dir.file("no/such/dir/.settings");
  KeyValueStore store;
  store.Add("A", "1");
  LogCapture log(DEBUG_Attributes);
  store.Save(path.c_str());
  EXPECT_TRUE(log.Has("Attibutes: Error - cannot open attributes file for writting: '" + path + "' (2)\n"))
      << log.Text();
  EXPECT_TRUE(store.IsDirty());
  EXPECT_EQ(store.Entries(), (Entries{{"A", "1"}}));
  EXPECT_EQ(store.Path(), path);
}

TEST_F(KeyValueStoreTest, LoadThatCannotCreateLeavesTheStoreEmpty) {
  std::string path = dir.file("no/.settings");
  LogCapture log(DEBUG_Attributes);
  KeyValueStore store(path.c_str());
  EXPECT_TRUE(store.Entries().empty());
  EXPECT_TRUE(log.Has("cannot open attributes file: '" + path));
  EXPECT_TRUE(log.Has("cannot open attributes file for writting: '" + path));
}

TEST_F(KeyValueStoreTest, SaveWithoutAnyPathUsesTheDefaultFileUnlessRefused) {
  std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  {
    KeyValueStore refused;
    refused.AllowDefaultFile(false);
    refused.Add("A", "1");
    refused.Save();
    EXPECT_FALSE(std::filesystem::exists(".settings"));
    EXPECT_TRUE(refused.IsDirty());

    KeyValueStore store;
    store.Add("A", "1");
    LogCapture log(DEBUG_Attributes);
    store.Save();
    EXPECT_TRUE(log.Has("Attibutes: no filename given for attributes, using default:[.settings]\n"));
    EXPECT_EQ(store.Path(), ".settings");
  }
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(MatchWithTimes(ReadWholeFile(dir.file(".settings")), "A=1\nUPDATED_TIME=@\n"));
}

TEST_F(KeyValueStoreTest, CopiesCarryEverything) {
  KeyValueStore store(Settings("A=1\n").c_str());
  store.Add("B", "2");
  KeyValueStore copy(store);
  EXPECT_EQ(copy.Entries(), store.Entries());
  EXPECT_EQ(copy.Path(), store.Path());
  EXPECT_TRUE(copy.IsDirty());
  KeyValueStore assigned;
  assigned = store;
  EXPECT_EQ(assigned.Entries(), store.Entries());
}

TEST_F(KeyValueStoreTest, SavingLeavesNoTemporaryFiles) {
  KeyValueStore store(Settings("A=1\n").c_str());
  store.Add("B", "2");
  store.Save();
  EXPECT_EQ(Names(), (std::vector<std::string>{".settings"}));
}

// Runs `save` in a child whose files may grow to `limit` bytes: with `die`
// the child is killed by SIGXFSZ there, else the write fails with EFBIG (a
// full disk as far as the writer can tell). Returns the wait status and, in
// *log, what the child logged under DEBUG_Attributes.
int SaveInChild(rlim_t limit, bool die, const std::function<void()>& save, const std::string& logPath) {
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, die ? SIG_DFL : SIG_IGN);
    rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    LogCapture log(DEBUG_Attributes);
    rlimit rl{};
    getrlimit(RLIMIT_FSIZE, &rl);
    rlim_t saved = rl.rlim_cur;
    rl.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &rl);
    save();
    rl.rlim_cur = saved;
    setrlimit(RLIMIT_FSIZE, &rl);
    WriteWholeFile(logPath, log.Text());
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST_F(KeyValueStoreTest, AFullDiskOrADeathMidSaveKeepsTheOldFile) {
  std::string original = "A=1\nB=2\n";
  std::string path = Settings(original);
  TempDir logs;
  std::string logPath = logs.file("child.log");
  for (bool die : {false, true}) {
    SCOPED_TRACE(die ? "killed" : "disk full");
    int status = SaveInChild(
        64, die,
        [&] {
          KeyValueStore store(path.c_str());
          store.Add("BIG", std::string(4096, 'x'));
          store.Save();
        },
        logPath);
    EXPECT_EQ(ReadWholeFile(path), original);
    if (die) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_EQ(Names(), (std::vector<std::string>{".settings"}));
      EXPECT_NE(ReadWholeFile(logPath).find("Attibutes: Error - cannot write attributes file: '" + path +
                                            "' (27)\n"),
                std::string::npos)
          << ReadWholeFile(logPath);
    }
  }
}

}  // namespace
