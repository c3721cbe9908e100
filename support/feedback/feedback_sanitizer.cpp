#include "support/feedback/feedback_sanitizer.h"

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>
#include <vector>

namespace choralink::FeedbackSanitizer {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes UTF-8, replacing each maximal ill-formed subsequence with U+FFFD.
std::u32string decode(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t i = 0;
  while (i < length) {
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    out.push_back(c < 0 ? kReplacement : static_cast<char32_t>(c));
  }
  return out;
}

std::string encode(std::u32string_view scalars) {
  std::string out;
  out.reserve(scalars.size());
  for (char32_t c : scalars) {
    std::uint8_t buffer[U8_MAX_LENGTH];
    std::int32_t n = 0;
    U8_APPEND_UNSAFE(buffer, n, static_cast<UChar32>(c));
    out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
  }
  return out;
}

bool isUnsafe(char32_t c) {
  return (c <= 0x1F && c != U'\n') || (c >= 0x7F && c <= 0x9F) || (c >= 0x200B && c <= 0x200F) ||
         c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

bool isBlank(char32_t c) {
  return c == U'\t' || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR;
}

bool isLineBreak(char32_t c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhiteSpace(char32_t c) {
  return u_isUWhiteSpace(static_cast<UChar32>(c));
}

template <typename Pred>
std::u32string_view trimEnd(std::u32string_view s, Pred pred) {
  while (!s.empty() && pred(s.back()))
    s.remove_suffix(1);
  return s;
}

template <typename Pred>
std::u32string_view trim(std::u32string_view s, Pred pred) {
  while (!s.empty() && pred(s.front()))
    s.remove_prefix(1);
  return trimEnd(s, pred);
}

std::u32string stripScalars(std::string_view text) {
  const std::u32string in = decode(text);
  std::u32string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    char32_t c = in[i];
    if (c == U'\r') {
      if (i + 1 < in.size() && in[i + 1] == U'\n') ++i;
      c = U'\n';
    } else if (c == U'\t') {
      c = U' ';
    }
    if (!isUnsafe(c)) out.push_back(c);
  }
  return out;
}

struct BreakIteratorCloser {
  void operator()(UBreakIterator* it) const { ubrk_close(it); }
};
struct UTextCloser {
  void operator()(UText* t) const { utext_close(t); }
};

}  // namespace

std::string stripUnsafe(std::string_view text) {
  return encode(stripScalars(text));
}

std::string prefixCharacters(std::string_view text, std::size_t maxChars) {
  if (maxChars == 0) return {};
  // A character never takes fewer bytes than it has scalars, so short texts
  // need no segmentation.
  if (text.size() <= maxChars) return std::string(text);

  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, UTextCloser> utext(
      utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status));
  std::unique_ptr<UBreakIterator, BreakIteratorCloser> it(
      ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
  if (U_SUCCESS(status)) ubrk_setUText(it.get(), utext.get(), &status);
  if (U_FAILURE(status)) {
    // Without segmentation data, fall back to whole scalars so that the bound
    // still holds; this only loses combining marks at the cut.
    std::u32string scalars = decode(text);
    if (scalars.size() > maxChars) scalars.resize(maxChars);
    return encode(scalars);
  }
  // Break positions of a UTF-8 UText are byte offsets into `text`.
  std::int32_t end = 0;
  for (std::size_t n = 0; n < maxChars; ++n) {
    const std::int32_t next = ubrk_next(it.get());
    if (next == UBRK_DONE) return std::string(text);
    end = next;
  }
  return std::string(text.substr(0, static_cast<std::size_t>(end)));
}

std::string title(std::string_view text) {
  std::u32string s = stripScalars(text);
  for (char32_t& c : s) {
    if (c == U'\n') c = U' ';
  }
  std::u32string joined;
  joined.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == U' ')
      ++i;
    const std::size_t start = i;
    while (i < s.size() && s[i] != U' ')
      ++i;
    if (i > start) {
      if (!joined.empty()) joined.push_back(U' ');
      joined.append(s, start, i - start);
    }
  }
  const std::u32string cut = decode(prefixCharacters(encode(joined), titleMaxChars));
  return encode(trim(cut, isBlank));
}

std::string description(std::string_view text) {
  const std::u32string s = stripScalars(text);
  std::vector<std::u32string_view> lines;
  const std::u32string_view all(s);
  std::size_t start = 0;
  while (true) {
    const std::size_t lf = all.find(U'\n', start);
    const std::u32string_view raw =
        all.substr(start, lf == std::u32string_view::npos ? std::u32string_view::npos : lf - start);
    const std::u32string_view line = trimEnd(raw, isWhiteSpace);
    if (!trim(line, isBlank).empty()) {
      lines.push_back(line);
    } else if (!lines.empty() && !lines.back().empty()) {
      lines.push_back({});
    }
    if (lf == std::u32string_view::npos) break;
    start = lf + 1;
  }
  while (!lines.empty() && lines.back().empty())
    lines.pop_back();
  if (lines.size() > descriptionMaxLines) lines.resize(descriptionMaxLines);

  std::u32string joined;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) joined.push_back(U'\n');
    joined.append(lines[i]);
  }
  const std::u32string cut = decode(prefixCharacters(encode(joined), descriptionMaxChars));
  return encode(trim(cut, [](char32_t c) { return isBlank(c) || isLineBreak(c); }));
}

std::string log(std::string_view text) {
  const std::u32string s = stripScalars(text);
  std::u32string out;
  out.reserve(s.size());
  std::size_t feeds = 0;
  for (char32_t c : s) {
    feeds = c == U'\n' ? feeds + 1 : 0;
    if (feeds <= 2) out.push_back(c);
  }
  return encode(out);
}

std::string tailUTF8(std::string_view text, std::int64_t maxBytes) {
  if (maxBytes >= 0 && text.size() <= static_cast<std::uint64_t>(maxBytes)) {
    return std::string(text);
  }
  if (maxBytes < 1) return {};
  std::size_t start = text.size() - static_cast<std::size_t>(maxBytes);
  // Continuation bytes (10xxxxxx) never begin a scalar.
  while (start < text.size() && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80)
    ++start;
  return std::string(text.substr(start));
}

}  // namespace choralink::FeedbackSanitizer
