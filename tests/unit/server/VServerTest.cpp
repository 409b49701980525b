// The virtual update server as a program: its start line, its catalog
// reading, its switches and its clean stop.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ServerTestSupport.h"
#include "server/HTTPRequest.h"
#include "support/Subprocess.h"

namespace {

std::string Get(const std::string& url, const std::map<std::string, std::string>& params) {
  HTTPResponse r = HTTPRequest::GET(url, params);
  return std::to_string(r.get_status()) + " " + r.get_response();
}

}  // namespace

TEST(VServerProgram, PrintsItsURLAndStopsCleanlyOnSigterm) {
  VServer server;
  const std::string prefix = "http://127.0.0.1:", suffix = "/cgi/u";
  const std::string& url = server.url();
  ASSERT_GT(url.size(), prefix.size() + suffix.size()) << url;
  EXPECT_EQ(url.substr(0, prefix.size()), prefix);
  EXPECT_EQ(url.substr(url.size() - suffix.size()), suffix);
  const std::string port = url.substr(prefix.size(), url.size() - prefix.size() - suffix.size());
  EXPECT_EQ(port.find_first_not_of("0123456789"), std::string::npos) << url;
  EXPECT_EQ(Get(server.url(), {{"op", "hi"}, {"rv", "2"}}), "200 ok\n");
  EXPECT_EQ(server.Stop(), 0);
}

TEST(VServerProgram, StopsPromptlyDuringASlowAnswer) {
  VServer server({"--fault", "hi:slow=60000"});
  std::thread client([&] {
    try {
      HTTPRequest::GET(server.url(), {{"op", "hi"}, {"rv", "2"}});
    } catch (const std::exception&) {
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  client.join();
}

TEST(VServerProgram, RefusesBadArguments) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--catalog"},
      {"--catalog", "/tmp", "--port", "70000"},
      {"--catalog", "/tmp", "--https"},
      {"--catalog", "/tmp", "--fault", "qu:explode"},
      {"--catalog", "/tmp", "--fault", "slow=5"},
      {"--catalog", "/tmp", "--fault", "qu:drop=1"},
      {"--catalog", "/tmp", "--canned", "qu:/no/such/file"},
      {"--catalog", "/tmp", "--bogus"},
  };
  RunOptions quick;
  quick.timeoutMs = 5000;
  for (const auto& args : bad) {
    const RunResult r = RunProgram(VServerBinary(), args, quick);
    EXPECT_EQ(r.exitStatus, 2) << testing::PrintToString(args) << r.err;
  }
  TempDir dir;
  WriteWholeFile(dir.file("bad.pem"), "not a certificate\n");
  const RunResult r = RunProgram(
      VServerBinary(),
      {"--catalog", dir.path(), "--https", "--cert", dir.file("bad.pem"), "--key", dir.file("bad.pem")},
      quick);
  EXPECT_EQ(r.exitStatus, 1) << r.err;
}

TEST(VServerProgram, SwitchesFromTheCommandLine) {
  TempDir dir;
  WriteWholeFile(dir.file("reply"), "ok\n4242\nCANNED\n");
  VServer server(
      {"--canned", "qu:" + dir.file("reply"), "--fault", "builds:status=503", "--fault", "hi:verdict=nope"});
  EXPECT_EQ(Get(server.url(), {{"op", "qu"}, {"sn", "00000001"}}), "200 ok\n4242\nCANNED\n");
  EXPECT_EQ(Get(server.url(), {{"op", "builds"}, {"sn", "00000001"}}), "503 Internal Server Error\n");
  EXPECT_EQ(Get(server.url(), {{"op", "hi"}, {"rv", "2"}}), "200 nope\n");
}

TEST(VServerProgram, ListsBuildsWithTheirDescriptorVersion) {
  VServer server;
  server.AddDevice("0000ABCD", "", "", {{"7", "1.0.0"}, {"12", "2.10.5"}, {"100", "x.y"}});
  TestBird noDescriptor;
  noDescriptor.descriptor = false;
  server.WriteFile("0000ABCD/13.bird", MakeBird(noDescriptor));
  server.WriteFile("0000ABCD/14.bird", "bird\x01\x01garbage");  // not a zlib stream
  const std::string whole = MakeBird(TestBird{});
  server.WriteFile("0000ABCD/15.bird", whole.substr(0, whole.size() - 6));  // stream cut short
  server.WriteFile("0000ABCD/notes.txt", "hello");
  server.WriteFile("0000ABCD/x1.bird", MakeBird(TestBird{}));
  EXPECT_EQ(Get(server.url(), {{"op", "builds"}, {"sn", "0000ABCD"}}),
            "200 ok\n7;1.0.0\n12;2.10.5\n13;\n14;\n15;\n100;x.y\n");
  // A known device without a latest file has no latest build.
  EXPECT_EQ(Get(server.url(), {{"op", "qu"}, {"sn", "0000ABCD"}}),
            "200 error\nno build for device 0000ABCD\n");
}

TEST(VServerProgram, ChecksTheQueryKeys) {
  VServer server;
  server.AddDevice("0000ABCD", "7", "FW", {{"7", "1.0.0"}});
  const std::vector<std::pair<std::map<std::string, std::string>, std::string>> cases = {
      {{{"op", "qu"}}, "missing key 'sn'"},
      {{{"op", "qu"}, {"sn", "0000ABCD"}, {"x", "1"}}, "unexpected key 'x'"},
      {{{"op", "qu"}, {"sn", "0000abcd"}}, "bad serial number '0000abcd'"},
      {{{"op", "what"}}, "unknown operation 'what'"},
      {{{"op", "bird"}, {"sn", "0000ABCD"}, {"fw", "FW"}, {"bld", "7"}, {"no_cal", "0"}},
       "no_cal must be true or false"},
      {{{"op", "bird"}, {"sn", "0000ABCD"}, {"fw", "FW"}, {"bld", "7x"}, {"no_cal", "false"}},
       "bad build number '7x'"},
      {{{"op", "fix"}, {"fp", "00000001%2000000002"}, {"brief", "true"}}, "bad fingerprint"},
      {{{"op", "ent_jwt"}, {"sn", "0000ABCD"}, {"json", "true"}}, "json must be false"},
  };
  for (const auto& [params, why] : cases) EXPECT_EQ(Get(server.url(), params), "200 error\n" + why + "\n");
}
