#include "support/feedback/feedback_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <variant>

#include "tests/common/temp_folder.h"

namespace choralink {
namespace {

using test::TempFolder;

using Kind = FeedbackError::Kind;
using namespace std::literals;

const FeedbackEnvironment kEnvironment{"2.1.0", "mac", "6.1.0", "arm64"};

std::vector<std::uint8_t> pngBytes(std::size_t size) {
  std::vector<std::uint8_t> data(size, 0x42);
  const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  std::copy(std::begin(signature), std::begin(signature) + std::min<std::size_t>(8, size),
            data.begin());
  return data;
}

std::vector<std::uint8_t> bytesOf(std::string_view text) {
  return {text.begin(), text.end()};
}

// The kind of FeedbackError that `build` throws.
template <typename F>
std::optional<Kind> errorOf(F build) {
  try {
    build();
  } catch (const FeedbackError& error) {
    return error.kind();
  }
  return std::nullopt;
}

// The name must be one of the three formats (checked first), the bytes must
// start with one of their signatures (which gives the media type), and the
// data must be 1 to 1048576 bytes.
TEST(FeedbackImage, ChecksNameSignatureAndSize) {
  const struct {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::variant<const char*, Kind> expected;  // content type or error
  } cases[] = {
      {"Screen Shot.PNG", pngBytes(1048576), "image/png"},
      {"big.png", pngBytes(1048577), Kind::imageTooLarge},
      {"a.jpeg", bytesOf("\xFF\xD8\xFF\xE0rest"), "image/jpeg"},
      {"a.webp", bytesOf("RIFF\x10\0\0\0WEBPVP8 "sv), "image/webp"},
      {"a.jpg", pngBytes(64), "image/png"},  // sent as what it is
      {"photo.JPG", {}, Kind::imageUnreadable},
      {"anim.gif", pngBytes(100), Kind::unsupportedImageType},
      {"x.gif", pngBytes(2'000'000), Kind::unsupportedImageType},
      {"png", pngBytes(100), Kind::unsupportedImageType},
      {"", pngBytes(100), Kind::unsupportedImageType},
      {"folder/", pngBytes(100), Kind::unsupportedImageType},
      {"notes.png", bytesOf("just some text"), Kind::unsupportedImageType},
      {"sound.webp", bytesOf("RIFF\x10\0\0\0WAVEfmt "sv), Kind::unsupportedImageType},
      {"tool.jpg",
       bytesOf("\x7F"
               "ELF\x02\x01"),
       Kind::unsupportedImageType},
      {"short.png", pngBytes(5), Kind::unsupportedImageType},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (const Kind* kind = std::get_if<Kind>(&c.expected)) {
      EXPECT_EQ(errorOf([&] { FeedbackImage(c.name, c.bytes); }), *kind);
      continue;
    }
    const FeedbackImage image(c.name, c.bytes);
    EXPECT_EQ(image.contentType(), std::get<const char*>(c.expected));
    EXPECT_EQ(image.data(), c.bytes);
  }
}

TEST(FeedbackImage, KeepsOnlyTheCleanedLastPathComponent) {
  EXPECT_EQ(FeedbackImage("/home/me/Pictures/shot.png", pngBytes(16)).filename(), "shot.png");
  EXPECT_EQ(FeedbackImage("C:\\Users\\me\\shot.png", pngBytes(16)).filename(), "shot.png");
  EXPECT_EQ(FeedbackImage("my\u202Egnp.exe\u202C.png", pngBytes(16)).filename(), "mygnp.exe.png");
}

// The name and the size are checked before reading; a file that cannot be
// read (or reports size 0 and never ends) is not read without limit.
TEST(FeedbackImageLoad, RefusesBadFilesBeforeOrWhileReadingAndReadsAGoodOne) {
  TempFolder dir;
  const auto big = pngBytes(2 * 1024 * 1024);
  test::writeFile(dir / "big.png", std::string(big.begin(), big.end()));
  test::writeFile(dir / "empty.jpg", "");
  std::filesystem::create_directory(dir.path() / "folder.png");
  std::filesystem::create_symlink("/proc/self/mem", dir.path() / "mem.png");  // an I/O error
  std::filesystem::create_symlink("/dev/zero", dir.path() / "zero.png");
  const std::pair<const char*, Kind> cases[] = {
      {"missing.gif", Kind::unsupportedImageType}, {"big.png", Kind::imageTooLarge},
      {"missing.png", Kind::imageUnreadable},      {"folder.png", Kind::imageUnreadable},
      {"empty.jpg", Kind::imageUnreadable},        {"mem.png", Kind::imageUnreadable},
      {"zero.png", Kind::imageTooLarge},
  };
  for (const auto& [name, kind] : cases)
    EXPECT_EQ(errorOf([&] { FeedbackImage::load(dir.path() / name); }), kind) << name;
  const auto bytes = pngBytes(3000);
  const FeedbackImage image = FeedbackImage::load(
      test::writeFile(dir / "capture.png", std::string(bytes.begin(), bytes.end())));
  EXPECT_EQ(image.filename(), "capture.png");
  EXPECT_EQ(image.data(), bytes);
}

TEST(FeedbackReport, CleansEveryText) {
  const FeedbackReport report("  Crackles\ton\r\nHDMI\u200B ", "\n\nFirst\r\n\r\n\r\n\r\nSecond\n",
                              std::nullopt, std::string("a\r\n\n\n\nb\u202E"), kEnvironment);
  EXPECT_EQ(report.title(), "Crackles on HDMI");
  EXPECT_EQ(report.description(), "First\n\nSecond");
  EXPECT_EQ(report.log(), "a\n\nb");
}

TEST(FeedbackReport, NeedsAVisibleTitle) {
  const auto invisibleTitle = [] {
    FeedbackReport(" \t\n\u200B\u200D ", "text", std::nullopt, std::nullopt, kEnvironment);
  };
  EXPECT_EQ(errorOf(invisibleTitle), Kind::emptyTitle);
}

// Where inside a character the cut may fall is FeedbackSanitizerTail's table.
TEST(FeedbackReport, CutsTheLogFromItsEnd) {
  std::string log;
  while (log.size() < 69990)
    log += "é";
  log += "NEWEST\n";
  const FeedbackReport report("t", "", std::nullopt, log, kEnvironment);
  ASSERT_TRUE(report.log());
  EXPECT_LE(report.log()->size(), 65536u);
  EXPECT_GE(report.log()->size(), 65535u);
  EXPECT_TRUE(report.log()->ends_with("NEWEST\n"));
}

TEST(FeedbackReport, AbsentAndEmptyLogsStayOutOfTheBody) {
  const FeedbackReport absent("t", "", std::nullopt, std::nullopt, kEnvironment);
  EXPECT_FALSE(absent.log());
  const FeedbackReport empty("t", "", std::nullopt, std::string("\u200B"), kEnvironment);
  EXPECT_EQ(empty.log(), "");
  EXPECT_FALSE(nlohmann::json::parse(empty.jsonBody()).contains("log"));
}

TEST(FeedbackReportJson, MinimalBodyIsCompactSortedAndHasThreeKeys) {
  const FeedbackReport report("Hello world", "", std::nullopt, std::nullopt, kEnvironment);
  EXPECT_EQ(report.jsonBody(),
            R"({"description":"","environment":{"app_version":"2.1.0","arch":"arm64",)"
            R"("channel":"mac","macos":"6.1.0"},"title":"Hello world"})");
}

TEST(FeedbackReportJson, ImageAndLogAreEncodedInFull) {
  const std::vector<std::uint8_t> bytes{0xFF, 0xD8, 0xFF, 0x00, 0x10};
  const FeedbackReport report("t", "d\nline", FeedbackImage("x.jpg", bytes),
                              std::string("log \"quoted\"\n"), kEnvironment);
  const nlohmann::json body = nlohmann::json::parse(report.jsonBody());
  EXPECT_EQ(body["image"], (nlohmann::json{{"filename", "x.jpg"},
                                           {"content_type", "image/jpeg"},
                                           {"size_bytes", 5},
                                           {"data_base64", "/9j/ABA="}}));
  EXPECT_EQ(body["log"], "log \"quoted\"\n");
  EXPECT_EQ(body["description"], "d\nline");
  EXPECT_EQ(body.size(), 5u);
}

TEST(FeedbackReportJson, EnvironmentThatCannotBeSerialisedFails) {
  const FeedbackReport report("t", "", std::nullopt, std::nullopt,
                              FeedbackEnvironment{"1.0\xFF", "mac", "6.1.0", "arm64"});
  EXPECT_THROW((void)report.jsonBody(), std::exception);
}

TEST(Base64, EncodesTheStandardVectors) {
  const std::pair<std::string_view, const char*> cases[] = {
      {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"\xFB\xFF\xBF", "+/+/"}};
  for (const auto& [text, encoded] : cases)
    EXPECT_EQ(base64Encode(bytesOf(text)), encoded) << text;
}

TEST(FeedbackEnvironment, DecodingTakesExactlyTheFourTextMembers) {
  const nlohmann::json good = kEnvironment;
  EXPECT_EQ(good.get<FeedbackEnvironment>(), kEnvironment);
  nlohmann::json missing = good, extra = good, number = good;
  missing.erase("macos");
  extra["os"] = "linux";
  number["arch"] = 64;
  for (const nlohmann::json& bad : {missing, extra, number})
    EXPECT_THROW((void)bad.get<FeedbackEnvironment>(), nlohmann::json::exception) << bad;
}

}  // namespace
}  // namespace choralink
