#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "shell/headless.h"

namespace shell {
namespace {

using Clock = std::chrono::steady_clock;

class HeadlessForm final : public Form {
 public:
  void Show() override { visible_ = true; }
  void Hide() override { visible_ = false; }
  bool Visible() const override { return visible_; }

 private:
  bool visible_ = false;
};

class HeadlessMemo final : public Memo {
 public:
  std::string Text() const override { return {}; }
};

class HeadlessTrayIcon final : public TrayIcon {
 public:
  explicit HeadlessTrayIcon(std::string hint) : hint_(std::move(hint)) {}
  std::string Hint() const override { return hint_; }

 private:
  std::string hint_;
};

}  // namespace

class HeadlessApplication::HeadlessTimer final : public Timer {
 public:
  HeadlessTimer(HeadlessApplication& app, int interval_ms)
      : app_(app), interval_(interval_ms), due_(Clock::now() + interval_) {
    app_.timers_.push_back(this);
  }
  ~HeadlessTimer() override { std::erase(app_.timers_, this); }

  void SetEnabled(bool enabled) override {
    if (enabled && !enabled_)
      due_ = Clock::now() + interval_;
    enabled_ = enabled;
  }
  bool Enabled() const override { return enabled_; }
  int Interval() const override { return static_cast<int>(interval_.count()); }

  Clock::time_point due() const { return due_; }
  void Fire() {
    due_ = Clock::now() + interval_;
    app_.Dispatch(OnTimer, *this);
  }

 private:
  HeadlessApplication& app_;
  std::chrono::milliseconds interval_;
  Clock::time_point due_;
  bool enabled_ = true;
};

HeadlessApplication::HeadlessApplication() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::runtime_error("cannot create the wake-up pipe");
  wake_read_ = fds[0];
  wake_write_ = fds[1];
  stop_signals_ = std::make_unique<StopSignalRoute>(wake_write_);
}

HeadlessApplication::~HeadlessApplication() {
  stop_signals_.reset();
  ::close(wake_read_);
  ::close(wake_write_);
}

std::unique_ptr<Form> HeadlessApplication::CreateForm(const FormLayout&) {
  return std::make_unique<HeadlessForm>();
}

std::unique_ptr<Memo> HeadlessApplication::CreateMemo(Form&) {
  return std::make_unique<HeadlessMemo>();
}

std::unique_ptr<TrayIcon> HeadlessApplication::CreateTrayIcon(Form&, const std::string& hint) {
  return std::make_unique<HeadlessTrayIcon>(hint);
}

std::unique_ptr<Timer> HeadlessApplication::CreateTimer(Form&, int interval_ms) {
  return std::make_unique<HeadlessTimer>(*this, interval_ms);
}

int HeadlessApplication::Run(Form& main_form) {
  main_form.Show();
  for (;;) {
    int timeout = -1;
    const auto now = Clock::now();
    for (const HeadlessTimer* t : timers_) {
      if (!t->Enabled())
        continue;
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(t->due() - now).count();
      const int ms = static_cast<int>(std::clamp<decltype(wait)>(wait, 0, 60000));
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    pollfd fd{wake_read_, POLLIN, 0};
    const int ready = ::poll(&fd, 1, timeout);
    if (ready > 0) {
      char byte;
      bool signalled = false;
      while (::read(wake_read_, &byte, 1) == 1)
        signalled = signalled || byte == 0;
      int running = -1;
      if (signalled)
        exit_status_.compare_exchange_strong(running, 0);
    }
    if (const int status = exit_status_.load(); status >= 0)
      return status;

    const auto fire_time = Clock::now();
    // A handler may create or destroy timers, so walk a copy.
    const std::vector<HeadlessTimer*> snapshot = timers_;
    for (HeadlessTimer* t : snapshot) {
      if (std::find(timers_.begin(), timers_.end(), t) == timers_.end())
        continue;
      if (t->Enabled() && t->due() <= fire_time)
        t->Fire();
      if (exit_status_.load() >= 0)
        break;
    }
  }
}

void HeadlessApplication::HandleException(const std::exception& error) {
  std::fprintf(stderr, "kestrune: %s\n", error.what());
  std::fflush(stderr);
  Terminate(1);
}

void HeadlessApplication::Terminate(int exit_status) {
  int expected = -1;
  exit_status_.compare_exchange_strong(expected, exit_status);
  Wake();
}

void HeadlessApplication::Wake() {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_write_, &byte, 1);
}

}  // namespace shell
