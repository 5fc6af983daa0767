// TForm1 built on a fake toolkit, so its handlers can be driven one by one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/MainFrm.h"
#include "logger/logger.h"
#include "tests/support/temp_dir.h"

namespace app {
namespace {

using testing_support::ReadFile;
using testing_support::TempDir;

class FakeForm final : public shell::Form {
 public:
  explicit FakeForm(shell::FormLayout l) : layout(std::move(l)) {}
  void Show() override { visible = true; }
  void Hide() override { visible = false; }
  bool Visible() const override { return visible; }
  shell::FormLayout layout;
  bool visible = false;
};

class FakeMemo final : public shell::Memo {
 public:
  std::string Text() const override { return {}; }
};

class FakeTrayIcon final : public shell::TrayIcon {
 public:
  explicit FakeTrayIcon(std::string h) : hint(std::move(h)) {}
  std::string Hint() const override { return hint; }
  std::string hint;
};

class FakeTimer final : public shell::Timer {
 public:
  explicit FakeTimer(int ms) : interval(ms) {}
  void SetEnabled(bool e) override { enabled = e; }
  bool Enabled() const override { return enabled; }
  int Interval() const override { return interval; }
  int interval;
  bool enabled = true;
};

class FakeApplication final : public shell::Application {
 public:
  std::unique_ptr<shell::Form> CreateForm(const shell::FormLayout& layout) override {
    return std::make_unique<FakeForm>(layout);
  }
  std::unique_ptr<shell::Memo> CreateMemo(shell::Form&) override {
    return std::make_unique<FakeMemo>();
  }
  std::unique_ptr<shell::TrayIcon> CreateTrayIcon(shell::Form&, const std::string& hint) override {
    return std::make_unique<FakeTrayIcon>(hint);
  }
  std::unique_ptr<shell::Timer> CreateTimer(shell::Form&, int interval_ms) override {
    return std::make_unique<FakeTimer>(interval_ms);
  }
  int Run(shell::Form& main_form) override {
    main_form.Show();
    return 0;
  }
  void HandleException(const std::exception& error) override { errors.push_back(error.what()); }
  std::vector<std::string> errors;
};

class FormTest : public ::testing::Test {
 protected:
  logger::Environment Env() {
    return {&os::RealFileSystem(), os::LocalNow, [this] { return dir / "kestrune"; }};
  }
  void Tick(TForm1& form) { app.Dispatch(form.Timer1->OnTimer, *form.Timer1); }
  FakeForm& Window(TForm1& form) { return static_cast<FakeForm&>(*form.Form1); }

  TempDir dir;
  logger::Logger log{Env()};
  FakeApplication app;
};

TEST_F(FormTest, LayoutAndComponentsAsStored) {
  TForm1 form(app, {}, log);
  const shell::FormLayout& layout = Window(form).layout;
  EXPECT_EQ(layout.Caption, "Запись лога обмена с БС");
  EXPECT_EQ(layout.Left, 0);
  EXPECT_EQ(layout.Top, 0);
  EXPECT_EQ(layout.ClientWidth, 392);
  EXPECT_EQ(layout.ClientHeight, 258);
  EXPECT_EQ(layout.FontName, "Tahoma");
  EXPECT_EQ(layout.FontHeight, -11);
  EXPECT_EQ(form.TrayIcon1->Hint(), "Kestrune");
  EXPECT_EQ(form.Memo1->Text(), "");
  EXPECT_TRUE(form.Timer1->Enabled());
  EXPECT_EQ(form.Timer1->Interval(), 1000);
  EXPECT_EQ(form.IdUDPServer1.DefaultPort, 20090);
  EXPECT_EQ(form.IdUDPServer1.BufferSize, 4096u);
  EXPECT_FALSE(form.IdUDPServer1.Active());
}

TEST_F(FormTest, TickHidesStopsTimerConfiguresWriterAndListens) {
  TForm1 form(app, {"0"}, log);
  app.Run(form.Form());
  Tick(form);
  EXPECT_TRUE(app.errors.empty());
  EXPECT_FALSE(form.Form1->Visible());
  EXPECT_FALSE(form.Timer1->Enabled());
  EXPECT_EQ(log.MaxLogSize, 209715200);
  EXPECT_EQ(log.LogBackupCount, 30);
  EXPECT_EQ(log.FileName(), dir / "kestrune.LOG");
  ASSERT_TRUE(form.IdUDPServer1.Active());

  const std::uint16_t port = form.IdUDPServer1.Bindings().at(0).Port;
  ASSERT_NE(port, 0);
  ASSERT_TRUE(testing_support::SendDatagram(port, std::string("dat\0gram", 8)));
  EXPECT_TRUE(testing_support::WaitUntil([&] {
    return ReadFile(log.FileName()).find(std::string("] dat\0gram\r\n", 12)) != std::string::npos;
  }));
}

TEST_F(FormTest, StartUpErrorsReachTheApplicationAndLeaveTheListenerOff) {
  net::UdpServer occupier;
  occupier.SetActive(true);
  const std::string taken = std::to_string(occupier.Bindings().at(0).Port);
  const std::pair<std::string, std::string> cases[] = {
      {"abc", "\"abc\" is not a valid port number (0 to 65535)"},
      {"70000", "\"70000\" is not a valid port number (0 to 65535)"},
      {taken, "Could not bind socket. Address and port are already in use."},
  };
  for (const auto& [param, error] : cases) {
    app.errors.clear();
    log.MaxLogSize = 0;
    log.LogBackupCount = 0;
    TForm1 form(app, {param}, log);
    app.Run(form.Form());
    Tick(form);
    EXPECT_EQ(app.errors, std::vector<std::string>{error});
    EXPECT_FALSE(form.IdUDPServer1.Active());
    EXPECT_FALSE(form.Timer1->Enabled());
    EXPECT_FALSE(form.Form1->Visible());
    // The writer was configured and set up before the port was looked at.
    EXPECT_EQ(log.MaxLogSize, 209715200);
    EXPECT_EQ(log.LogBackupCount, 30);
    EXPECT_EQ(log.FileName(), dir / "kestrune.LOG");
  }
}

TEST_F(FormTest, ClickHidesAndDoubleClickShowsWhateverTheState) {
  TForm1 form(app, {}, log);
  for (const bool visible_before : {false, true}) {
    Window(form).visible = visible_before;
    app.Dispatch(form.TrayIcon1->OnClick, *form.TrayIcon1);
    EXPECT_FALSE(form.Form1->Visible());
    Window(form).visible = visible_before;
    app.Dispatch(form.TrayIcon1->OnDblClick, *form.TrayIcon1);
    EXPECT_TRUE(form.Form1->Visible());
  }
}

TEST_F(FormTest, EachDatagramIsWrittenAtLevelOneUnchanged) {
  TForm1 form(app, {}, log);
  log.InitLog(".LOG");
  const std::string payload("a\r\nb\0\xff", 6);
  form.IdUDPServer1UDPRead(form.IdUDPServer1, payload, net::SocketHandle{});
  const std::string text = ReadFile(log.FileName());
  const std::string tail = "[] " + payload + "\r\n";
  ASSERT_GE(text.size(), tail.size() + 21);
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_EQ(text[text.size() - tail.size() - 21], '+');
}

// Datagrams read together: one line each, in order, each stamped with its own arrival time.
TEST_F(FormTest, BatchIsWrittenWithEachDatagramsArrivalTime) {
  TForm1 form(app, {}, log);
  log.InitLog(".LOG");
  log.WriteLog(1, "start");  // past the separator and the open-error line
  const os::WallTime first = os::WallNow();
  const std::vector<os::WallTime> arrivals = {
      first, {first.seconds, 999000000}, {first.seconds + 1, 5000000}, {first.seconds + 61, 0}};
  const std::vector<std::string> payloads = {"a", "", std::string("c\0\r\n", 4), "d"};
  std::vector<net::Datagram> batch;
  for (std::size_t i = 0; i < payloads.size(); ++i)
    batch.push_back({payloads[i], arrivals[i]});

  for (const std::size_t size : {std::size_t{1}, batch.size()}) {
    const std::string before = ReadFile(log.FileName());
    form.IdUDPServer1UDPReadBatch(form.IdUDPServer1, std::span(batch).first(size),
                                  net::SocketHandle{});
    std::string expected;
    for (std::size_t i = 0; i < size; ++i) {
      os::LocalTime t = os::LocalTimeOf(arrivals[i].seconds);
      t.millisecond = arrivals[i].nanoseconds / 1000000;
      expected += logger::DataLine(1, logger::BuildLine(t, "", payloads[i]));
    }
    const std::string text = ReadFile(log.FileName());
    ASSERT_GE(text.size(), before.size());
    EXPECT_EQ(text.substr(before.size()), expected) << size << " datagrams";
  }
}

}  // namespace
}  // namespace app
