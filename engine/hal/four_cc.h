// Four-character codes: the platform names selectors, scopes, transports and
// status codes by four ASCII characters packed most significant byte first.
#pragma once

#include <cstdint>
#include <string>

namespace choralink {

// The code of four characters, e.g. fourCharCode("nsrt") == 1853059700.
constexpr std::uint32_t fourCharCode(const char (&text)[5]) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(text[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(text[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(text[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[3]));
}

// Formats a status or selector for people: 'nsrt' (1853059700) when all four
// bytes are printable ASCII (32..126), otherwise the signed decimal alone
// (-1, -50, 1).
std::string fourCC(std::int32_t value);

// The same for an unsigned selector or scope, read as its int32 bits.
inline std::string fourCC(std::uint32_t value) { return fourCC(static_cast<std::int32_t>(value)); }

}  // namespace choralink
