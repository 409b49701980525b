// A TCP listener on loopback and its accepted connection, as the far end of
// socket-stream tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

class LocalPeer {
 public:
  LocalPeer() {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    listen(listen_, 4);
    socklen_t length = sizeof local;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
  }
  ~LocalPeer() {
    CloseConnection();
    if (listen_ >= 0) close(listen_);
  }
  LocalPeer(const LocalPeer&) = delete;
  LocalPeer& operator=(const LocalPeer&) = delete;

  uint16_t port() const { return port_; }
  static uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

  // Accepts the next connection (waits up to 2 s); false when none came.
  bool Accept() {
    pollfd waiter{listen_, POLLIN, 0};
    if (poll(&waiter, 1, 2000) != 1) return false;
    CloseConnection();
    conn_ = accept(listen_, nullptr, nullptr);
    return conn_ >= 0;
  }
  void Send(const void* bytes, size_t length) { (void)!write(conn_, bytes, length); }
  // Reads what arrived within timeoutMs.
  size_t Receive(uint8_t* buffer, size_t size, int timeoutMs = 1000) {
    pollfd waiter{conn_, POLLIN, 0};
    if (poll(&waiter, 1, timeoutMs) != 1) return 0;
    const ssize_t got = read(conn_, buffer, size);
    return got > 0 ? static_cast<size_t>(got) : 0;
  }
  void SetReceiveBuffer(int bytes) { setsockopt(conn_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }
  // A graceful close (FIN).
  void CloseConnection() {
    if (conn_ >= 0) close(conn_);
    conn_ = -1;
  }
  // An abortive close (RST), as a rebooting device.
  void ResetConnection() {
    const linger now{1, 0};
    setsockopt(conn_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    CloseConnection();
  }
  void CloseListener() {
    close(listen_);
    listen_ = -1;
  }

 private:
  int listen_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
};
