#include "support/feedback/feedback_sanitizer.h"

#include <gtest/gtest.h>

#include <string>

namespace choralink {
namespace {

namespace S = FeedbackSanitizer;

std::string repeat(std::string_view piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i)
    out += piece;
  return out;
}

// Every character the cleaners must never let through, as UTF-8.
const char* const kInvisible[] = {
    "\u200B", "\u200C", "\u200D", "\u200E", "\u200F",            // zero-width, marks
    "\u202A", "\u202B", "\u202C", "\u202D", "\u202E",            // embeddings, overrides
    "\u2066", "\u2067", "\u2068", "\u2069",                      // isolates
    "\u2028", "\u2029", "\uFEFF", "\x7F",   "\u0085", "\u009B",  // separators, BOM, DEL, C1
    "\x1B",   "\x01",   "\x0B",   "\x0C",                        // C0 controls
};

// Invisible characters go, line ends become line feeds and tabs spaces, each
// maximal ill-formed subpart one U+FFFD; text from any script stays as it is.
TEST(FeedbackSanitizerStrip, RemovesInvisiblesNormalisesLineEndsAndReplacesIllFormedUTF8) {
  for (const char* bad : kInvisible) {
    EXPECT_EQ(S::stripUnsafe(std::string("ab") + bad + "c"), "abc") << "U+" << bad;
  }
  const std::pair<std::string, std::string> cases[] = {
      {std::string("a\0b", 3), "ab"},
      {"Grüße, 日本語, עברית, 👍🏽", "Grüße, 日本語, עברית, 👍🏽"},
      {"a\r\nb\rc\nd\te", "a\nb\nc\nd e"},
      {"\r\r\n", "\n\n"},
      {"a\xFFz", "a\uFFFDz"},
      {"\xC0\xAF", "\uFFFD\uFFFD"},            // overlong "/"
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"ok\xE2\x82", "ok\uFFFD"},              // cut at the end
  };
  for (const auto& [text, stripped] : cases)
    EXPECT_EQ(S::stripUnsafe(text), stripped) << text;
}

TEST(FeedbackSanitizerTitle, CollapsesBlanksAndLineBreaksToSingleSpaces) {
  EXPECT_EQ(S::title("  Sound   drops\tout\r\non  HDMI \n"), "Sound drops out on HDMI");
  EXPECT_EQ(S::title(" \t\r\n\u200B\u200C\u200D\uFEFF\u202E  "), "");
  // A no-break space is a blank at the ends but not a separator inside.
  EXPECT_EQ(S::title("\u00A0a\u00A0b\u00A0"), "a\u00A0b");
}

TEST(FeedbackSanitizerTitle, KeepsEightyCharactersLessBlanksAtTheCut) {
  EXPECT_EQ(S::title(repeat("x", 100)), repeat("x", 80));
  EXPECT_EQ(S::title(repeat("a", 79) + " " + repeat("b", 20)), repeat("a", 79));
  // An NBSP at position 80 is trimmed after the cut.
  EXPECT_EQ(S::title(repeat("a", 79) + "\u00A0" + "b"), repeat("a", 79));
}

TEST(FeedbackSanitizerTitle, CountsUserPerceivedCharactersNotBytes) {
  // e + combining acute is one character; the cut keeps the mark with its base.
  const std::string accented = "e\u0301";
  EXPECT_EQ(S::title(repeat("a", 79) + repeat(accented, 3)), repeat("a", 79) + accented);
  // Skin-tone emoji and flags are single characters of several scalars.
  EXPECT_EQ(S::title(repeat("👍🏽", 90)), repeat("👍🏽", 80));
  EXPECT_EQ(S::title(repeat("🇩🇪", 81)), repeat("🇩🇪", 80));
  EXPECT_EQ(S::title(repeat("日", 85)), repeat("日", 80));
}

TEST(FeedbackSanitizerTitle, ZeroWidthJoinerIsRemovedBeforeCounting) {
  // Without the joiner a family emoji is three characters, so only 80 of
  // them fit: the joiners never reach the service.
  const std::string family = "👩\u200D👧\u200D👦";
  const std::string title = S::title(repeat(family, 30));
  EXPECT_EQ(title.find("\u200D"), std::string::npos);
  EXPECT_EQ(title, repeat("👩👧👦", 26) + "👩👧");
}

// At most six lines and 300 characters (line feeds count; a cut just after
// one leaves no trailing break); blank lines (ideographic spaces too) are
// dropped at the ends and collapsed inside; line ends are trimmed,
// indentation kept; invisible characters go.
TEST(FeedbackSanitizerDescription, CleansLinesAndKeepsSixLinesOfThreeHundredCharacters) {
  const std::string accented = "o\u0308\u0304";  // o with two marks
  std::string tenLines;
  for (int i = 1; i <= 10; ++i)
    tenLines += "line " + std::to_string(i) + "\n";
  const std::pair<std::string, std::string> cases[] = {
      {tenLines, "line 1\nline 2\nline 3\nline 4\nline 5\nline 6"},
      {"\n \n\t\nfirst\n\n \n\u200B\nsecond\n\n\n", "first\n\nsecond"},
      {"a\n\u3000\n\u3000\nb", "a\n\nb"},
      {"steps:  \r\n  1. start \u3000\r  2. stop\t", "steps:\n  1. start\n  2. stop"},
      {"   only", "only"},
      {repeat("y", 400), repeat("y", 300)},
      {repeat("z", 150) + "\n" + repeat("z", 200), repeat("z", 150) + "\n" + repeat("z", 149)},
      {repeat("o", 299) + repeat(accented, 2), repeat("o", 299) + accented},
      {repeat("w", 299) + "\nmore", repeat("w", 299)},
      {"pay \u202Egnp.exe\u202C now", "pay gnp.exe now"}};
  for (const auto& [text, cleaned] : cases)
    EXPECT_EQ(S::description(text), cleaned) << text;
}

// Runs of line feeds shrink to two; terminal escapes and ill-formed bytes go.
TEST(FeedbackSanitizerLog, KeepsTheLogReadable) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\n\n\n\n\nb", "a\n\nb"},
      {"a\n\nb\nc", "a\n\nb\nc"},
      {"a\r\n\r\n\r\nb", "a\n\nb"},
      {"\n\n\n", "\n\n"},
      {"\x1B[31mred\x1B[0m \xFE", "[31mred[0m \uFFFD"},
      {"2026-03-01T14:05:09.123Z [WARN] x\u202Ey\n", "2026-03-01T14:05:09.123Z [WARN] xy\n"}};
  for (const auto& [text, cleaned] : cases)
    EXPECT_EQ(S::log(text), cleaned) << text;
}

TEST(FeedbackSanitizerTail, KeepsTheLastBytesCuttingOnlyBetweenScalars) {
  EXPECT_EQ(S::tailUTF8("0123456789", 10), "0123456789");
  EXPECT_EQ(S::tailUTF8("0123456789", 11), "0123456789");
  EXPECT_EQ(S::tailUTF8("0123456789", 4), "6789");
  EXPECT_EQ(S::tailUTF8("0123456789", 0), "");
  EXPECT_EQ(S::tailUTF8("0123456789", -3), "");
  EXPECT_EQ(S::tailUTF8("", 0), "");
  const std::string euros = "€€€";  // three bytes each
  EXPECT_EQ(S::tailUTF8(euros, 8), "€€");
  EXPECT_EQ(S::tailUTF8(euros, 7), "€€");
  EXPECT_EQ(S::tailUTF8(euros, 6), "€€");
  EXPECT_EQ(S::tailUTF8(euros, 2), "");
  EXPECT_EQ(S::tailUTF8("a😀", 4), "😀");
  EXPECT_EQ(S::tailUTF8("a😀", 3), "");
}

}  // namespace
}  // namespace choralink
