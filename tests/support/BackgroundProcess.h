// A program that runs beside a test (a stand-in server): started, waited for
// until it prints its ready line, and stopped with SIGTERM when the object
// goes away.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class BackgroundProcess {
 public:
  // Starts program and waits up to timeoutMs for a standard-output line that
  // begins with readyPrefix; throws std::runtime_error when none comes. The
  // child's standard error goes to stderrPath (empty: /dev/null).
  BackgroundProcess(const std::string& program, const std::vector<std::string>& args,
                    const std::string& readyPrefix, const std::string& stderrPath = "",
                    int timeoutMs = 10000);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // The ready line without its prefix and line end.
  const std::string& readyText() const { return readyText_; }
  pid_t pid() const { return pid_; }

  // SIGTERM, then SIGKILL after timeoutMs. The exit status, or -1 when the
  // process had to be killed or died by a signal.
  int Stop(int timeoutMs = 5000);

 private:
  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  int exitStatus_ = -1;
  std::string readyText_;
};
