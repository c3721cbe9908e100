#include "app/ui/feedback/feedback_form.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/ui/feedback_fixture.h"

namespace choralink::ui {
namespace {

class FeedbackFormTest : public ::testing::Test, public test::FeedbackServiceFixture {
 protected:
  bool waitFor(const std::function<bool()>& done) { return test::runUntilAnswered(main, done); }

  VirtualExecutor main{"main"};
  FeedbackWorker worker;
  FeedbackForm form{main, worker, services()};

  nlohmann::json lastBody() {
    const auto requests = server.requests();
    EXPECT_FALSE(requests.empty());
    return requests.empty() ? nlohmann::json() : nlohmann::json::parse(requests.back().body);
  }
};

std::string repeated(std::string_view piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i)
    text += piece;
  return text;
}

TEST_F(FeedbackFormTest, TypingLimitsCountUserPerceivedCharacters) {
  // A thumbs-up with a skin tone is two scalars and eight bytes, one character.
  const std::string thumb = "\U0001F44D\U0001F3FD";
  EXPECT_EQ(form.setTitle(repeated(thumb, 100)), repeated(thumb, 80));
  EXPECT_EQ(form.setDetails("e\u0301" + repeated(thumb, 299) + "xyz"),
            "e\u0301" + repeated(thumb, 299));
}

TEST_F(FeedbackFormTest, SendNeedsATitleBeyondBlanks) {
  const std::pair<const char*, bool> titles[] = {{"", false},
                                                 {"   \t", false},
                                                 {"\u2003\u00a0", false},
                                                 {"\u200b\u200b", true},
                                                 {" Crash ", true}};
  for (const auto& [title, canSend] : titles) {
    form.setTitle(title);
    EXPECT_EQ(form.canSend(), canSend) << title;
  }

  // Zero-width characters clean away to nothing: the report cannot be built,
  // and the service hears nothing.
  form.setTitle("\u200b\u200b");
  form.send();
  EXPECT_TRUE(form.sending());
  EXPECT_FALSE(form.canSend());
  ASSERT_TRUE(waitFor([&] { return !form.sending(); }));
  EXPECT_EQ(form.error(), "Please enter a title.");
  EXPECT_FALSE(form.sent());
  EXPECT_EQ(server.requests().size(), 0u);
}

TEST_F(FeedbackFormTest, AScreenshotThatCannotBeOneKeepsThePreviousOne) {
  form.attachImage(pngFile("first.png", 1000));
  ASSERT_TRUE(form.image());

  form.attachImage(pngFile("huge.png", 2 * 1024 * 1024));
  EXPECT_EQ(form.error(), "Screenshots must be 1 MB or smaller.");
  ASSERT_TRUE(form.image());
  EXPECT_EQ(form.image()->filename(), "first.png");
}

TEST_F(FeedbackFormTest, TheLogTravelsOnlyWhenChosen) {
  form.setTitle("No sound on the TV");
  form.attachImage(pngFile("shot.png", 64));
  form.send();
  ASSERT_TRUE(waitFor([&] { return !form.sending(); }));
  nlohmann::json body = lastBody();
  EXPECT_FALSE(body.contains("log"));
  EXPECT_EQ(body["title"], "No sound on the TV");
  EXPECT_TRUE(body.contains("image"));

  FeedbackForm again(main, worker, services());
  again.setTitle("Again");
  again.setAttachLog(true);
  again.send();
  ASSERT_TRUE(waitFor([&] { return !again.sending(); }));
  EXPECT_THAT(lastBody()["log"].get<std::string>(), ::testing::HasSubstr("line one"));
}

}  // namespace
}  // namespace choralink::ui
