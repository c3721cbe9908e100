// Text cleaning and size bounds for everything a feedback report carries.
//
// A "character" here is a user-perceived character (an extended grapheme
// cluster, as ICU segments it); blanks are the Unicode space separators and
// the tab; line breaks are U+000A..U+000D, U+0085, U+2028 and U+2029.
//
// Input is taken as UTF-8 bytes; ill-formed sequences are replaced with
// U+FFFD by stripUnsafe (and so by every cleaner built on it), so the cleaned
// texts are always valid UTF-8 and serialise to JSON without failure.
// All functions are pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace choralink::FeedbackSanitizer {

inline constexpr std::size_t titleMaxChars = 80;
inline constexpr std::size_t descriptionMaxChars = 300;
inline constexpr std::size_t descriptionMaxLines = 6;

// Normalises line ends (CR LF and CR to LF), turns tabs into spaces and
// removes C0/C1 controls (except LF), zero-width and direction-changing
// characters, U+2028/U+2029 and the byte-order mark.
std::string stripUnsafe(std::string_view text);

// One line: stripped, line feeds as spaces, runs of spaces collapsed, at most
// 80 characters, no blanks at either end.
std::string title(std::string_view text);

// At most 6 lines and 300 characters; leading, trailing and repeated blank
// lines dropped, trailing white space of each line removed.
std::string description(std::string_view text);

// Stripped, with runs of three or more line feeds reduced to two.
std::string log(std::string_view text);

// The longest ending of `text` that starts on a scalar boundary and fits in
// `maxBytes` UTF-8 bytes; empty when maxBytes is below 1.
std::string tailUTF8(std::string_view text, std::int64_t maxBytes);

// The first `maxChars` user-perceived characters of `text`.
std::string prefixCharacters(std::string_view text, std::size_t maxChars);

}  // namespace choralink::FeedbackSanitizer
