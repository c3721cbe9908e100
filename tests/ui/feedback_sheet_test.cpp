// The feedback sheet over the main window, shown by its controller while the
// model's showFeedback is set, sending to an HTTPS server on 127.0.0.1.
#include "app/ui/feedback/feedback_sheet.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <future>

#include "tests/ui/feedback_fixture.h"
#include "tests/ui/ui_fixture.h"

namespace choralink::test {
namespace {

using namespace Qt::StringLiterals;
using ui::test::HttpsTestServer;

class FeedbackSheetTest : public UiTest {
 protected:
  // The main window with the controller; the service answers with `answer`.
  void open(HttpsTestServer::Handler answer) {
    service = std::make_unique<ui::test::FeedbackServiceFixture>(std::move(answer));
    show(settingsWith({"tv"}), {tv});
    ui::FeedbackForm::Services services = service->services();
    services.send = [send = services.send, this](const FeedbackReport& report) {
      FeedbackResult result = send(report);
      answered = true;
      return result;
    };
    controller = std::make_unique<ui::FeedbackController>(*model, *bridge, *window, services,
                                                          [this](QWidget*) { return chosen; });
    model->setShowFeedback(true);
    settle();
  }
  ui::FeedbackSheet& sheet() { return *controller->sheet(); }
  void sendTitled(const QString& title) {
    QTest::keyClicks(sheet().titleField(), title);
    click(sheet().sendButton());
  }
  bool waitForAnswer() {
    const bool done = ui::test::runUntilAnswered(clock, [&] { return answered.load(); });
    settle();
    return done;
  }
  void TearDown() override {
    controller.reset();
    UiTest::TearDown();
    service.reset();
  }

  std::unique_ptr<ui::test::FeedbackServiceFixture> service;
  std::unique_ptr<ui::FeedbackController> controller;
  std::optional<std::filesystem::path> chosen;
  std::atomic<bool> answered{false};
};

TEST_F(FeedbackSheetTest, EachOutcomeShowsAsWritten) {
  const std::tuple<int, QString, bool> outcomes[] = {
      {201, u"Thanks! Your feedback was sent."_s, true},
      {429, u"Too many reports just now. Please wait a minute and try again."_s, false}};
  for (const auto& [status, text, success] : outcomes) {
    SCOPED_TRACE(status);
    controller.reset();
    answered = false;
    open([&](const HttpsTestServer::Request&) { return HttpsTestServer::Reply{status}; });
    sendTitled(u"No sound"_s);
    EXPECT_FALSE(sheet().sendButton()->isEnabled());  // while sending
    ASSERT_TRUE(waitForAnswer());
    QLabel* shown = success ? sheet().resultText() : sheet().errorText();
    EXPECT_TRUE(shown->isVisible());
    EXPECT_EQ(shown->text(), text);
    const QColor colour = shown->palette().color(QPalette::WindowText);
    EXPECT_GT(success ? colour.green() : colour.red(),
              2 * (success ? colour.red() : colour.green()));
    EXPECT_EQ(sheet().cancelButton()->text(), success ? u"Close"_s : u"Cancel"_s);
    EXPECT_EQ(sheet().sendButton()->isVisible(), !success);
    EXPECT_EQ(sheet().sendButton()->isEnabled(), !success);
  }
}

TEST_F(FeedbackSheetTest, PastedTextIsCutWithTheCursorAtTheEndAndACancelledPickChangesNothing) {
  open({});
  QApplication::clipboard()->setText(QString(120, u'a'));
  sheet().titleField()->paste();
  EXPECT_EQ(sheet().titleField()->text(), QString(80, u'a'));
  EXPECT_EQ(sheet().titleField()->cursorPosition(), 80);
  QApplication::clipboard()->setText(QString(500, u'b'));
  sheet().detailsEditor()->paste();
  EXPECT_EQ(sheet().detailsEditor()->toPlainText(), QString(300, u'b'));
  EXPECT_EQ(sheet().detailsEditor()->textCursor().position(), 300);

  chosen = service->pngFile("shot.png", 100);
  sheet().screenshotButton()->click();
  chosen.reset();  // the user cancels the file dialog
  click(sheet().screenshotButton());
  EXPECT_EQ(sheet().screenshotButton()->text(), u"Change Screenshot…"_s);
  EXPECT_EQ(sheet().screenshotName()->text(), u"shot.png"_s);
}

TEST_F(FeedbackSheetTest, AnAnswerAfterClosingChangesNothing) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  open([released](const HttpsTestServer::Request&) {
    released.wait();
    return HttpsTestServer::Reply{201};
  });
  sendTitled(u"Closing early"_s);
  ASSERT_TRUE(
      ui::test::runUntilAnswered(clock, [&] { return service->server.requests().size() == 1; }));
  QTest::keyClick(&sheet(), Qt::Key_Escape);
  settle();
  EXPECT_EQ(controller->sheet(), nullptr);
  EXPECT_FALSE(model->showFeedback());

  release.set_value();
  ASSERT_TRUE(waitForAnswer());
  EXPECT_EQ(controller->sheet(), nullptr);
  EXPECT_FALSE(model->showFeedback());

  model->setShowFeedback(true);  // a new sheet starts empty
  settle();
  EXPECT_TRUE(sheet().titleField()->text().isEmpty());
  EXPECT_TRUE(sheet().sendButton()->isVisible());
}

}  // namespace
}  // namespace choralink::test
