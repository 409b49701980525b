#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Corvantis2/unix/aDirectory.h"
#include "store/BuildPath.h"
#include "support/TempDir.h"

TEST(DirectoryEnsure, CreatesParentsAndIsIdempotent) {
  TempDir dir;
  std::string deep = dir.path() + "/a/b/c";
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
  EXPECT_TRUE(aDirectory_Exists((dir.path() + "/a").c_str()));
  EXPECT_TRUE(aDirectory_Exists((dir.path() + "/a/b").c_str()));
  EXPECT_TRUE(aDirectory_Exists(deep.c_str()));
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
  // Doubled and trailing separators are empty components.
  EXPECT_EQ(aDirectory_Ensure((dir.path() + "//d//e/").c_str(), 0755), aErrNone);
  EXPECT_TRUE(aDirectory_Exists((dir.path() + "/d/e").c_str()));
  struct stat st {};
  ASSERT_EQ(stat(deep.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777 & ~0022u, 0755u & ~0022u);
}

TEST(DirectoryEnsure, RelativePathAndFileInTheWay) {
  TempDir dir;
  char cwd[4096];
  ASSERT_EQ(aDirectory_CWD(cwd, sizeof cwd), aErrNone);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  EXPECT_EQ(aDirectory_Ensure("x/y", 0755), aErrNone);
  EXPECT_TRUE(aDirectory_Exists("x/y"));
  ASSERT_EQ(chdir(cwd), 0);

  WriteWholeFile(dir.file("file"), "x");
  EXPECT_EQ(aDirectory_Ensure((dir.path() + "/file/sub").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure(dir.file("file").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
}

TEST(DirectoryEnsure, UnwritableParentIsPermission) {
  if (geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("ro").c_str(), 0555), 0);
  EXPECT_EQ(aDirectory_Ensure((dir.path() + "/ro/new").c_str(), 0755), aErrPermission);
}

TEST(DirectoryList, WalksEntriesAndStops) {
  TempDir dir;
  WriteWholeFile(dir.file("f1"), "12345");
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
  struct Seen {
    std::vector<std::pair<std::string, aDirectoryListData>> entries;
  } seen;
  auto collect = [](const aDirectoryListData* d, void* ctx) {
    static_cast<Seen*>(ctx)->entries.push_back({d->path, *d});
    return true;
  };
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &seen), aErrNone);
  std::vector<std::string> names;
  for (auto& [path, data] : seen.entries) {
    names.push_back(path.substr(dir.path().size() + 1));
    if (names.back() == "f1") {
      EXPECT_EQ(data.size, 5u);
      EXPECT_EQ(data.isDirectory, 0u);
    }
    if (names.back() == "sub") {
      EXPECT_EQ(data.isDirectory, 1u);
    }
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "f1", "sub"}));

  int calls = 0;
  auto stopFirst = [](const aDirectoryListData*, void* ctx) {
    ++*static_cast<int*>(ctx);
    return false;
  };
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), stopFirst, &calls), aErrNone);
  EXPECT_EQ(calls, 1);

  calls = 0;
  EXPECT_EQ(aDirectory_List(dir.file("f1").c_str(), stopFirst, &calls), aErrNotFound);
  EXPECT_EQ(calls, 0);
}

TEST(DirectoryDelete, TreeRemovesEverythingButNeverFollowsLinks) {
  TempDir dir;
  TempDir outside;
  WriteWholeFile(outside.file("keep"), "precious");
  std::string root = dir.file("tree");
  ASSERT_EQ(aDirectory_Ensure((root + "/a/b").c_str(), 0755), aErrNone);
  WriteWholeFile(root + "/a/b/f", "x");
  WriteWholeFile(root + "/top", "y");
  ASSERT_EQ(symlink(outside.path().c_str(), (root + "/link").c_str()), 0);
  EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNone);
  EXPECT_FALSE(aDirectory_Exists(root.c_str()));
  EXPECT_EQ(ReadWholeFile(outside.file("keep")), "precious");
  EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNotFound);

  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  WriteWholeFile(root + "/f", "x");
  EXPECT_EQ(aDirectory_Delete(root.c_str()), aErrUnknown) << "not empty";
  unlink((root + "/f").c_str());
  EXPECT_EQ(aDirectory_Delete(root.c_str()), aErrNone);
}

struct JoinCase {
  size_t size;
  std::vector<const char*> parts;
  aErr result;
  const char* text;
};

class DirectoryBuildPath : public ::testing::TestWithParam<JoinCase> {};

TEST_P(DirectoryBuildPath, Joins) {
  const JoinCase& c = GetParam();
  std::vector<char> buffer(c.size, '#');
  std::vector<const char*> p = c.parts;
  p.resize(11, nullptr);
  aErr err = aDirectory_BuildPath(buffer.data(), buffer.size(), p[0], p[1], p[2], p[3], p[4], p[5], p[6],
                                  p[7], p[8], p[9], p[10], static_cast<const char*>(nullptr));
  EXPECT_EQ(err, c.result);
  EXPECT_STREQ(buffer.data(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DirectoryBuildPath,
    ::testing::Values(
        JoinCase{64, {"dir/", "name"}, aErrNone, "dir/name"},
        JoinCase{64, {"dir", "/name"}, aErrNone, "dir/name"},
        JoinCase{64, {"dir/", "/name"}, aErrNone, "dir//name"},
        JoinCase{10, {"abcd", "efg"}, aErrNone, "abcd/efg"},
        JoinCase{10, {"abcd", "efgh"}, aErrOverrun, "abcd/"}, JoinCase{5, {"abcd"}, aErrOverrun, ""},
        JoinCase{64, {"", "name"}, aErrNone, "name"},
        JoinCase{64, {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}, aErrNone, "a/b/c/d/e/f/g/h/i/j"},
        JoinCase{64, {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"}, aErrParam, ""}));

TEST(DirectoryBuildPathAlias, BufferAsPartIsRefused) {
  char buffer[32] = "abc";
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, buffer, "x", static_cast<const char*>(nullptr)),
            aErrParam);
  EXPECT_STREQ(buffer, "abc") << "the caller's part is left intact";
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "x", buffer, static_cast<const char*>(nullptr)),
            aErrParam);
  EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof buffer, "p", "q"), aErrNone);
  EXPECT_STREQ(buffer, "p/q");
}

TEST(PathHelpers, BuildPathAlwaysSeparatesAndBackwardsSearch) {
  EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b");
  EXPECT_EQ(BuildPath("root", "dev", ".settings", nullptr), "root/dev/.settings");
  EXPECT_EQ(BuildPath("only", nullptr), "only");
  const char* text = "a/b/c";
  EXPECT_EQ(backwards_memcmp(text, "/"), text + 3);
  EXPECT_EQ(backwards_memcmp("abc", "/"), nullptr);
  EXPECT_EQ(backwards_memcmp(text, ""), text);
  EXPECT_EQ(backwards_memcmp("ab", "abc"), nullptr);
  const char* repeated = "abab";
  EXPECT_EQ(backwards_memcmp(repeated, "ab"), repeated + 2);
}

// A user without a password-database entry: HOME is the fallback, and with no
// HOME either the lookup fails instead of inventing a directory.
TEST(DirectoryQueries, HomeWithoutUserEntry) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become a user without an entry";
  for (bool withHome : {true, false}) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (setgid(54321) != 0 || setuid(54321) != 0) _exit(10);
      if (withHome)
        setenv("HOME", "/nowhere/home", 1);
      else
        unsetenv("HOME");
      char buffer[64];
      aErr err = aDirectory_GetHomeDirectory(buffer, sizeof buffer);
      if (withHome) _exit(err == aErrNone && strcmp(buffer, "/nowhere/home") == 0 ? 0 : 11);
      _exit(err != aErrNone ? 0 : 12);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "withHome=" << withHome << " status=" << status;
  }
}

TEST(DirectoryQueries, HomeCwdAndExecutable) {
  char buffer[2048];
  EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
  EXPECT_GT(strlen(buffer), 0u);
  char tiny[4];
  EXPECT_EQ(aDirectory_GetHomeDirectory(tiny, sizeof tiny), aErrNone);
  EXPECT_LT(strlen(tiny), sizeof tiny) << "cut to fit and terminated";
  EXPECT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(aDirectory_CWD(tiny, 1), aErrParam);
  EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
  EXPECT_NE(strstr(buffer, "platform_test"), nullptr) << buffer;
  EXPECT_EQ(aDirectory_ExecutableFilePath(tiny, sizeof tiny), aErrNone);
  EXPECT_EQ(strlen(tiny), 3u);
}
