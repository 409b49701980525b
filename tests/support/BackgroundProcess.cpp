#include "support/BackgroundProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

BackgroundProcess::BackgroundProcess(const std::string& program, const std::vector<std::string>& args,
                                     const std::string& readyPrefix, const std::string& stderrPath,
                                     int timeoutMs) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> argvStore{program};
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string errPath = stderrPath.empty() ? "/dev/null" : stderrPath;

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (err >= 0) dup2(err, STDERR_FILENO);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  stdoutFd_ = out[0];

  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    pollfd p{stdoutFd_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char c;
    if (read(stdoutFd_, &c, 1) != 1) break;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.compare(0, readyPrefix.size(), readyPrefix) == 0) {
      readyText_ = line.substr(readyPrefix.size());
      return;
    }
    line.clear();
  }
  Stop(1000);
  throw std::runtime_error(program + " did not print '" + readyPrefix + "'");
}

BackgroundProcess::~BackgroundProcess() { Stop(); }

int BackgroundProcess::Stop(int timeoutMs) {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      exitStatus_ = -1;
    } else {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_ = -1;
  }
  if (stdoutFd_ >= 0) {
    close(stdoutFd_);
    stdoutFd_ = -1;
  }
  return exitStatus_;
}
