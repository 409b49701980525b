// What the user is meant to read: informational and error lines, an in-place
// progress bar and spinner. The flows receive it by reference.
#pragma once

#include <cstdarg>

class UpdaterDisplayInterface {
 public:
  enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

  virtual void display_progress(bool start) = 0;
  virtual void update_progress(double fraction, const char* label) = 0;
  virtual void update_spinner(bool active, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  // printf-style; cut at 2047 characters; silent while muted.
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void mute_messages(bool mute) { muted = mute; }

 protected:
  UpdaterDisplayInterface() = default;
  // Never deleted through the interface: displays live on the caller's stack.
  ~UpdaterDisplayInterface() = default;

  bool muted = false;
};
