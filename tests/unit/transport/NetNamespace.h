// Runs a piece of a test inside a private network namespace, so that
// multicast and broadcast never leave this machine's tests.
//
// The namespace has loopback up and a veth pair: vA 10.0.0.1/24 and
// vB 10.0.0.7/24, with the multicast route on vA. It disappears with the
// child process that made it, also when the body fails or crashes.
#pragma once

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

inline constexpr const char* kNamespaceHostAddress = "10.0.0.1";    // vA
inline constexpr const char* kNamespaceModuleAddress = "10.0.0.7";  // vB

struct NamespaceResult {
  bool ran = false;     // false: the namespace could not be made (see message)
  std::string message;  // the body's failure description, or why it did not run
};

// body returns "" on success, else what went wrong. Runs in a forked child:
// call it before the test starts any thread.
inline NamespaceResult RunInPrivateNetwork(const std::function<std::string()>& body,
                                           int timeoutSeconds = 60) {
  int channel[2];
  if (pipe(channel) != 0) return {false, "pipe failed"};
  const pid_t child = fork();
  if (child < 0) return {false, "fork failed"};
  if (child == 0) {
    close(channel[0]);
    std::string message;
    int code = 0;
    if (unshare(CLONE_NEWNET) != 0) {
      message = "unshare(CLONE_NEWNET) failed: no private network namespace";
      code = 2;
    } else if (std::system("ip link set lo up && "
                           "ip link add vA type veth peer name vB && "
                           "ip addr add 10.0.0.1/24 dev vA && ip addr add 10.0.0.7/24 dev vB && "
                           "ip link set vA up && ip link set vB up && "
                           "ip route add 224.0.0.0/4 dev vA && "
                           // Both ends are local: accept packets whose source is an address of ours.
                           "sysctl -qw net.ipv4.conf.all.accept_local=1 net.ipv4.conf.vA.accept_local=1 "
                           "net.ipv4.conf.vB.accept_local=1 net.ipv4.conf.all.rp_filter=0 "
                           "net.ipv4.conf.vA.rp_filter=0 net.ipv4.conf.vB.rp_filter=0") != 0) {
      message = "could not set up the veth pair (ip, sysctl)";
      code = 2;
    } else {
      message = body();
      code = message.empty() ? 0 : 1;
    }
    (void)!write(channel[1], message.data(), message.size());
    close(channel[1]);
    _exit(code);
  }
  close(channel[1]);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      close(channel[0]);
      return {true, "timed out"};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string message;
  char buffer[512];
  ssize_t got = 0;
  while ((got = read(channel[0], buffer, sizeof buffer)) > 0)
    message.append(buffer, static_cast<size_t>(got));
  close(channel[0]);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2) return {false, message};
  if (!WIFEXITED(status)) return {true, "the namespace child crashed"};
  return {true, message};
}

#define RUN_IN_PRIVATE_NETWORK(body)                                                                     \
  do {                                                                                                   \
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create a private network namespace (unshare -n)"; \
    const NamespaceResult result_ = RunInPrivateNetwork(body);                                           \
    if (!result_.ran) GTEST_SKIP() << "no private network namespace here: " << result_.message;          \
    EXPECT_EQ(result_.message, "");                                                                      \
  } while (0)
