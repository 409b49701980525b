// Virtual update server: answers GET /cgi/u like the maker's update server,
// from a catalog directory, over HTTP or HTTPS, and misbehaves on request.
//
// Catalog:
//   DIR/<SERIAL>/<build>.bird  every build of a device (version from its descriptor)
//   DIR/<SERIAL>/latest        line 1 the latest build number, line 2 the firmware identifier
//   DIR/<SERIAL>/token         the device's token (HEADER.PAYLOAD.SIGNATURE)
//   DIR/recovery               per chip: "W0 W1 W2 W3 SERIAL BUILD" (8-digit hex words and
//                              serial number, decimal build); "#" starts a comment line
// The catalog is read on every request, so a test may change it while the
// server runs.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace vserver {

enum class FaultKind {
  Status,     // answer with an HTTP error status (default 500)
  Verdict,    // first line other than "ok" (default "error")
  NoLines,    // "ok" and nothing after it
  Empty,      // an empty body with status 200
  Truncate,   // op=bird: the base64 of the first half of the file; others: half the body
  NonBase64,  // op=bird: characters outside the base64 alphabet in the file line
  Slow,       // answer after a delay (milliseconds)
  Drop,       // send the headers, then close the connection before the body
  CRLF,       // end lines with "\r\n" instead of "\n"
};

struct Fault {
  FaultKind kind = FaultKind::Status;
  int status = 500;
  std::string verdict = "error";
  int delayMs = 1000;
};

// "KIND[=ARG]": status[=N], verdict[=TEXT], nolines, empty, truncate,
// nonbase64, slow[=MS], drop, crlf.
bool ParseFault(const std::string& text, Fault& fault, std::string& error);

struct Canned {
  int status = 200;
  std::string body;
};

struct Options {
  std::string catalog;
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  bool https = false;
  std::string cert, key;
  bool control = false;  // serve /_control/... for tests
  bool verbose = false;  // one stderr line per request
  // Keyed by operation (hi, qu, bird, builds, fix, ent_jwt) or "*" for all.
  std::multimap<std::string, Fault> faults;
  std::map<std::string, Canned> canned;
};

class Server {
 public:
  explicit Server(Options options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds, starts the listener thread and returns once it accepts
  // connections.
  bool Start(std::string& error);
  // Idempotent; interrupts slow answers.
  void Stop();
  // scheme://host:port/cgi/u
  std::string URL() const;

  void AddFault(const std::string& op, const Fault& fault);
  void SetCanned(const std::string& op, const Canned& canned);
  void Reset();
  // Raw request targets (path and query) in arrival order, /cgi/u only.
  std::vector<std::string> Requests() const;

 private:
  struct Reply {
    int status = 200;
    std::string body;
  };

  void HandleUpdate(const httplib::Request& req, httplib::Response& res);
  Reply Answer(const httplib::Request& req, const std::vector<Fault>& faults);
  void Install();
  bool Sleep(int ms);  // false when stopped meanwhile
  // The version of a build file, read once per file content.
  std::string Version(const std::filesystem::path& path);

  Options options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
  int port_ = 0;

  // Lock order: mutex_ alone; never held while answering.
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;                        // guarded by mutex_
  std::vector<std::string> requests_;            // guarded by mutex_
  std::multimap<std::string, Fault> faults_;     // guarded by mutex_
  std::map<std::string, Canned> canned_;         // guarded by mutex_
  std::map<std::string, std::string> versions_;  // guarded by mutex_
};

}  // namespace vserver
