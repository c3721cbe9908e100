#include "support/settings_codec.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace choralink::SettingsCodec {
namespace {

using nlohmann::json;

// The top-level keys AppSettings reads and writes itself.
constexpr std::array<std::string_view, 8> kKnownKeys{
    "schema",          "mode",         "devices",         "master_volume",
    "launch_at_login", "show_in_dock", "onboarding_done", "appearance"};

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& keys, std::string_view key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

bool isOurs(std::string_view key) {
  return contains(kKnownKeys, key) || contains(AppSettings::retiredKeys, key);
}

// The exact value of a JSON number's text when it is a whole number that fits
// in 64 signed bits ("2.0", "1e2", "-0.0"), worked out from the digits rather
// than from a double, which would round "9223372036854775807.0" up to 2^63
// and "-9223372036854775809" into range.
std::optional<std::int64_t> exactInteger(std::string_view text) {
  std::size_t i = 0;
  auto isDigit = [&](std::size_t at) {
    return at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]));
  };
  bool negative = i < text.size() && text[i] == '-';
  if (negative) ++i;
  std::string digits;
  while (isDigit(i))
    digits.push_back(text[i++]);
  auto digitsBeforePoint = static_cast<std::int64_t>(digits.size());
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (isDigit(i))
      digits.push_back(text[i++]);
  }
  std::int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negativeExponent = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    while (isDigit(i)) {
      // Anything past a few hundred decides the answer; saturate well before
      // the arithmetic could overflow.
      exponent = std::min<std::int64_t>(exponent * 10 + (text[i++] - '0'), 1'000'000'000);
    }
    if (negativeExponent) exponent = -exponent;
  }
  if (i != text.size()) return std::nullopt;

  std::size_t firstSignificant = digits.find_first_not_of('0');
  if (firstSignificant == std::string::npos) return 0;
  digits.erase(0, firstSignificant);
  digitsBeforePoint -= static_cast<std::int64_t>(firstSignificant);
  digits.erase(digits.find_last_not_of('0') + 1);

  const std::int64_t integerDigits = digitsBeforePoint + exponent;
  if (integerDigits < static_cast<std::int64_t>(digits.size())) return std::nullopt;  // fraction
  if (integerDigits > std::numeric_limits<std::int64_t>::digits10 + 1) return std::nullopt;

  // At most 19 digits, which always fit in 64 unsigned bits.
  std::uint64_t magnitude = 0;
  for (char digit : digits)
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(digit - '0');
  for (auto n = static_cast<std::int64_t>(digits.size()); n < integerDigits; ++n) {
    if (magnitude > std::numeric_limits<std::uint64_t>::max() / 10) return std::nullopt;
    magnitude *= 10;
  }
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!negative) {
    if (magnitude > kMax) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > kMax + 1) return std::nullopt;
  if (magnitude == kMax + 1) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(magnitude);
}

// Builds the JSON value from the parser's events, so that nesting is bounded
// and, for reading our own keys, each number's own text decides whether it is
// a whole number.
class DomBuilder {
 public:
  explicit DomBuilder(bool wholeNumbersAsIntegers)
      : wholeNumbersAsIntegers_(wholeNumbersAsIntegers) {}

  bool null() { return add(json(nullptr)) != nullptr; }
  bool boolean(bool value) { return add(json(value)) != nullptr; }
  bool number_integer(json::number_integer_t value) { return add(json(value)) != nullptr; }
  bool number_unsigned(json::number_unsigned_t value) { return add(json(value)) != nullptr; }
  bool number_float(json::number_float_t value, const json::string_t& text) {
    if (wholeNumbersAsIntegers_) {
      if (std::optional<std::int64_t> whole = exactInteger(text)) {
        return add(json(*whole)) != nullptr;
      }
    }
    return add(json(value)) != nullptr;
  }
  bool string(json::string_t& value) { return add(json(std::move(value))) != nullptr; }
  bool binary(json::binary_t&) { return fail("binary values are not JSON text"); }
  bool start_object(std::size_t) { return open(json::object()); }
  bool key(json::string_t& name) {
    key_ = std::move(name);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(json::array()); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const json::exception& error) {
    return fail(error.what());
  }

  json& root() { return root_; }
  const std::string& error() const { return error_; }

 private:
  json* add(json value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    json& parent = *open_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    // A repeated key keeps its last value, as the library's own parser does.
    json& slot = parent[key_];
    slot = std::move(value);
    return &slot;
  }
  bool open(json container) {
    if (open_.size() >= maxNestingDepth) {
      return fail("nesting deeper than " + std::to_string(maxNestingDepth) + " levels");
    }
    open_.push_back(add(std::move(container)));
    return true;
  }
  bool close() {
    open_.pop_back();
    return true;
  }
  bool fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    return false;
  }

  const bool wholeNumbersAsIntegers_;
  json root_;
  std::vector<json*> open_;  // innermost last; never invalidated while open
  std::string key_;
  std::string error_;
};

json parseObject(std::string_view bytes, bool wholeNumbersAsIntegers) {
  DomBuilder builder(wholeNumbersAsIntegers);
  bool parsed = json::sax_parse(bytes.begin(), bytes.end(), &builder, json::input_format_t::json,
                                /*strict=*/true, /*ignore_comments=*/false);
  if (!parsed) {
    throw SettingsDecodeError(builder.error().empty() ? "unreadable JSON" : builder.error());
  }
  if (!builder.root().is_object()) {
    throw SettingsDecodeError(std::string("the top level is ") + builder.root().type_name() +
                              ", not an object");
  }
  return std::move(builder.root());
}

const json* member(const json& object, const char* key) {
  auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

// Fractions and numbers beyond 64 signed bits were left as floating point by
// the builder, so they count as the wrong type here.
std::int64_t integerOr(const json& object, const char* key, std::int64_t fallback) {
  const json* value = member(object, key);
  if (value == nullptr) return fallback;
  if (value->type() == json::value_t::number_integer) return value->get<std::int64_t>();
  if (value->type() == json::value_t::number_unsigned) {
    auto unsignedValue = value->get<std::uint64_t>();
    if (unsignedValue <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(unsignedValue);
    }
  }
  return fallback;
}

bool boolOr(const json& object, const char* key, bool fallback) {
  const json* value = member(object, key);
  return value != nullptr && value->is_boolean() ? value->get<bool>() : fallback;
}

const std::string* stringMember(const json& object, const char* key) {
  const json* value = member(object, key);
  return value != nullptr && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

DeviceSettings readDevice(const json& object) {
  const std::string* lastName = stringMember(object, "last_name");
  return DeviceSettings(boolOr(object, "enabled", false),
                        std::clamp<std::int64_t>(integerOr(object, "volume", 100), 0, 100),
                        std::clamp<std::int64_t>(integerOr(object, "offset_ms", 0), 0, 500),
                        boolOr(object, "offset_user_set", false),
                        lastName != nullptr ? *lastName : std::string());
}

AppSettings readSettings(const json& root) {
  AppSettings settings;
  settings.schema =
      std::max(integerOr(root, "schema", AppSettings::currentSchema), AppSettings::currentSchema);
  if (const std::string* mode = stringMember(root, "mode")) {
    settings.mode = broadcastModeFromRaw(*mode).value_or(BroadcastMode::synced);
  }
  settings.masterVolume = std::clamp<std::int64_t>(integerOr(root, "master_volume", 100), 0, 100);
  settings.launchAtLogin = boolOr(root, "launch_at_login", false);
  settings.showInDock = boolOr(root, "show_in_dock", true);
  settings.onboardingDone = boolOr(root, "onboarding_done", false);
  if (const std::string* appearance = stringMember(root, "appearance")) {
    settings.appearance = appearanceModeFromRaw(*appearance).value_or(AppearanceMode::system);
  }
  // One entry that is not an object empties the whole map: a half-understood
  // device list is worse than none.
  if (const json* devices = member(root, "devices"); devices != nullptr && devices->is_object()) {
    std::map<std::string, DeviceSettings> read;
    bool wellFormed = true;
    for (const auto& [uid, entry] : devices->items()) {
      if (!entry.is_object()) {
        wellFormed = false;
        break;
      }
      read.insert_or_assign(uid, readDevice(entry));
    }
    if (wellFormed) settings.devices = std::move(read);
  }
  return settings;
}

}  // namespace

Decoded decode(std::string_view bytes) {
  Decoded decoded{readSettings(parseObject(bytes, /*wholeNumbersAsIntegers=*/true)),
                  json::object()};
  // The members we carry through are kept exactly as the library parses them.
  json verbatim = parseObject(bytes, /*wholeNumbersAsIntegers=*/false);
  for (auto& [key, value] : verbatim.items()) {
    if (!isOurs(key)) decoded.extra[key] = std::move(value);
  }
  return decoded;
}

std::string encode(const AppSettings& settings, const json& extra) {
  json devices = json::object();
  for (const auto& [uid, device] : settings.devices) {
    devices[uid] = {{"enabled", device.enabled},
                    {"volume", device.volume},
                    {"offset_ms", device.offsetMs},
                    {"offset_user_set", device.offsetUserSet},
                    {"last_name", device.lastName}};
  }
  json root = {{"schema", settings.schema},
               {"mode", std::string(rawValue(settings.mode))},
               {"devices", std::move(devices)},
               {"master_volume", settings.masterVolume},
               {"launch_at_login", settings.launchAtLogin},
               {"show_in_dock", settings.showInDock},
               {"onboarding_done", settings.onboardingDone},
               {"appearance", std::string(rawValue(settings.appearance))}};
  if (extra.is_object()) {
    for (const auto& [key, value] : extra.items()) {
      if (!isOurs(key)) root[key] = value;
    }
  }
  // nlohmann::json keeps object members in a std::map, so keys come out sorted.
  return root.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace choralink::SettingsCodec
