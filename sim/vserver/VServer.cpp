#include "sim/vserver/VServer.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "sim/vserver/BirdVersion.h"

namespace fs = std::filesystem;

namespace vserver {
namespace {

const char* const kPath = "/cgi/u";

// Query keys each operation must carry, op included; no others are accepted.
const std::map<std::string, std::set<std::string>> kOperationKeys = {
    {"hi", {"op", "rv"}},     {"qu", {"op", "sn"}},           {"bird", {"bld", "fw", "no_cal", "op", "sn"}},
    {"builds", {"op", "sn"}}, {"fix", {"brief", "fp", "op"}}, {"ent_jwt", {"json", "op", "sn"}},
};

// Appends the base64 text of bytes to out (large files: no intermediate copy).
void AppendBase64(std::string& out, const std::string& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const size_t start = out.size();
  out.resize(start + (bytes.size() + 2) / 3 * 4, '=');
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  char* o = out.data() + start;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3, o += 4) {
    const unsigned v = in[i] << 16 | in[i + 1] << 8 | in[i + 2];
    o[0] = alphabet[v >> 18 & 63];
    o[1] = alphabet[v >> 12 & 63];
    o[2] = alphabet[v >> 6 & 63];
    o[3] = alphabet[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    const unsigned v = in[i] << 16 | (rest == 2 ? in[i + 1] << 8 : 0);
    o[0] = alphabet[v >> 18 & 63];
    o[1] = alphabet[v >> 12 & 63];
    if (rest == 2) o[2] = alphabet[v >> 6 & 63];
  }
}

bool ReadFile(const fs::path& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size < 0) return false;
  bytes.resize(static_cast<size_t>(size));
  in.seekg(0);
  return static_cast<bool>(in.read(bytes.data(), size));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool IsSerial(const std::string& s) {
  return s.size() == 8 && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

bool IsDecimal(const std::string& s) {
  return !s.empty() && s.size() <= 10 &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Error(const std::string& why) { return "error\n" + why + "\n"; }

struct Build {
  unsigned long number;
  std::string name;  // file name up to ".bird"
  fs::path path;
};

std::vector<Build> ListBuilds(const fs::path& device) {
  std::vector<Build> builds;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(device, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".bird") != 0) continue;
    const std::string stem = name.substr(0, name.size() - 5);
    if (!IsDecimal(stem)) continue;
    builds.push_back({std::stoul(stem), stem, entry.path()});
  }
  std::sort(builds.begin(), builds.end(), [](const Build& a, const Build& b) { return a.number < b.number; });
  return builds;
}

}  // namespace

bool ParseFault(const std::string& text, Fault& fault, std::string& error) {
  const size_t eq = text.find('=');
  const std::string kind = text.substr(0, eq);
  const bool hasArg = eq != std::string::npos;
  const std::string arg = hasArg ? text.substr(eq + 1) : std::string();
  static const std::map<std::string, FaultKind> kinds = {
      {"status", FaultKind::Status}, {"verdict", FaultKind::Verdict},   {"nolines", FaultKind::NoLines},
      {"empty", FaultKind::Empty},   {"truncate", FaultKind::Truncate}, {"nonbase64", FaultKind::NonBase64},
      {"slow", FaultKind::Slow},     {"drop", FaultKind::Drop},         {"crlf", FaultKind::CRLF},
  };
  const auto found = kinds.find(kind);
  if (found == kinds.end()) {
    error = "unknown fault '" + kind + "'";
    return false;
  }
  fault = Fault{};
  fault.kind = found->second;
  if (!hasArg) return true;
  switch (fault.kind) {
    case FaultKind::Status:
    case FaultKind::Slow: {
      char* end = nullptr;
      const long v = strtol(arg.c_str(), &end, 10);
      if (arg.empty() || *end != '\0' || v < 0 || v > 600000) {
        error = "bad number in fault '" + text + "'";
        return false;
      }
      (fault.kind == FaultKind::Status ? fault.status : fault.delayMs) = static_cast<int>(v);
      return true;
    }
    case FaultKind::Verdict: fault.verdict = arg; return true;
    default: error = "fault '" + kind + "' takes no argument"; return false;
  }
}

Server::Server(Options options) : options_(std::move(options)) {
  faults_ = options_.faults;
  canned_ = options_.canned;
}

Server::~Server() { Stop(); }

std::string Server::URL() const {
  return std::string(options_.https ? "https" : "http") + "://" + options_.host + ":" +
         std::to_string(port_) + kPath;
}

void Server::AddFault(const std::string& op, const Fault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.emplace(op, fault);
}

void Server::SetCanned(const std::string& op, const Canned& canned) {
  std::lock_guard<std::mutex> lock(mutex_);
  canned_[op] = canned;
}

void Server::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.clear();
  canned_.clear();
  requests_.clear();
}

std::vector<std::string> Server::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::string Server::Version(const std::filesystem::path& path) {
  // Keyed by the file's size and time too, so a test that rewrites a build
  // sees the new version.
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  const auto time = fs::last_write_time(path, ec).time_since_epoch().count();
  const std::string key = path.string() + "|" + std::to_string(size) + "|" + std::to_string(time);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = versions_.find(key);
    if (found != versions_.end()) return found->second;
  }
  const std::string version = ReadBirdVersion(path.string()).value_or("");
  std::lock_guard<std::mutex> lock(mutex_);
  versions_[key] = version;
  return version;
}

bool Server::Sleep(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stopped_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

bool Server::Start(std::string& error) {
  if (options_.https) {
    server_ = std::make_unique<httplib::SSLServer>(options_.cert.c_str(), options_.key.c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  if (!server_->is_valid()) {
    error = "cannot set up TLS with certificate " + options_.cert + " and key " + options_.key;
    return false;
  }
  Install();
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port(options_.host);
    if (port_ <= 0) {
      error = "cannot listen on " + options_.host;
      return false;
    }
  } else {
    if (!server_->bind_to_port(options_.host, options_.port)) {
      error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
      return false;
    }
    port_ = options_.port;
  }
  listener_ = std::thread([this] { server_->listen_after_bind(); });
  // The socket already queues connections; wait until they are also served.
  for (int i = 0; i < 5000 && !server_->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!server_->is_running()) {
    error = "listener did not start";
    Stop();
    return false;
  }
  return true;
}

void Server::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  if (server_) server_->stop();
  if (listener_.joinable()) listener_.join();
}

void Server::Install() {
  server_->Get(kPath,
               [this](const httplib::Request& req, httplib::Response& res) { HandleUpdate(req, res); });
  if (!options_.control) return;

  server_->Post("/_control/fault", [this](const httplib::Request& req, httplib::Response& res) {
    Fault fault;
    std::string error;
    if (!ParseFault(req.get_param_value("fault"), fault, error)) {
      res.status = 400;
      res.set_content(error + "\n", "text/plain");
      return;
    }
    AddFault(req.has_param("op") ? req.get_param_value("op") : "*", fault);
    res.set_content("ok\n", "text/plain");
  });
  server_->Post("/_control/canned", [this](const httplib::Request& req, httplib::Response& res) {
    Canned canned;
    canned.body = req.body;
    if (req.has_param("status")) canned.status = std::atoi(req.get_param_value("status").c_str());
    SetCanned(req.has_param("op") ? req.get_param_value("op") : "*", canned);
    res.set_content("ok\n", "text/plain");
  });
  server_->Post("/_control/reset", [this](const httplib::Request&, httplib::Response& res) {
    Reset();
    res.set_content("ok\n", "text/plain");
  });
  server_->Get("/_control/requests", [this](const httplib::Request&, httplib::Response& res) {
    std::string text;
    for (const auto& r : Requests()) text += r + "\n";
    res.set_content(text, "text/plain");
  });
}

void Server::HandleUpdate(const httplib::Request& req, httplib::Response& res) {
  const std::string op = req.has_param("op") ? req.get_param_value("op") : "";
  std::vector<Fault> faults;
  std::optional<Canned> canned;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(req.target);
    for (const std::string& key : {op, std::string("*")}) {
      auto [first, last] = faults_.equal_range(key);
      for (auto it = first; it != last; ++it) faults.push_back(it->second);
    }
    auto c = canned_.find(op);
    if (c == canned_.end()) c = canned_.find("*");
    if (c != canned_.end()) canned = c->second;
  }
  auto has = [&](FaultKind kind) -> const Fault* {
    for (const auto& f : faults)
      if (f.kind == kind) return &f;
    return nullptr;
  };

  if (const Fault* slow = has(FaultKind::Slow)) {
    if (!Sleep(slow->delayMs)) {
      res.status = 503;
      return;
    }
  }

  Reply reply = canned ? Reply{canned->status, canned->body} : Answer(req, faults);
  if (const Fault* status = has(FaultKind::Status)) {
    reply.status = status->status;
    reply.body = "Internal Server Error\n";
  }
  if (reply.status == 200) {
    if (const Fault* verdict = has(FaultKind::Verdict)) {
      const size_t end = reply.body.find('\n');
      reply.body = verdict->verdict + (end == std::string::npos ? "\n" : reply.body.substr(end));
    }
    if (has(FaultKind::NoLines)) reply.body = reply.body.substr(0, reply.body.find('\n') + 1);
    if (has(FaultKind::Truncate) && op != "bird") reply.body.resize(reply.body.size() / 2);
    if (has(FaultKind::Empty)) reply.body.clear();
    if (has(FaultKind::CRLF)) {
      std::string crlf;
      for (char c : reply.body) {
        if (c == '\n') crlf += '\r';
        crlf += c;
      }
      reply.body = crlf;
    }
  }
  if (options_.verbose) fprintf(stderr, "vserver: GET %s -> %d\n", req.target.c_str(), reply.status);

  res.status = reply.status;
  if (has(FaultKind::Drop)) {
    // Promise a body, then give up on it: the client sees the connection
    // close mid-reply.
    res.set_content_provider(reply.body.size() + 1, "text/plain",
                             [](size_t, size_t, httplib::DataSink&) { return false; });
    return;
  }
  res.body = std::move(reply.body);
  res.set_header("Content-Type", "text/plain");
}

Server::Reply Server::Answer(const httplib::Request& req, const std::vector<Fault>& faults) {
  const std::string op = req.get_param_value("op");
  const auto keys = kOperationKeys.find(op);
  if (keys == kOperationKeys.end()) return {200, Error("unknown operation '" + op + "'")};
  for (const auto& [key, value] : req.params) {
    if (!keys->second.count(key)) return {200, Error("unexpected key '" + key + "'")};
    if (req.get_param_value_count(key) != 1) return {200, Error("repeated key '" + key + "'")};
  }
  for (const auto& key : keys->second)
    if (!req.has_param(key.c_str())) return {200, Error("missing key '" + key + "'")};

  if (op == "hi") return {200, "ok\n"};

  const fs::path catalog(options_.catalog);
  if (op == "fix") {
    if (req.get_param_value("brief") != "true") return {200, Error("brief must be true")};
    std::istringstream fp(req.get_param_value("fp"));
    std::vector<std::string> words;
    for (std::string w; fp >> w;) words.push_back(w);
    if (words.size() != 4 || !std::all_of(words.begin(), words.end(), IsSerial) ||
        req.get_param_value("fp") != words[0] + " " + words[1] + " " + words[2] + " " + words[3])
      return {200, Error("bad fingerprint")};
    std::string table;
    if (!ReadFile(catalog / "recovery", table)) return {200, Error("no recovery table")};
    for (const auto& line : Lines(table)) {
      std::istringstream in(line);
      std::vector<std::string> fields;
      for (std::string f; in >> f;) fields.push_back(f);
      if (fields.size() != 6 || fields[0][0] == '#') continue;
      bool same = true;
      for (size_t i = 0; i < 4; ++i) {
        std::string w = fields[i];
        std::transform(w.begin(), w.end(), w.begin(), ::toupper);
        same = same && w == words[i];
      }
      if (same) return {200, "ok\n" + fields[4] + "\n" + fields[5] + "\n"};
    }
    return {200, Error("unknown chip")};
  }

  const std::string serial = req.get_param_value("sn");
  if (!IsSerial(serial)) return {200, Error("bad serial number '" + serial + "'")};
  const fs::path device = catalog / serial;
  std::error_code ec;
  if (!fs::is_directory(device, ec)) return {200, Error("unknown device " + serial)};

  if (op == "qu") {
    std::string latest;
    if (!ReadFile(device / "latest", latest)) return {200, Error("no build for device " + serial)};
    const auto lines = Lines(latest);
    if (lines.size() < 2) return {200, Error("no build for device " + serial)};
    return {200, "ok\n" + lines[0] + "\n" + lines[1] + "\n"};
  }
  if (op == "builds") {
    std::string body = "ok\n";
    for (const auto& build : ListBuilds(device)) body += build.name + ";" + Version(build.path) + "\n";
    return {200, body};
  }
  if (op == "ent_jwt") {
    if (req.get_param_value("json") != "false") return {200, Error("json must be false")};
    std::string token;
    if (!ReadFile(device / "token", token) || Lines(token).empty())
      return {200, Error("no token for device " + serial)};
    return {200, "ok\n" + Lines(token)[0] + "\n"};
  }
  // op == "bird"
  const std::string build = req.get_param_value("bld");
  const std::string noCal = req.get_param_value("no_cal");
  if (!IsDecimal(build)) return {200, Error("bad build number '" + build + "'")};
  if (noCal != "true" && noCal != "false") return {200, Error("no_cal must be true or false")};
  std::string latest;
  if (ReadFile(device / "latest", latest)) {
    const auto lines = Lines(latest);
    if (lines.size() >= 2 && lines[1] != req.get_param_value("fw"))
      return {200, Error("firmware identifier mismatch")};
  }
  std::string file;
  const std::string name = std::to_string(std::stoul(build)) + ".bird";
  if (!ReadFile(device / name, file) && !ReadFile(device / (build + ".bird"), file))
    return {200, Error("no build " + build + " for device " + serial)};
  auto has = [&](FaultKind kind) {
    return std::any_of(faults.begin(), faults.end(), [&](const Fault& f) { return f.kind == kind; });
  };
  if (has(FaultKind::Truncate)) file.resize(file.size() / 2);
  std::string body = "ok\n";
  body.reserve(body.size() + (file.size() + 2) / 3 * 4 + 1);
  AppendBase64(body, file);
  if (has(FaultKind::NonBase64) && body.size() > 3) {
    body[3] = '!';
    body[3 + (body.size() - 3) / 2] = '*';
  }
  body += '\n';
  return {200, std::move(body)};
}

}  // namespace vserver
