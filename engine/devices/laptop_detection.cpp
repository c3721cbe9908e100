#include "engine/devices/laptop_detection.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <iterator>
#include <string>

namespace choralink {

namespace {

constexpr std::array<int, 6> kLaptopChassisTypes{8, 9, 10, 14, 31, 32};

// sysfs attributes are a line of text; anything longer is not ours.
constexpr std::size_t kMaxChassisText = 64;

}  // namespace

bool isLaptopChassisType(int type) {
  return std::find(kLaptopChassisTypes.begin(), kLaptopChassisTypes.end(), type) !=
         kLaptopChassisTypes.end();
}

std::optional<int> readChassisType(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  text.resize(kMaxChassisText + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxChassisText) return std::nullopt;

  const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  const auto first = std::find_if_not(text.begin(), text.end(), isSpace);
  const auto last = std::find_if_not(text.rbegin(), std::make_reverse_iterator(first), isSpace);
  const std::string digits(first, last.base());
  // Chassis types fit one byte; a few digits at most.
  if (digits.empty() || digits.size() > 3) return std::nullopt;
  if (!std::all_of(digits.begin(), digits.end(),
                   [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
    return std::nullopt;
  }
  return std::stoi(digits);
}

bool isLaptopChassis(const std::filesystem::path& file) {
  const auto type = readChassisType(file);
  return type && isLaptopChassisType(*type);
}

bool isLaptop() {
  static const bool laptop = isLaptopChassis(kDMIChassisTypeFile);
  return laptop;
}

}  // namespace choralink
