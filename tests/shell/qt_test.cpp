// The Qt backend on Qt's offscreen platform: the real widgets behind TForm1's components.
#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyleHints>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <memory>

#include "app/MainFrm.h"
#include "logger/logger.h"
#include "shell/qt.h"
#include "tests/support/temp_dir.h"

namespace shell {
namespace {

QtApplication* g_app = nullptr;

class QtShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_app->TrayAvailable = [] { return true; };
  }

  std::unique_ptr<app::TForm1> MakeForm(std::vector<std::string> params = {}) {
    return std::make_unique<app::TForm1>(*g_app, std::move(params), log);
  }
  static QWidget& Window(app::TForm1& form) { return static_cast<QtForm&>(*form.Form1).Widget(); }
  static QPlainTextEdit& Edit(app::TForm1& form) {
    return static_cast<QtMemo&>(*form.Memo1).Widget();
  }
  static QSystemTrayIcon& Tray(app::TForm1& form) {
    return static_cast<QtTrayIcon&>(*form.TrayIcon1).Icon();
  }

  // Runs the loop with step queued first; a stuck loop ends with status 99 after a generous
  // deadline instead of hanging the suite.
  int RunWith(app::TForm1& form, const std::function<void()>& step) {
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [] { QApplication::exit(99); });
    deadline.start(60000);
    QTimer::singleShot(0, step);
    return g_app->Run(form.Form());
  }

  testing_support::TempDir dir;
  logger::Logger log{logger::Environment{&os::RealFileSystem(), os::LocalNow,
                                         [this] { return dir / "kestrune"; }}};
};

TEST_F(QtShellTest, WidgetsFollowTheStoredLayout) {
  auto form = MakeForm();
  QWidget& window = Window(*form);
  window.show();
  EXPECT_EQ(window.windowTitle(), QString::fromUtf8("Запись лога обмена с БС"));
  EXPECT_EQ(window.pos(), QPoint(0, 0));
  EXPECT_EQ(window.size(), QSize(392, 258));
  EXPECT_EQ(window.backgroundRole(), QPalette::Button);
  EXPECT_EQ(window.font().pointSize(), 8);
  if (QFontDatabase::families().contains("Tahoma")) {
    EXPECT_EQ(window.font().family(), "Tahoma");
  }
  EXPECT_TRUE(window.isWindow());

  QPlainTextEdit& edit = Edit(*form);
  EXPECT_EQ(edit.parentWidget(), &window);
  EXPECT_EQ(edit.geometry(), QRect(0, 0, 392, 258));
  EXPECT_TRUE(edit.isReadOnly());
  EXPECT_EQ(edit.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(edit.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(form->Memo1->Text(), "");

  QSystemTrayIcon& tray = Tray(*form);
  EXPECT_TRUE(tray.isVisible());
  EXPECT_EQ(tray.toolTip(), "Kestrune");
  EXPECT_EQ(form->TrayIcon1->Hint(), "Kestrune");
  EXPECT_EQ(tray.contextMenu(), nullptr);
  for (const int size : {16, 32}) {
    const QPixmap image = tray.icon().pixmap(size, size);
    ASSERT_FALSE(image.isNull()) << size;
    EXPECT_EQ(image.size(), QSize(size, size));
    EXPECT_TRUE(image.hasAlpha());
  }
  EXPECT_EQ(QApplication::windowIcon().pixmap(32, 32).size(), QSize(32, 32));

  EXPECT_TRUE(form->Timer1->Enabled());
  EXPECT_EQ(form->Timer1->Interval(), 1000);
}

TEST_F(QtShellTest, ActivationReasonsReachTheirHandlers) {
  using Reason = QSystemTrayIcon::ActivationReason;
  struct Case {
    const char* name;
    std::vector<Reason> reasons;
    bool shown;  // afterwards, from either starting state
    bool keeps;  // unless the window keeps whatever state it had
    int double_click_ms = 400;
  };
  const Case cases[] = {
      {"click", {Reason::Trigger}, false, false},
      {"double-click on X11", {Reason::Trigger, Reason::DoubleClick}, true, false},
      {"double-click over D-Bus", {Reason::Trigger, Reason::Trigger}, true, false},
      {"two separate clicks", {Reason::Trigger, Reason::Trigger}, false, false, 0},
      {"click after a double-click",
       {Reason::Trigger, Reason::DoubleClick, Reason::Trigger},
       false,
       false},
      {"context menu button", {Reason::Context}, false, true},
      {"middle button", {Reason::MiddleClick}, false, true},
  };
  QStyleHints* hints = QGuiApplication::styleHints();
  const int saved_interval = hints->mouseDoubleClickInterval();
  for (const Case& c : cases) {
    hints->setMouseDoubleClickInterval(c.double_click_ms);
    for (const bool visible_before : {false, true}) {
      auto form = MakeForm();
      QWidget& window = Window(*form);
      window.setVisible(visible_before);
      for (const Reason r : c.reasons)
        emit Tray(*form).activated(r);
      const bool expected = c.keeps ? visible_before : c.shown;
      EXPECT_EQ(window.isVisible(), expected) << c.name << " from visible=" << visible_before;
      EXPECT_EQ(form->Form1->Visible(), expected) << c.name;
    }
  }
  hints->setMouseDoubleClickInterval(saved_interval);
}

TEST_F(QtShellTest, WithoutNotificationAreaHidingMinimisesInstead) {
  g_app->TrayAvailable = [] { return false; };
  auto form = MakeForm();
  QWidget& window = Window(*form);
  form->Form1->Show();
  form->TrayIcon1Click(*form->TrayIcon1);
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.isMinimized());
  EXPECT_FALSE(form->Form1->Visible());
  form->TrayIcon1DblClick(*form->TrayIcon1);
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());
  EXPECT_TRUE(form->Form1->Visible());
}

TEST_F(QtShellTest, ErrorInAHandlerShowsItsTextInAModalBox) {
  QString shown_text;
  QMessageBox::Icon shown_icon = QMessageBox::NoIcon;
  bool was_modal = false;
  // The box runs its own loop; look at it and dismiss it from there.
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr)
      return;
    shown_text = box->text();
    shown_icon = box->icon();
    was_modal = box->isModal();
    box->accept();
  });
  auto form = MakeForm({"abc"});
  g_app->Dispatch(form->Timer1->OnTimer, *form->Timer1);
  EXPECT_EQ(shown_text, "\"abc\" is not a valid port number (0 to 65535)");
  EXPECT_EQ(shown_icon, QMessageBox::Critical);
  EXPECT_TRUE(was_modal);
  EXPECT_FALSE(form->IdUDPServer1.Active());
  EXPECT_FALSE(form->Timer1->Enabled());
}

TEST_F(QtShellTest, TimerTickHidesTheShownWindowThenClosingEndsWithStatusZero) {
  auto form = MakeForm({"0"});
  bool shown_at_start = false;
  bool hidden_when_listening = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!form->IdUDPServer1.Active())
      return;
    poll.stop();
    hidden_when_listening = !Window(*form).isVisible() && !form->Timer1->Enabled();
    Window(*form).close();
  });
  const int status = RunWith(*form, [&] {
    shown_at_start = Window(*form).isVisible();
    poll.start(10);
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(shown_at_start);
  EXPECT_TRUE(hidden_when_listening);
}

TEST_F(QtShellTest, StopSignalsEndTheLoopWithStatusZero) {
  for (const int signal : {SIGTERM, SIGINT}) {
    auto form = MakeForm();
    EXPECT_EQ(RunWith(*form, [signal] { ::raise(signal); }), 0) << signal;
  }
}

}  // namespace
}  // namespace shell

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  shell::QtApplication app(argv[0], "");
  shell::g_app = &app;
  return RUN_ALL_TESTS();
}
