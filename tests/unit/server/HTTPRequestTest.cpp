#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "ServerTestSupport.h"
#include "support/LoopbackPort.h"
#include "server/HTTPRequest.h"

namespace {

int ClosedPort() { return UnusedLoopbackPort(); }

std::string ThrownText(const std::string& url, const std::map<std::string, std::string>& params = {}) {
  try {
    HTTPRequest::GET(url, params);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no exception)";
}

// Restores the process-wide transport settings after a test changed them.
class SettingsGuard {
 public:
  SettingsGuard() : saved_(HTTPRequest::Settings()) {}
  ~SettingsGuard() { HTTPRequest::Configure(saved_); }

 private:
  HTTPSettings saved_;
};

class HTTPRequestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new VServer(); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override { server->Reset(); }
  static VServer* server;
};
VServer* HTTPRequestTest::server = nullptr;

}  // namespace

TEST(HTTPRequestURL, SortedKeysTrailingAmpersandNoEscaping) {
  const std::string base = "http://h/cgi/u";
  EXPECT_EQ(HTTPRequest::BuildURL(base, {{"sn", "0000ABCD"}, {"op", "qu"}}), base + "?op=qu&sn=0000ABCD&");
  EXPECT_EQ(HTTPRequest::BuildURL(base, {}), base);
  EXPECT_EQ(HTTPRequest::BuildURL(base, {{"fp", "A%20B"}, {"b", "x y&z"}}), base + "?b=x y&z&fp=A%20B&");
  // Byte-wise ascending: upper case before lower case, "_" between them.
  EXPECT_EQ(HTTPRequest::BuildURL(base, {{"no_cal", "1"}, {"no", "2"}, {"Z", "3"}}),
            base + "?Z=3&no=2&no_cal=1&");
}

TEST_F(HTTPRequestTest, SendsTheQueryUnchangedAndReturnsTheBody) {
  LogCapture log;
  server->Canned("*", 200, "ok\nhello\n");
  const HTTPResponse r = HTTPRequest::GET(server->url(), {{"sn", "0000ABCD"}, {"op", "qu"}, {"fp", "A%20B"}});
  EXPECT_EQ(r.get_status(), 200);
  EXPECT_EQ(r.get_request(), server->url() + "?fp=A%20B&op=qu&sn=0000ABCD&");
  HTTPResponse copy = r;
  EXPECT_EQ(copy.get_response(), "ok\nhello\n");
  EXPECT_EQ(server->Requests(), std::vector<std::string>{"/cgi/u?fp=A%20B&op=qu&sn=0000ABCD&"});
  const std::string text = log.text();
  EXPECT_NE(text.find("GET(" + r.get_request() + ")\n"), std::string::npos) << text;
  EXPECT_NE(text.find("rcv_data returns 9\n"), std::string::npos) << text;
}

TEST_F(HTTPRequestTest, EmptyMapRequestsTheBaseURL) {
  server->Canned("*", 200, "ok\n");
  EXPECT_EQ(HTTPRequest::GET(server->url(), {}).get_request(), server->url());
  EXPECT_EQ(server->Requests(), std::vector<std::string>{"/cgi/u"});
}

TEST_F(HTTPRequestTest, ErrorStatusIsAReplyNotAnException) {
  for (int status : {404, 500, 302}) {
    server->Canned("*", status, "not here\n");
    HTTPResponse r = HTTPRequest::GET(server->url(), {{"op", "hi"}});
    EXPECT_EQ(r.get_status(), status);
    EXPECT_EQ(r.get_response(), "not here\n");
  }
}

TEST_F(HTTPRequestTest, BodyInManyChunksArrivesWholeInOrder) {
  LogCapture log;
  std::string body;
  for (int i = 0; body.size() < 3 * 1024 * 1024; ++i) body += std::to_string(i) + ",";
  server->Canned("*", 200, body);
  HTTPResponse r = HTTPRequest::GET(server->url(), {{"op", "bird"}});
  EXPECT_EQ(r.get_response(), body);
  const std::string text = log.text();
  size_t calls = 0;
  for (size_t at = 0; (at = text.find("rcv_data called (..., 1, ", at)) != std::string::npos; ++at) ++calls;
  EXPECT_GT(calls, 1u);
}

TEST_F(HTTPRequestTest, TransportFailuresThrowLibcurlsText) {
  const std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/cgi/u";
  EXPECT_EQ(ThrownText(closed, {{"op", "hi"}}), curl_easy_strerror(CURLE_COULDNT_CONNECT));
  EXPECT_EQ(ThrownText("gopher://127.0.0.1/cgi/u"), curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL));
  EXPECT_EQ(ThrownText("http://no-such-host.invalid/cgi/u"), curl_easy_strerror(CURLE_COULDNT_RESOLVE_HOST));
  server->Fault("*", "drop");
  EXPECT_EQ(ThrownText(server->url(), {{"op", "hi"}}), curl_easy_strerror(CURLE_PARTIAL_FILE));
}

TEST_F(HTTPRequestTest, OversizedBodyFails) {
  SettingsGuard guard;
  HTTPSettings s = HTTPRequest::Settings();
  s.maxBodyBytes = 1000;
  HTTPRequest::Configure(s);
  server->Canned("*", 200, std::string(1000, 'a'));
  EXPECT_EQ(HTTPRequest::GET(server->url(), {}).get_response().size(), 1000u);
  server->Canned("*", 200, std::string(1001, 'a'));
  EXPECT_EQ(ThrownText(server->url()), curl_easy_strerror(CURLE_WRITE_ERROR));
}

TEST_F(HTTPRequestTest, StalledServerIsAbandoned) {
  SettingsGuard guard;
  HTTPSettings s = HTTPRequest::Settings();
  s.stallTimeoutSeconds = 1;
  HTTPRequest::Configure(s);
  server->Fault("*", "slow=8000");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ThrownText(server->url()), curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
}

class HTTPSRequestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir();
    certs = new TestCertificates(MakeTestCertificates(dir->path()));
    server = new VServer({"--https", "--cert", certs->serverCert, "--key", certs->serverKey});
  }
  static void TearDownTestSuite() {
    delete server;
    delete certs;
    delete dir;
  }
  static TempDir* dir;
  static TestCertificates* certs;
  static VServer* server;
};
TempDir* HTTPSRequestTest::dir = nullptr;
TestCertificates* HTTPSRequestTest::certs = nullptr;
VServer* HTTPSRequestTest::server = nullptr;

TEST_F(HTTPSRequestTest, VerifiesTheServerAgainstTheGivenCA) {
  SettingsGuard guard;
  ASSERT_EQ(server->url().rfind("https://127.0.0.1:", 0), 0u) << server->url();
  server->Canned("*", 200, "ok\n");

  // The system's bundle does not know the test CA, nor does another CA.
  EXPECT_EQ(ThrownText(server->url(), {{"op", "hi"}}), curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
  HTTPRequest::Configure({certs->otherCaCert});
  EXPECT_EQ(ThrownText(server->url(), {{"op", "hi"}}), curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));

  HTTPRequest::Configure({certs->caCert});
  HTTPResponse r = HTTPRequest::GET(server->url(), {{"op", "hi"}});
  EXPECT_EQ(r.get_status(), 200);
  EXPECT_EQ(r.get_response(), "ok\n");
  // The certificate names 127.0.0.1 and localhost.
  std::string byName = server->url();
  byName.replace(8, 9, "localhost");
  EXPECT_EQ(HTTPRequest::GET(byName, {{"op", "hi"}}).get_status(), 200);
}

TEST_F(HTTPSRequestTest, RefusesACertificateForAnotherHost) {
  SettingsGuard guard;
  HTTPRequest::Configure({certs->caCert});
  // Same certificate, served on an address it does not name.
  VServer other({"--https", "--cert", certs->serverCert, "--key", certs->serverKey, "--host", "127.0.0.2"});
  EXPECT_EQ(ThrownText(other.url(), {{"op", "hi"}}), curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
}
