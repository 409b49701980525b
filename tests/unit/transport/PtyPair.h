// A pseudo-terminal for serial-stream tests: the test plays the far end on
// the master side; the stream under test opens the terminal path.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(master_);
    unlockpt(master_);
    char name[128] = {};
    ptsname_r(master_, name, sizeof name);
    path_ = name;
    // Keep the terminal open so that its settings persist between opens.
    hold_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~PtyPair() {
    if (hold_ >= 0) close(hold_);
    if (master_ >= 0) close(master_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& path() const { return path_; }
  termios Settings() const {
    termios t{};
    tcgetattr(hold_, &t);
    return t;
  }
  void Apply(const termios& t) { tcsetattr(hold_, TCSANOW, &t); }
  void MakeRaw() {
    termios t = Settings();
    cfmakeraw(&t);
    Apply(t);
  }
  void Send(const std::vector<uint8_t>& bytes) { (void)!write(master_, bytes.data(), bytes.size()); }
  // What the far end received within timeoutMs.
  std::vector<uint8_t> Receive(size_t want, int timeoutMs = 1000) {
    std::vector<uint8_t> got;
    while (got.size() < want) {
      pollfd waiter{master_, POLLIN, 0};
      if (poll(&waiter, 1, timeoutMs) != 1) break;
      uint8_t buffer[256];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

 private:
  int master_ = -1;
  int hold_ = -1;
  std::string path_;
};
