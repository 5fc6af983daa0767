#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "shell/application.h"
#include "shell/stop_signals.h"

namespace shell {

// No window and no tray. Runs until SIGINT or SIGTERM, which end the loop as closing the window
// does on a desktop; an error raised in a handler is printed to standard error and ends the
// program with status 1.
class HeadlessApplication final : public Application {
 public:
  HeadlessApplication();
  ~HeadlessApplication() override;

  std::unique_ptr<Form> CreateForm(const FormLayout& layout) override;
  std::unique_ptr<Memo> CreateMemo(Form& owner) override;
  std::unique_ptr<TrayIcon> CreateTrayIcon(Form& owner, const std::string& hint) override;
  std::unique_ptr<Timer> CreateTimer(Form& owner, int interval_ms) override;
  int Run(Form& main_form) override;
  void HandleException(const std::exception& error) override;

  // Ends Run with the given status; callable from any thread.
  void Terminate(int exit_status);

  class HeadlessTimer;

 private:
  friend class HeadlessTimer;
  void Wake();

  int wake_read_ = -1;
  int wake_write_ = -1;
  std::unique_ptr<StopSignalRoute> stop_signals_;
  std::atomic<int> exit_status_{-1};
  std::vector<HeadlessTimer*> timers_;
};

}  // namespace shell
