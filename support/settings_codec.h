// Turns settings.json's bytes into AppSettings and back. Reading is lenient
// key by key: a member that is missing, null or of the wrong type takes its
// default and never affects another; numbers are clamped into range. Only
// bytes that are not JSON, or whose top level is not an object, fail.
// Stateless; safe to call from any thread.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "support/settings.h"

namespace choralink {

// The bytes cannot be read as a settings file at all.
class SettingsDecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace SettingsCodec {

// Deeper nesting than this anywhere in the file counts as unreadable: the
// writer and comparisons of JSON values recurse, and a hostile file must not
// be able to exhaust the stack.
inline constexpr std::size_t maxNestingDepth = 512;

struct Decoded {
  AppSettings settings;
  // The top-level members that are neither ours nor retired, exactly as
  // parsed; always a JSON object.
  nlohmann::json extra;
};

// Throws SettingsDecodeError with a readable description when the bytes are
// not JSON or the top level is not an object. A number beyond the range of a
// double (1e400) is refused by the JSON library and makes the text unreadable
// too; one beyond 64 signed bits only makes that member the wrong type.
Decoded decode(std::string_view bytes);

// The file's bytes: the eight keys of `settings` as they are (no clamping on
// writing), plus each member of `extra` whose key is neither one of ours nor
// retired, pretty-printed with every object's keys sorted. Text that is not
// valid UTF-8 (a device name from a misbehaving driver) is written with
// U+FFFD in place of the invalid bytes rather than making the file
// unwritable.
std::string encode(const AppSettings& settings,
                   const nlohmann::json& extra = nlohmann::json::object());

}  // namespace SettingsCodec
}  // namespace choralink
