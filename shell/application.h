#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace shell {

class Component {
 public:
  Component() = default;
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;
  virtual ~Component() = default;
};

using NotifyEvent = std::function<void(Component& Sender)>;

struct FormLayout {
  std::string Caption;  // UTF-8
  int Left = 0;
  int Top = 0;
  int ClientWidth = 0;
  int ClientHeight = 0;
  std::string FontName;
  int FontHeight = 0;  // in pixels; negative means character height
};

class Form : public Component {
 public:
  virtual void Show() = 0;
  virtual void Hide() = 0;
  virtual bool Visible() const = 0;
};

// A read-only text area filling its form, with a vertical scroll bar only.
class Memo : public Component {
 public:
  virtual std::string Text() const = 0;
};

// The icon in the notification area, visible from creation.
class TrayIcon : public Component {
 public:
  virtual std::string Hint() const = 0;
  NotifyEvent OnClick;
  NotifyEvent OnDblClick;
};

// Ticks on the application's thread while enabled.
class Timer : public Component {
 public:
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
  virtual int Interval() const = 0;
  NotifyEvent OnTimer;
};

// The toolkit: creates components, runs the message loop and handles errors raised in handlers.
class Application {
 public:
  Application() = default;
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;
  virtual ~Application() = default;

  // The main window has its own taskbar button while visible.
  bool MainFormOnTaskBar = false;

  virtual std::unique_ptr<Form> CreateForm(const FormLayout& layout) = 0;
  virtual std::unique_ptr<Memo> CreateMemo(Form& owner) = 0;
  virtual std::unique_ptr<TrayIcon> CreateTrayIcon(Form& owner, const std::string& hint) = 0;
  virtual std::unique_ptr<Timer> CreateTimer(Form& owner, int interval_ms) = 0;

  // Shows the main form and runs the message loop until the program is told to end; returns the
  // process's exit status.
  virtual int Run(Form& main_form) = 0;

  // Default handling of an error raised in an event handler.
  virtual void HandleException(const std::exception& error) = 0;

  // Calls handler on sender, giving any error it raises to HandleException.
  void Dispatch(const NotifyEvent& handler, Component& sender);
};

// The backend for this process: headless when no display is available.
std::unique_ptr<Application> CreateApplication(int argc, char** argv);

}  // namespace shell
