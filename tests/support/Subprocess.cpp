#include "support/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

void SetRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  int ptyMaster = -1;
  int ptySlave = -1;
  if (pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (options.stdoutIsTerminal) {
    if (openpty(&ptyMaster, &ptySlave, nullptr, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty failed");
    SetRaw(ptySlave);  // no "\n" to "\r\n" translation: tests see the bytes written
    fcntl(ptyMaster, F_SETFD, FD_CLOEXEC);
  } else if (pipe2(outPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }

  std::vector<std::string> argvStore{program};
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int outFd = options.stdoutIsTerminal ? ptySlave : outPipe[1];
    dup2(outFd, STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    if (options.stdoutIsTerminal) close(ptySlave);
    for (const auto& [name, value] : options.env) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    if (options.uid >= 0 &&
        (setgid(static_cast<gid_t>(options.uid)) != 0 || setuid(static_cast<uid_t>(options.uid)) != 0))
      _exit(125);
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
    execv(program.c_str(), argv.data());
    _exit(127);
  }

  int outRead = options.stdoutIsTerminal ? ptyMaster : outPipe[0];
  if (options.stdoutIsTerminal)
    close(ptySlave);
  else
    close(outPipe[1]);
  close(errPipe[1]);

  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
  bool outOpen = true;
  bool errOpen = true;
  while (outOpen || errOpen) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd fds[2] = {{outOpen ? outRead : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
    int n = poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(got));
      } else {
        // A pty master reads EIO once the child's side is gone.
        (i == 0 ? outOpen : errOpen) = false;
      }
    }
  }
  close(outRead);
  close(errPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitStatus = (!result.timedOut && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return result;
}
