// Fixtures for the update-server tests: a BIRD file writer, the virtual
// update server as a child process with its catalog, a test CA, and a
// capture of the debug log.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/BackgroundProcess.h"
#include "support/TempDir.h"

struct TestBird {
  std::string build = "100";
  std::string version = "1.2.3";
  std::string serial = "0000ABCD";
  std::string model = "ALPHA";
  bool descriptor = true;
  size_t imageBytes = 64;  // one firmware block of this many image bytes
  uint32_t seed = 1;       // image bytes are a function of it
};

// A whole BIRD file: header, zlib payload with a descriptor and one firmware
// block, trailing checksum word.
std::string MakeBird(const TestBird& spec);

// The virtual update server on a loopback port, serving a catalog in its own
// temporary directory; its control endpoint is on.
class VServer {
 public:
  explicit VServer(const std::vector<std::string>& extraArgs = {});
  ~VServer();

  const std::string& url() const { return url_; }
  const std::string& catalog() const { return catalog_.path(); }
  int Stop() { return process_->Stop(); }

  // DIR/<serial>/: latest (when latestBuild is not empty), token (when not
  // empty) and one BIRD file per build (build number -> version).
  void AddDevice(const std::string& serial, const std::string& latestBuild, const std::string& firmware,
                 const std::map<std::string, std::string>& builds, const std::string& token = "");
  void WriteFile(const std::string& relativePath, const std::string& bytes);

  // Control endpoint: canned reply for op ("*": all), fault, reset, requests.
  void Canned(const std::string& op, int status, const std::string& body);
  void Fault(const std::string& op, const std::string& fault);
  void Reset();
  std::vector<std::string> Requests();

 private:
  std::string Post(const std::string& pathAndQuery, const std::string& body);
  httplib::Result Control(const std::string& method, const std::string& pathAndQuery,
                          const std::string& body);
  TempDir catalog_;
  std::unique_ptr<BackgroundProcess> process_;
  std::string url_;
  std::string origin_;  // scheme://host:port
};

// Test CA and a server certificate it signed for 127.0.0.1 and localhost.
struct TestCertificates {
  std::string caCert, serverCert, serverKey;
  std::string otherCaCert;  // a CA that signed nothing here
};
TestCertificates MakeTestCertificates(const std::string& directory);

// Collects DEBUG_ServerComm lines while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::string text();

 private:
  FILE* file_;
};

// The path of the built vserver.
const char* VServerBinary();
