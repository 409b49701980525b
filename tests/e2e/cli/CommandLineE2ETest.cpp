// The updater binary as a user meets it: arguments in, stdout, stderr and the
// exit status out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace {

const std::string kNotice =
    "Notice: use --https for update-server connections; it becomes the default in the next major version.\n";

std::string Usage(const char* name) { return ReadWholeFile(std::string(USAGE_DIR) + "/" + name); }

// What follows the version line "Updater (Version: 2.12.4 Mmm dd yyyy)".
std::string StripVersionLine(const std::string& out) {
  const std::string prefix = "Updater (Version: 2.12.4 ";
  size_t end = out.find('\n');
  bool ok = out.rfind(prefix, 0) == 0 && end == prefix.size() + 12 && out[end - 1] == ')';
  const std::string date = ok ? out.substr(prefix.size(), 11) : "";
  ok = ok && std::isupper(static_cast<unsigned char>(date[0])) && date[3] == ' ' && date[6] == ' ' &&
       std::isdigit(static_cast<unsigned char>(date[5])) &&
       std::all_of(date.begin() + 7, date.end(),
                   [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
  return ok ? out.substr(end + 1) : "<no version line>" + out;
}

const std::string kNoServer = "http://127.0.0.1:9/cgi/u";

class UpdaterCli : public ::testing::Test {
 protected:
  RunResult Run(std::vector<std::string> args, RunOptions options = {}) {
    return RunProgram(UpdaterBinary(), args, options);
  }
  // Commands that reach the application directory get a scratch one, and
  // server requests go to a loopback port where nothing listens (the default
  // server's name is never looked up).
  std::vector<std::string> WithDir(std::vector<std::string> args) {
    const bool serverChosen = std::any_of(args.begin(), args.end(), [](const std::string& a) {
      return a == "--http" || a == "--https" || a == "-u";
    });
    args.push_back("-i");
    args.push_back(dir_.path());
    if (!serverChosen) args.insert(args.end(), {"-u", kNoServer});
    return args;
  }
  TempDir dir_;
};

struct CliCase {
  const char* name;
  std::vector<std::string> args;
  int exitStatus;
  std::string out;  // after the version line
  std::string err;  // usage files are named with "@"
};

void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }

std::string Expand(const std::string& text) {
  std::string result;
  size_t at = 0;
  for (size_t pos; (pos = text.find('@', at)) != std::string::npos;) {
    size_t end = text.find('@', pos + 1);
    result += text.substr(at, pos - at) + Usage(text.substr(pos + 1, end - pos - 1).c_str());
    at = end + 1;
  }
  return result + text.substr(at);
}

}  // namespace

class CliTable : public UpdaterCli, public ::testing::WithParamInterface<CliCase> {};

TEST_P(CliTable, PrintsAndExits) {
  const CliCase& c = GetParam();
  RunResult r = Run(WithDir(c.args));
  EXPECT_EQ(r.exitStatus, c.exitStatus);
  EXPECT_EQ(StripVersionLine(r.out), Expand(c.out));
  EXPECT_EQ(r.err, Expand(c.err));
}

const std::string kShort = "@usage_short.txt@";

INSTANTIATE_TEST_SUITE_P(
    Cases, CliTable,
    ::testing::Values(
        CliCase{"CombinedLettersSetNothing", {"-DG"}, 0, kNotice, kShort},
        CliCase{"HelpFull", {"-h"}, 0, kNotice, "@usage_full.txt@"},
        CliCase{"HelpLong", {"--help"}, 0, kNotice, "@usage_full.txt@"},
        CliCase{"HelpPrefix", {"--he"}, 0, kNotice, "@usage_full.txt@"},
        CliCase{"DebugThenHelpIsExtended", {"-X", "1", "-h"}, 0, kNotice, "@usage_extended.txt@"},
        CliCase{"HelpThenDebugIsNot", {"-h", "-X", "1"}, 0, kNotice, "@usage_full.txt@"},
        CliCase{"AmbiguousSkipped", {"--h"}, 0, kNotice, kShort},
        CliCase{"ValueOnFlagSkipped", {"-D=1"}, 0, kNotice, kShort},
        CliCase{"BadSerial",
                {"-d", "12XY", "-U"},
                1,
                kNotice,
                "Invalid serial number obtained from argument [12XY]\n" + kShort},
        CliCase{"ZeroSerial",
                {"-d", "0", "-U"},
                1,
                kNotice,
                "Invalid serial number obtained from argument [0]\n" + kShort},
        CliCase{"LowercaseTransport",
                {"-t", "tcp", "-D"},
                1,
                kNotice,
                "Invalid transport type:[tcp]\nMust be one of the following: USB, TCPIP, RECOVER\n" + kShort},
        CliCase{
            "TwoServers",
            {"--http", "--https", "-B"},
            1,
            kNotice,
            "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n" +
                kShort},
        CliCase{
            "SameServerTwice",
            {"--http", "--http", "-B"},
            1,
            kNotice,
            "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n" +
                kShort},
        CliCase{"UnhandledY", {"-Y"}, 1, kNotice, "Unhandled command: [-Y]\n" + kShort},
        CliCase{"BadMaskGoesOn",
                {"-X", "0x10q", "-I"},
                0,
                "",
                "Invalid format for \"-X\" parameter, unprocessed characters [q]\n"},
        CliCase{"TrailingValueMissing", {"-I", "-b"}, 0, "", ""},
        CliCase{"SerialSkippedBeforeOption",
                {"-d", "-U"},
                1,
                "",
                "Must specify the specific device to be updated\n"},
        CliCase{"OverridePrefix", {"-OVER", "-I"}, 0, "", ""},
        CliCase{"StrayWordIgnored", {"firmware.bird", "-C"}, 0, "", ""},
        CliCase{"TransportsAccepted", {"-t", "TCPIP", "-t", "TCP", "-t", "USB", "-Z", "x"}, 0, "", ""},
        CliCase{"FingerprintNeedsPort", {"-N"}, 1, "", "Must specify the serial port used for connecting\n"},
        CliCase{"GetNeedsSerial",
                {"-G"},
                1,
                "",
                "-G must specify a specific device via -d\n--help for usage information\n"},
        CliCase{"ListBuildsNeedsSerial",
                {"-B"},
                1,
                "",
                "Error must supply a serial number for the List Builds command\n" + kShort},
        CliCase{"ListLocalNeedsSerial",
                {"-L"},
                1,
                "",
                "Error must supply a serial number for the List Local Builds command\n" + kShort},
        CliCase{"JwtNeedsSerial",
                {"-J"},
                1,
                "",
                "Error must supply a serial number for the Get JWT command\n" + kShort},
        CliCase{"UpdateNeedsSerial", {"-U"}, 1, "", "Must specify the specific device to be updated\n"},
        // -D with -U runs only the discovery; -N runs first and -G goes on after a failure.
        CliCase{"DiscoverWinsOverUpdate",
                {"-D", "-U", "-d", "40F5849A"},
                0,
                "Searching for Corvantis devices\nDiscovered Devices: (USB)\n    No devices found.\n",
                ""},
        CliCase{"GetWithBuildThenUpdate",
                {"-G", "-U", "-b", "abc", "-d", "40F5849A"},
                1,
                "Retrieving firmware for device with serial number 40F5849A\nRetrieving firmware build 0\n",
                "Server request failed for " + kNoServer + "\nCould not find valid build for this device.\n"},
        CliCase{"GetLatest",
                {"-G", "-d", "1a2b"},
                1,
                "Retrieving firmware for device with serial number 00001A2B\nNo build specified\nUsing "
                "Latest build\n",
                "Server request failed for " + kNoServer + "\n"},
        CliCase{"FingerprintFirst",
                {"-J", "-N", "-s", "/dev/null", "-d", "1"},
                0,
                "\n",
                "The -N command is not available yet in this version of Updater\n"
                "Server request failed for " +
                    kNoServer + "\n"},
        CliCase{"RecoveryNeedsNoSerial",
                {"-U", "-t", "RECOVER"},
                1,
                "",
                "The -U -t RECOVER command is not available yet in this version of Updater\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdaterCli, HexSerialWithPrefixLogsTheDiscard) {
  for (const char* value : {"0x1a2b", "1A2B"}) {
    RunResult r = Run(WithDir({"-X", "1", "-d", value, "-G"}));
    EXPECT_NE(r.out.find("serial number 00001A2B"), std::string::npos) << value;
    bool prefixed = std::string(value).rfind("0x", 0) == 0;
    EXPECT_EQ(r.err.find("Discarding '0x' serial number prefix\n") != std::string::npos, prefixed) << value;
  }
}

TEST_F(UpdaterCli, ApplicationParametersAreLogged) {
  RunResult r = Run({"stray", "-X", "0x10000", "-I", "-i", dir_.path()});
  EXPECT_EQ(r.exitStatus, 0);
  std::string words = "\t[" + std::string(UpdaterBinary()) + "]\n\t[-X]\n\t[0x10000]\n\t[-I]\n\t[-i]\n\t[" +
                      dir_.path() + "]\n\t[stray]\n";
  EXPECT_NE(r.err.find("\nApplication parameters:[updater]\n" + words), std::string::npos) << r.err;
}

TEST_F(UpdaterCli, CreatesTheStoreRootUnderTheGivenDirectory) {
  std::string nested = dir_.path() + "/a/b";
  RunResult r = Run({"-I", "-i", nested});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(access((nested + "/updater").c_str(), F_OK), 0);
}

TEST_F(UpdaterCli, ApplicationDirectoryThatCannotBeCreated) {
  WriteWholeFile(dir_.file("file"), "in the way");
  RunResult r = Run({"-I", "-i", dir_.file("file")});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "Could not find updater directory at " + dir_.file("file") + "/updater\n");
}

// A user without a password-database entry falls back to HOME; without HOME
// too, start-up fails with its log line and status 1.
TEST_F(UpdaterCli, DefaultDirectoryAndMissingHome) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as a user without an entry";
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  RunOptions withHome;
  withHome.uid = 54321;
  withHome.env["HOME"] = dir_.path();
  RunResult r = Run({"-I"}, withHome);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(access((dir_.path() + "/.vorantix/updater").c_str(), F_OK), 0);

  RunOptions noHome;
  noHome.uid = 54321;
  noHome.env["HOME"] = std::nullopt;
  r = Run({"-X", "0x10000", "-I"}, noHome);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("Updater: FailedaDirectory_GetHomeDirectory()==> "), std::string::npos) << r.err;
}

TEST_F(UpdaterCli, BadInputNeverCrashes) {
  // Over-long values: a 100000-digit serial is truncated to 32 bits, a huge path is kept.
  RunResult r = Run(WithDir({"-d", std::string(100000, 'F'), "-f", std::string(100000, 'p'), "-G"}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.out.find("serial number FFFFFFFF"), std::string::npos);
  // Non-UTF-8 bytes are shown back as given.
  r = Run(WithDir({"-d", "\xff\xfe\x80", "-U"}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err.rfind("Invalid serial number obtained from argument [\xff\xfe\x80]\n", 0), 0u);
  r = Run(WithDir({"-t", std::string(5000, '\xc3'), "-D"}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("Invalid transport type:["), std::string::npos);
  // 10,000 arguments.
  std::vector<std::string> many;
  for (int i = 0; i < 10000; ++i) many.push_back(i % 3 == 0 ? "-I" : i % 3 == 1 ? "word" : "-b=7");
  r = Run(WithDir(many));
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
}
