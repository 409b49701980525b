// The console display: lines to stdout (info) and stderr (errors), progress
// and spinner drawn in place only when stdout is a terminal.
#pragma once

#include "app/UpdaterDisplayInterface.h"

class CLI_Display final : public UpdaterDisplayInterface {
 public:
  CLI_Display();

  void display_progress(bool start) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool active, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;
};
