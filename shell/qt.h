#pragma once

// The desktop backend on Linux, built on Qt Widgets. It lives in its own module (see
// qt_module.cpp) so that a headless run never loads Qt.

#include <functional>
#include <memory>
#include <string>

#include <QElapsedTimer>
#include <QPointer>

#include "shell/application.h"
#include "shell/stop_signals.h"

class QApplication;
class QPlainTextEdit;
class QIcon;
class QSocketNotifier;
class QSystemTrayIcon;
class QTimer;
class QWidget;

namespace shell {

// Why no Qt desktop can be opened in this process, or empty when one can; asked first because
// Qt ends the process when it cannot open its display. Sets platform to the Qt platform plugin
// to ask for (empty: the user's choice in QT_QPA_PLATFORM).
std::string QtDesktopProblem(std::string& platform);

class QtApplication final : public Application {
 public:
  // platform empty: Qt's own choice. The command line stays the program's own: Qt sees only
  // the program name.
  QtApplication(const char* program, const std::string& platform);
  ~QtApplication() override;

  std::unique_ptr<Form> CreateForm(const FormLayout& layout) override;
  std::unique_ptr<Memo> CreateMemo(Form& owner) override;
  std::unique_ptr<TrayIcon> CreateTrayIcon(Form& owner, const std::string& hint) override;
  std::unique_ptr<Timer> CreateTimer(Form& owner, int interval_ms) override;
  int Run(Form& main_form) override;
  // A modal error box with the text; the program goes on running.
  void HandleException(const std::exception& error) override;

  // Ends Run with status 0, as closing the main window does.
  void Quit();

  // Whether the desktop has a notification area; without one a form is minimised instead of
  // hidden, so that the user can still reach it. Replaceable in tests.
  std::function<bool()> TrayAvailable;

  static QIcon TrayIconImage();
  static QIcon ApplicationIconImage();

 private:
  int argc_ = 1;
  char* argv_[2] = {nullptr, nullptr};
  std::string program_;
  std::unique_ptr<QApplication> app_;
  // SIGINT and SIGTERM end the loop as closing the window does.
  int stop_fds_[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> stop_signal_;
  std::unique_ptr<StopSignalRoute> stop_signals_;
  bool quit_requested_ = false;
};

class QtForm final : public Form {
 public:
  QtForm(QtApplication& app, const FormLayout& layout);
  ~QtForm() override;
  void Show() override;
  void Hide() override;
  bool Visible() const override;
  QWidget& Widget();

 private:
  class Window;
  QtApplication& app_;
  std::unique_ptr<Window> window_;
};

class QtMemo final : public Memo {
 public:
  explicit QtMemo(QtForm& owner);
  ~QtMemo() override;
  std::string Text() const override;
  QPlainTextEdit& Widget();

 private:
  // The form's window owns it too, as its child.
  QPointer<QPlainTextEdit> edit_;
};

class QtTrayIcon final : public TrayIcon {
 public:
  QtTrayIcon(QtApplication& app, const std::string& hint);
  ~QtTrayIcon() override;
  std::string Hint() const override;
  QSystemTrayIcon& Icon() { return *icon_; }

 private:
  bool TriggerEndsDoubleClick();
  std::unique_ptr<QSystemTrayIcon> icon_;
  QElapsedTimer last_trigger_;
};

class QtTimer final : public Timer {
 public:
  QtTimer(QtApplication& app, int interval_ms);
  ~QtTimer() override;
  void SetEnabled(bool enabled) override;
  bool Enabled() const override;
  int Interval() const override;

 private:
  std::unique_ptr<QTimer> timer_;
};

}  // namespace shell
