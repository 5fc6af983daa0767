#include "shell/qt.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QIcon>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPalette>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSocketNotifier>
#include <QStyleHints>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace shell {
namespace {

// A library opened only to ask it one question.
class SharedLibrary {
 public:
  explicit SharedLibrary(const char* name) : handle_(::dlopen(name, RTLD_NOW | RTLD_LOCAL)) {}
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  ~SharedLibrary() {
    if (handle_ != nullptr)
      ::dlclose(handle_);
  }
  explicit operator bool() const { return handle_ != nullptr; }
  template <typename F>
  F* Get(const char* symbol) const {
    return reinterpret_cast<F*>(::dlsym(handle_, symbol));
  }

 private:
  void* handle_;
};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string X11Problem(const std::string& display) {
  SharedLibrary xcb("libxcb.so.1");
  auto* connect = xcb.Get<void*(const char*, int*)>("xcb_connect");
  auto* has_error = xcb.Get<int(void*)>("xcb_connection_has_error");
  auto* disconnect = xcb.Get<void(void*)>("xcb_disconnect");
  if (!xcb || connect == nullptr || has_error == nullptr || disconnect == nullptr)
    return "libxcb.so.1 is not installed";
  void* connection = connect(nullptr, nullptr);
  const bool failed = has_error(connection) != 0;
  disconnect(connection);
  return failed ? "cannot open display " + display : std::string();
}

std::string WaylandProblem(const std::string& display) {
  const QDir plugins(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms");
  if (plugins.entryList({"libqwayland*.so"}, QDir::Files).isEmpty())
    return "Qt's Wayland platform plugin is not installed";
  SharedLibrary wayland("libwayland-client.so.0");
  auto* connect = wayland.Get<void*(const char*)>("wl_display_connect");
  auto* disconnect = wayland.Get<void(void*)>("wl_display_disconnect");
  if (!wayland || connect == nullptr || disconnect == nullptr)
    return "libwayland-client.so.0 is not installed";
  void* connection = connect(nullptr);
  if (connection == nullptr)
    return "cannot connect to Wayland display " + display;
  disconnect(connection);
  return {};
}

int PointsFromPixelHeight(int height) {
  // A negative height is the character height in pixels at 96 pixels per inch.
  const int pixels = height < 0 ? -height : height;
  return (pixels * 72 + 48) / 96;
}

}  // namespace

std::string QtDesktopProblem(std::string& platform) {
  platform.clear();
  // A platform of the user's own choosing other than a display (offscreen, vnc) needs none;
  // X11 or Wayland named there still needs its display reachable.
  const std::string chosen = Env("QT_QPA_PLATFORM");
  if (!chosen.empty() && chosen.find("xcb") == std::string::npos &&
      chosen.find("wayland") == std::string::npos)
    return {};
  const std::string x11 = Env("DISPLAY");
  const std::string wayland = Env("WAYLAND_DISPLAY");
  std::string problem;
  // X11 first, also under XWayland: it places the window where asked and carries the
  // notification-area protocol that most desktops host.
  if (!x11.empty()) {
    problem = X11Problem(x11);
    if (problem.empty()) {
      platform = chosen.empty() ? "xcb" : "";
      return {};
    }
  }
  if (!wayland.empty()) {
    const std::string wayland_problem = WaylandProblem(wayland);
    if (wayland_problem.empty()) {
      platform = chosen.empty() ? "wayland" : "";
      return {};
    }
    problem = problem.empty() ? wayland_problem : problem + ", " + wayland_problem;
  }
  return problem.empty() ? "no display is set" : problem;
}

QtApplication::QtApplication(const char* program, const std::string& platform)
    : TrayAvailable([] { return QSystemTrayIcon::isSystemTrayAvailable(); }),
      program_(program == nullptr ? "kestrune" : program) {
  argv_[0] = program_.data();
  if (!platform.empty())
    qputenv("QT_QPA_PLATFORM", QByteArray::fromStdString(platform));
  app_ = std::make_unique<QApplication>(argc_, argv_);
  // The main window is hidden most of the time and an error box may be the only window shown;
  // only closing the main window ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName("Kestrune");
  QApplication::setWindowIcon(ApplicationIconImage());

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) == 0) {
    stop_fds_[0] = fds[0];
    stop_fds_[1] = fds[1];
    stop_signal_ = std::make_unique<QSocketNotifier>(stop_fds_[0], QSocketNotifier::Read);
    QObject::connect(stop_signal_.get(), &QSocketNotifier::activated, [this] {
      char buffer[16];
      while (::read(stop_fds_[0], buffer, sizeof buffer) > 0) {
      }
      Quit();
    });
    stop_signals_ = std::make_unique<StopSignalRoute>(stop_fds_[1]);
  }
}

QtApplication::~QtApplication() {
  stop_signals_.reset();
  stop_signal_.reset();
  for (const int fd : stop_fds_) {
    if (fd >= 0)
      ::close(fd);
  }
}

std::unique_ptr<Form> QtApplication::CreateForm(const FormLayout& layout) {
  return std::make_unique<QtForm>(*this, layout);
}

std::unique_ptr<Memo> QtApplication::CreateMemo(Form& owner) {
  return std::make_unique<QtMemo>(dynamic_cast<QtForm&>(owner));
}

std::unique_ptr<TrayIcon> QtApplication::CreateTrayIcon(Form&, const std::string& hint) {
  return std::make_unique<QtTrayIcon>(*this, hint);
}

std::unique_ptr<Timer> QtApplication::CreateTimer(Form&, int interval_ms) {
  return std::make_unique<QtTimer>(*this, interval_ms);
}

int QtApplication::Run(Form& main_form) {
  if (std::exchange(quit_requested_, false))
    return 0;
  main_form.Show();
  const int status = QApplication::exec();
  quit_requested_ = false;
  return status;
}

void QtApplication::HandleException(const std::exception& error) {
  std::fprintf(stderr, "kestrune: %s\n", error.what());
  std::fflush(stderr);
  QMessageBox box(QMessageBox::Critical, "Kestrune", QString::fromUtf8(error.what()),
                  QMessageBox::Ok);
  box.exec();
}

void QtApplication::Quit() {
  quit_requested_ = true;
  QApplication::exit(0);
}

QIcon QtApplication::TrayIconImage() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const char* depth = screen != nullptr && screen->depth() <= 8 ? "8bit" : "32bit";
  QIcon icon;
  for (const int size : {16, 32})
    icon.addFile(QString(":/kestrune/tray-%1-%2.png").arg(size).arg(depth), QSize(size, size));
  return icon;
}

QIcon QtApplication::ApplicationIconImage() {
  return QIcon(":/kestrune/kestrune-32.png");
}

class QtForm::Window final : public QWidget {
 public:
  explicit Window(QtApplication& app) : app_(app) {}

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->accept();
    app_.Quit();
  }

 private:
  QtApplication& app_;
};

QtForm::QtForm(QtApplication& app, const FormLayout& layout)
    : app_(app), window_(std::make_unique<Window>(app)) {
  window_->setWindowTitle(QString::fromUtf8(layout.Caption));
  window_->setBackgroundRole(QPalette::Button);
  window_->setAutoFillBackground(true);
  QFont font = window_->font();
  if (QFontDatabase::families().contains(QString::fromStdString(layout.FontName)))
    font.setFamily(QString::fromStdString(layout.FontName));
  font.setPointSize(PointsFromPixelHeight(layout.FontHeight));
  window_->setFont(font);
  window_->resize(layout.ClientWidth, layout.ClientHeight);
  window_->move(layout.Left, layout.Top);
  auto* fill = new QVBoxLayout(window_.get());
  fill->setContentsMargins(0, 0, 0, 0);
  fill->setSpacing(0);
}

QtForm::~QtForm() = default;

QWidget& QtForm::Widget() {
  return *window_;
}

void QtForm::Show() {
  if (window_->isMinimized())
    window_->showNormal();
  else
    window_->show();
  window_->raise();
  window_->activateWindow();
}

void QtForm::Hide() {
  if (app_.TrayAvailable())
    window_->hide();
  else
    window_->showMinimized();
}

bool QtForm::Visible() const {
  return window_->isVisible() && !window_->isMinimized();
}

QtMemo::QtMemo(QtForm& owner) : edit_(new QPlainTextEdit(&owner.Widget())) {
  edit_->setReadOnly(true);
  edit_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  edit_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  owner.Widget().layout()->addWidget(edit_);
}

QtMemo::~QtMemo() {
  delete edit_.data();
}

QPlainTextEdit& QtMemo::Widget() {
  return *edit_;
}

std::string QtMemo::Text() const {
  return edit_->toPlainText().toStdString();
}

QtTrayIcon::QtTrayIcon(QtApplication& app, const std::string& hint)
    : icon_(std::make_unique<QSystemTrayIcon>(QtApplication::TrayIconImage())) {
  icon_->setToolTip(QString::fromStdString(hint));
  QObject::connect(
      icon_.get(), &QSystemTrayIcon::activated,
      [this, &app](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !TriggerEndsDoubleClick())
          app.Dispatch(OnClick, *this);
        else if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
          app.Dispatch(OnDblClick, *this);
        if (reason == QSystemTrayIcon::DoubleClick)
          last_trigger_.invalidate();
      });
  icon_->show();
}

QtTrayIcon::~QtTrayIcon() = default;

// An X11 notification area reports a double-click as Trigger then DoubleClick: hidden, then
// shown. A D-Bus one (StatusNotifierItem) has no double-click and reports one activation per
// click; without this the window, once hidden there, could never be shown or closed again.
bool QtTrayIcon::TriggerEndsDoubleClick() {
  const bool pair =
      last_trigger_.isValid() &&
      last_trigger_.elapsed() < QGuiApplication::styleHints()->mouseDoubleClickInterval();
  if (pair)
    last_trigger_.invalidate();
  else
    last_trigger_.start();
  return pair;
}

std::string QtTrayIcon::Hint() const {
  return icon_->toolTip().toStdString();
}

QtTimer::QtTimer(QtApplication& app, int interval_ms) : timer_(std::make_unique<QTimer>()) {
  timer_->setInterval(interval_ms);
  QObject::connect(timer_.get(), &QTimer::timeout, [this, &app] { app.Dispatch(OnTimer, *this); });
  timer_->start();
}

QtTimer::~QtTimer() = default;

void QtTimer::SetEnabled(bool enabled) {
  if (enabled && !timer_->isActive())
    timer_->start();
  else if (!enabled)
    timer_->stop();
}

bool QtTimer::Enabled() const {
  return timer_->isActive();
}

int QtTimer::Interval() const {
  return timer_->interval();
}

}  // namespace shell
