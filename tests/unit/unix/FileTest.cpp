#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "Corvantis2/unix/aFile.h"
#include "support/TempDir.h"

namespace {

struct FileCloser {
  aFile* f;
  ~FileCloser() {
    if (f) aFile_Close(&f);
  }
};

}  // namespace

TEST(File, OpenRefusesBadPathsAndModes) {
  TempDir dir;
  std::string path = dir.file("x");
  EXPECT_EQ(aFile_Open(nullptr, 0), nullptr);
  EXPECT_EQ(aFile_Open("", 1), nullptr);
  EXPECT_EQ(aFile_Open(path.c_str(), 3), nullptr);
  EXPECT_EQ(aFile_Open(path.c_str(), 0), nullptr) << "read of a missing file";
  std::string tooLong(4097, 'a');
  EXPECT_EQ(aFile_Open(tooLong.c_str(), 1), nullptr);
  EXPECT_FALSE(aFile_Exists(tooLong.c_str()));
  // 4096 characters passes the length check and fails only at the system.
  std::string longest = dir.path();
  while (longest.size() < 4096 - 100)
    longest += "/bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";
  longest += "/" + std::string(4096 - longest.size() - 1, 'c');
  ASSERT_EQ(longest.size(), 4096u);
  EXPECT_EQ(aFile_Open(longest.c_str(), 1), nullptr);
  EXPECT_EQ(aFile_Delete(tooLong.c_str()), aErrFileNameLength);
  EXPECT_NE(aFile_Delete(longest.c_str()), aErrFileNameLength) << "reached the system, not the length check";
}

TEST(File, ReadsShortThenEOFAndRespectsModes) {
  TempDir dir;
  std::string path = dir.file("five");
  WriteWholeFile(path, "12345");
  FileCloser in{aFile_Open(path.c_str(), aFileModeRead)};
  ASSERT_NE(in.f, nullptr);
  char buf[8];
  size_t count = 99;
  EXPECT_EQ(aFile_Read(in.f, buf, 8, &count), aErrNone);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(aFile_Read(in.f, buf, 8, &count), aErrEOF);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Write(in.f, "x", 1, nullptr), aErrMode);
  EXPECT_EQ(aFile_Printf(in.f, "x"), aErrMode);
  EXPECT_EQ(aFile_Read(in.f, nullptr, 1, nullptr), aErrParam);

  FileCloser out{aFile_Open(dir.file("w").c_str(), aFileModeWrite)};
  ASSERT_NE(out.f, nullptr);
  EXPECT_EQ(aFile_Read(out.f, buf, 1, nullptr), aErrMode);
  EXPECT_EQ(aFile_ReadLine(out.f, buf, sizeof buf, nullptr), aErrMode);
  EXPECT_EQ(aFile_Printf(out.f, "%d-%s", 7, "ok"), aErrNone);
  EXPECT_EQ(aFile_Sync(out.f), aErrNone);
  EXPECT_EQ(aFile_Sync(in.f), aErrMode);
  EXPECT_EQ(aFile_Close(&out.f), aErrNone);
  EXPECT_EQ(out.f, nullptr);
  EXPECT_EQ(ReadWholeFile(dir.file("w")), "7-ok");
}

TEST(File, AppendStartsAtEndAndSeekBounds) {
  TempDir dir;
  std::string path = dir.file("ten");
  WriteWholeFile(path, "0123456789");
  FileCloser f{aFile_Open(path.c_str(), aFileModeAppend)};
  ASSERT_NE(f.f, nullptr);
  size_t pos = 123;
  EXPECT_EQ(aFile_GetPosition(f.f, &pos), aErrNone);
  EXPECT_EQ(pos, 10u);
  EXPECT_EQ(aFile_Seek(f.f, 0, 2), aErrNone);
  EXPECT_EQ(aFile_Seek(f.f, 1, 2), aErrRange);
  EXPECT_EQ(aFile_Seek(f.f, -11, 2), aErrRange);
  EXPECT_EQ(aFile_Seek(f.f, -1, 0), aErrRange);
  EXPECT_EQ(aFile_Seek(f.f, 3, 0), aErrNone);
  EXPECT_EQ(aFile_Seek(f.f, 2, 1), aErrNone);
  EXPECT_EQ(aFile_GetPosition(f.f, &pos), aErrNone);
  EXPECT_EQ(pos, 5u);
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(f.f, &size), aErrNone);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(aFile_GetPosition(f.f, &pos), aErrNone);
  EXPECT_EQ(pos, 5u) << "GetSize restores the position";
  EXPECT_EQ(aFile_Seek(f.f, 0, 0), aErrNone);
  pos = 77;
  EXPECT_EQ(aFile_GetPosition(f.f, &pos), aErrNone);
  EXPECT_EQ(pos, 0u) << "position 0 is reported, not left stale";
  ASSERT_EQ(aFile_Write(f.f, "AB", 2, nullptr), aErrNone);  // append mode writes at the end
  ASSERT_EQ(aFile_Close(&f.f), aErrNone);
  EXPECT_EQ(ReadWholeFile(path), "0123456789AB");
}

TEST(File, ReadLineSplitsLongLines) {
  TempDir dir;
  std::string path = dir.file("lines");
  WriteWholeFile(path, "abcd\nabcde\nlast");
  FileCloser f{aFile_Open(path.c_str(), aFileModeRead)};
  ASSERT_NE(f.f, nullptr);
  char buf[6];
  size_t length = 0;
  EXPECT_EQ(aFile_ReadLine(f.f, buf, sizeof buf, &length), aErrNone);
  EXPECT_STREQ(buf, "abcd\n");
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(aFile_ReadLine(f.f, buf, sizeof buf, &length), aErrOverrun);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(aFile_ReadLine(f.f, buf, sizeof buf, &length), aErrNone);
  EXPECT_STREQ(buf, "\n");
  EXPECT_EQ(aFile_ReadLine(f.f, buf, sizeof buf, &length), aErrNone);
  EXPECT_STREQ(buf, "last");
  EXPECT_EQ(aFile_ReadLine(f.f, buf, sizeof buf, &length), aErrEOF);
  EXPECT_STREQ(buf, "");
}

TEST(File, ExistsCloseAndDelete) {
  TempDir dir;
  std::string path = dir.file("f");
  EXPECT_FALSE(aFile_Exists(path.c_str()));
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
  WriteWholeFile(path, "x");
  EXPECT_TRUE(aFile_Exists(path.c_str()));
  EXPECT_FALSE(aFile_Exists(dir.path().c_str())) << "a directory is not a file";
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
  EXPECT_FALSE(aFile_Exists(path.c_str()));

  aFile* none = nullptr;
  EXPECT_EQ(aFile_Close(&none), aErrParam);
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);
  EXPECT_EQ(aFile_Read(nullptr, nullptr, 0, nullptr), aErrParam);
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(nullptr, &size), aErrParam);
}

TEST(File, DeleteInReadOnlyDirectoryIsPermission) {
  if (geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
  TempDir dir;
  std::string sub = dir.file("ro");
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  WriteWholeFile(sub + "/f", "x");
  ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
  EXPECT_EQ(aFile_Delete((sub + "/f").c_str()), aErrPermission);
}
