// TCP socket stream.
//
// get hands out bytes from what one recv brought in; when none are left it
// receives again: a reset connection is reconnected and the receive
// repeated; a peer that closed gracefully reads as "not ready" (the link
// engine keeps polling); with nothing to read it waits up to
// aSOCKET_IDLE_WAIT_MS for a byte before answering "not ready". write retries up to aSOCKET_WRITE_RETRIES
// times, aSOCKET_RETRY_PAUSE_MS apart, and reports success even when it gave up: the link engine does not act
// on write results.
//
// The link engine reads on one thread and writes on another, and either
// may reconnect. The descriptor is therefore only used under `lock`, so a
// reconnection never closes (or recycles) a descriptor the other direction
// is in the middle of using. The socket is non-blocking, so no call holds
// the lock for long; sleeps happen outside it.
#include "Corvantis2/unix/aStreamSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "Corvantis2/unix/aTime.h"

namespace {

constexpr uint32_t kConnected = 1;

struct SocketState {
  uint16_t port = 0;
  sockaddr_in peer{};
  int32_t sock = 0;    // guarded by lock; 0 when none
  uint32_t flags = 0;  // guarded by lock
  // Bytes received and not yet handed out, so that a packet costs one recv
  // rather than two per byte. Guarded by lock; emptied with the connection.
  uint8_t received[256] = {};
  size_t receivedAt = 0;
  size_t receivedCount = 0;
  std::atomic<uint16_t> check{0};
  std::mutex lock;
};

SocketState* sValid(void* ref) {
  auto* state = static_cast<SocketState*>(ref);
  return state && state->check == aSOCKET_CHECK ? state : nullptr;
}

// Caller holds state->lock.
void sCloseLocked(SocketState* state) {
  state->flags &= ~kConnected;
  if (state->sock > 0) close(state->sock);
  state->sock = 0;
  state->receivedAt = state->receivedCount = 0;
}

aErr sConnectError(int error) {
  switch (error) {
    case EAGAIN:
    case ECONNRESET:
    case ETIMEDOUT:
    case ECONNREFUSED: return aErrConnection;
    default: return aErrIO;
  }
}

// Blocking connect with an upper bound on the wait.
int sConnectBounded(int fd, const sockaddr_in& peer) {
  const int oldFlags = fcntl(fd, F_GETFL, 0);
  if (oldFlags < 0 || fcntl(fd, F_SETFL, oldFlags | O_NONBLOCK) < 0) return errno ? errno : EIO;
  int error = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      pollfd waiter{fd, POLLOUT, 0};
      int ready = 0;
      do {
        ready = poll(&waiter, 1, aSOCKET_CONNECT_TIMEOUT_MS);
      } while (ready < 0 && errno == EINTR);
      if (ready == 0) return ETIMEDOUT;
      if (ready < 0) return errno;
      socklen_t length = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    }
  }
  if (error == 0 && fcntl(fd, F_SETFL, oldFlags) < 0) return errno ? errno : EIO;
  return error;
}

// Caller holds state->lock. Also used to reconnect.
aErr sConnectLocked(SocketState* state) {
  if (state->sock > 0) {
    sCloseLocked(state);
    aTime_MSSleep(10);
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return aErrIO;
  const int error = sConnectBounded(fd, state->peer);
  if (error != 0) {
    close(fd);
    return sConnectError(error);
  }
  state->sock = fd;
  state->flags |= kConnected;
  const int on = 1;
  const timeval noTimeout{0, 0};
  const linger resetOnClose{1, 0};
  int nonBlocking = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose) != 0 ||
      ioctl(fd, FIONBIO, &nonBlocking) != 0)
    return aErrIO;
  return aErrNone;
}

bool sIsDropped(int error) { return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT; }

aErr sSocketGet(uint8_t* byte, void* ref) {
  SocketState* state = sValid(ref);
  if (!state || !byte) return aErrParam;
  std::unique_lock<std::mutex> guard(state->lock);
  if (!(state->flags & kConnected)) return aErrConnection;
  if (state->receivedCount > 0) {
    *byte = state->received[state->receivedAt++];
    state->receivedCount--;
    return aErrNone;
  }
  ssize_t got = recv(state->sock, state->received, sizeof state->received, 0);
  if (got < 0) {
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      // Wait briefly for a byte, outside the lock, so that a reader with
      // nothing to read neither spins nor holds up the writer. A descriptor
      // closed meanwhile only ends the wait early.
      pollfd waiter{state->sock, POLLIN, 0};
      guard.unlock();
      poll(&waiter, 1, aSOCKET_IDLE_WAIT_MS);
      return aErrNotReady;
    }
    if (!sIsDropped(error)) return aErrConnection;
    sCloseLocked(state);
    if (aErr err = sConnectLocked(state); err != aErrNone) return err;
    got = recv(state->sock, state->received, sizeof state->received, 0);
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? aErrNotReady : aErrConnection;
  }
  if (got == 0) return aErrNotReady;  // the peer closed its side
  state->receivedAt = 1;
  state->receivedCount = static_cast<size_t>(got) - 1;
  *byte = state->received[0];
  return aErrNone;
}

aErr sSocketWrite(const uint8_t* bytes, size_t length, void* ref) {
  SocketState* state = sValid(ref);
  if (!state || (!bytes && length)) return aErrParam;
  {
    std::lock_guard<std::mutex> guard(state->lock);
    if (!(state->flags & kConnected)) return aErrConnection;
  }
  uint32_t remaining = static_cast<uint32_t>(length);
  int retries = 0;
  while (remaining > 0 && retries < aSOCKET_WRITE_RETRIES) {
    ssize_t sent = -1;
    int error = 0;
    {
      std::lock_guard<std::mutex> guard(state->lock);
      if (!(state->flags & kConnected)) return aErrConnection;  // the reader's reconnection failed
      sent = send(state->sock, bytes, remaining, MSG_NOSIGNAL);
      if (sent < 0) error = errno;
      if (sent >= 0 && static_cast<uint32_t>(sent) == remaining) return aErrNone;
      if (sent < 0 && (error == EPIPE || error == ECONNRESET || error == ENOTCONN)) {
        sCloseLocked(state);
        // Without a connection there is nothing left to retry on: the stream
        // stays disconnected (every later call says so) until it is made
        // again, and a stop does not wait out ten connect attempts.
        if (aErr err = sConnectLocked(state); err != aErrNone) return err;
      }
    }
    if (sent > 0) {
      bytes += sent;
      remaining -= static_cast<uint32_t>(sent);
      retries = 1;
    } else {
      ++retries;
    }
    aTime_MSSleep(aSOCKET_RETRY_PAUSE_MS);
  }
  return aErrNone;
}

aErr sSocketPut(uint8_t byte, void* ref) { return sSocketWrite(&byte, 1, ref); }

aErr sSocketDelete(void* ref) {
  SocketState* state = sValid(ref);
  if (!state) return aErrIO;
  {
    std::lock_guard<std::mutex> guard(state->lock);
    sCloseLocked(state);
    state->flags = 0;
    state->check = 0;
  }
  delete state;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream) {
  if (!stream) return aErrResource;
  *stream = nullptr;
  auto* state = new (std::nothrow) SocketState;
  if (!state) return aErrResource;
  state->port = port;
  state->peer.sin_family = AF_INET;
  state->peer.sin_port = htons(port);
  state->peer.sin_addr.s_addr = address;
  state->check = aSOCKET_CHECK;
  aErr err = aErrNone;
  {
    std::lock_guard<std::mutex> guard(state->lock);
    err = sConnectLocked(state);
  }
  if (err != aErrNone) {
    sSocketDelete(state);
    return aErrResource;
  }
  aStream* created = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, state);
  if (!created) {
    sSocketDelete(state);
    return aErrResource;
  }
  *stream = created;
  return aErrNone;
}
