#include "ServerTestSupport.h"

#include <httplib.h>
#include <zlib.h>

#include <filesystem>
#include <stdexcept>

#include "app/Log.h"
#include "support/Subprocess.h"

namespace {

void Be32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(v >> shift & 0xFF);
}

std::string Field(const std::string& text) {
  std::string field = text.substr(0, 16);
  field.resize(16, ' ');
  return field;
}

}  // namespace

const char* VServerBinary() { return VSERVER_BIN; }

std::string MakeBird(const TestBird& spec) {
  std::string payload;
  Be32(payload, spec.descriptor ? 2 : 1);
  if (spec.descriptor) {
    payload += static_cast<char>(4);
    Be32(payload, 64);
    payload += Field(spec.build) + Field(spec.version) + Field(spec.serial) + Field(spec.model);
  }
  payload += static_cast<char>(1);
  Be32(payload, static_cast<uint32_t>(spec.imageBytes + 4));
  Be32(payload, 0x1000);
  uint32_t x = spec.seed * 2654435761u + 1;
  for (size_t i = 0; i < spec.imageBytes; ++i) {
    x = x * 1103515245u + 12345u;
    payload += static_cast<char>(x >> 16);
  }
  Be32(payload, 0x12345678);

  uLongf size = compressBound(payload.size());
  std::string compressed(size, '\0');
  if (compress(reinterpret_cast<Bytef*>(compressed.data()), &size,
               reinterpret_cast<const Bytef*>(payload.data()), payload.size()) != Z_OK)
    throw std::runtime_error("compress failed");
  compressed.resize(size);
  return std::string("bird\x01\x01", 6) + compressed;
}

VServer::VServer(const std::vector<std::string>& extraArgs) {
  std::vector<std::string> args{"--catalog", catalog_.path(), "--control"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  process_ = std::make_unique<BackgroundProcess>(VServerBinary(), args, "listening on ",
                                                 catalog_.file("vserver.log"));
  url_ = process_->readyText();
  origin_ = url_.substr(0, url_.find('/', url_.find("://") + 3));
}

VServer::~VServer() = default;

void VServer::WriteFile(const std::string& relativePath, const std::string& bytes) {
  const std::filesystem::path path = std::filesystem::path(catalog_.path()) / relativePath;
  std::filesystem::create_directories(path.parent_path());
  WriteWholeFile(path.string(), bytes);
}

void VServer::AddDevice(const std::string& serial, const std::string& latestBuild,
                        const std::string& firmware, const std::map<std::string, std::string>& builds,
                        const std::string& token) {
  std::filesystem::create_directories(std::filesystem::path(catalog_.path()) / serial);
  if (!latestBuild.empty()) WriteFile(serial + "/latest", latestBuild + "\n" + firmware + "\n");
  if (!token.empty()) WriteFile(serial + "/token", token + "\n");
  uint32_t seed = 1;
  for (const auto& [build, version] : builds) {
    TestBird bird;
    bird.build = build;
    bird.version = version;
    bird.serial = serial;
    bird.seed = seed++;
    WriteFile(serial + "/" + build + ".bird", MakeBird(bird));
  }
}

namespace {

std::string Escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '_' || c == '-' || c == '.') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace

httplib::Result VServer::Control(const std::string& method, const std::string& pathAndQuery,
                                 const std::string& body) {
  // The control endpoint shares the server's scheme; its certificate is not
  // what these requests test.
  httplib::Client client(origin_);
  client.enable_server_certificate_verification(false);
  client.set_connection_timeout(5);
  client.set_read_timeout(5);
  auto res = method == "GET" ? client.Get(pathAndQuery.c_str())
                             : client.Post(pathAndQuery.c_str(), body, "text/plain");
  if (!res || res->status != 200) throw std::runtime_error("vserver control request failed: " + pathAndQuery);
  return res;
}

std::string VServer::Post(const std::string& pathAndQuery, const std::string& body) {
  return Control("POST", pathAndQuery, body)->body;
}

void VServer::Canned(const std::string& op, int status, const std::string& body) {
  Post("/_control/canned?op=" + Escape(op) + "&status=" + std::to_string(status), body);
}

void VServer::Fault(const std::string& op, const std::string& fault) {
  Post("/_control/fault?op=" + Escape(op) + "&fault=" + Escape(fault), "");
}

void VServer::Reset() { Post("/_control/reset", ""); }

std::vector<std::string> VServer::Requests() {
  auto res = Control("GET", "/_control/requests", "");
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < res->body.size()) {
    const size_t end = res->body.find('\n', start);
    lines.push_back(res->body.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

TestCertificates MakeTestCertificates(const std::string& dir) {
  auto run = [](const std::vector<std::string>& args) {
    const RunResult r = RunProgram("/usr/bin/openssl", args);
    if (r.exitStatus != 0) throw std::runtime_error("openssl " + args[0] + " failed: " + r.err);
  };
  TestCertificates c;
  c.caCert = dir + "/ca.pem";
  c.serverCert = dir + "/server.pem";
  c.serverKey = dir + "/server.key";
  c.otherCaCert = dir + "/other-ca.pem";
  const std::vector<std::string> ecKey{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
  auto caArgs = [&](const std::string& name, const std::string& cert, const std::string& key) {
    std::vector<std::string> a{"req", "-x509"};
    a.insert(a.end(), ecKey.begin(), ecKey.end());
    a.insert(a.end(),
             {"-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=" + name, "-addext",
              "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
    return a;
  };
  run(caArgs("Vorantix Test CA", c.caCert, dir + "/ca.key"));
  run(caArgs("Other Test CA", c.otherCaCert, dir + "/other-ca.key"));
  std::vector<std::string> csr{"req"};
  csr.insert(csr.end(), ecKey.begin(), ecKey.end());
  csr.insert(csr.end(), {"-keyout", c.serverKey, "-out", dir + "/server.csr", "-subj", "/CN=127.0.0.1"});
  run(csr);
  WriteWholeFile(dir + "/server.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
  run({"x509", "-req", "-in", dir + "/server.csr", "-CA", c.caCert, "-CAkey", dir + "/ca.key",
       "-CAcreateserial", "-out", c.serverCert, "-days", "2", "-extfile", dir + "/server.ext"});
  return c;
}

LogCapture::LogCapture() : file_(tmpfile()) {
  Log::SetOutput(file_);
  Log::ActivatePackage(DEBUG_ServerComm);
}

LogCapture::~LogCapture() {
  Log::DeactivatePackage(DEBUG_ServerComm);
  Log::SetOutput(nullptr);
  if (file_) fclose(file_);
}

std::string LogCapture::text() {
  if (!file_) return "";
  fflush(file_);
  rewind(file_);
  std::string all;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0) all.append(buffer, n);
  fseek(file_, 0, SEEK_END);
  return all;
}
