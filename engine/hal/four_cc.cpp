#include "engine/hal/four_cc.h"

namespace choralink {

std::string fourCC(std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  std::string chars;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto byte = static_cast<unsigned char>((bits >> shift) & 0xffu);
    if (byte < 32 || byte > 126) return std::to_string(value);
    chars.push_back(static_cast<char>(byte));
  }
  return "'" + chars + "' (" + std::to_string(value) + ")";
}

}  // namespace choralink
