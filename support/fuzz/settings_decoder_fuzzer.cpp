// Feeds arbitrary bytes to the settings decoder. Beyond "no crash, no
// sanitizer report", it checks the decoder's promises: only
// SettingsDecodeError escapes, every number lands in its range, carried
// members never shadow ours, and whatever decodes re-encodes to a file that
// decodes to the same values and encodes to the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "support/settings_codec.h"

namespace {

using choralink::AppSettings;
using choralink::SettingsDecodeError;
namespace SettingsCodec = choralink::SettingsCodec;

void require(bool condition, const char* promise) {
  if (!condition) {
    std::fprintf(stderr, "broken promise: %s\n", promise);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  SettingsCodec::Decoded decoded;
  try {
    decoded = SettingsCodec::decode(bytes);
  } catch (const SettingsDecodeError&) {
    return 0;
  }

  const AppSettings& settings = decoded.settings;
  require(settings.schema >= AppSettings::currentSchema, "schema at least current");
  require(settings.masterVolume >= 0 && settings.masterVolume <= 100, "master volume 0-100");
  for (const auto& [uid, device] : settings.devices) {
    require(device.volume >= 0 && device.volume <= 100, "device volume 0-100");
    require(device.offsetMs >= 0 && device.offsetMs <= 500, "device offset 0-500");
  }
  require(decoded.extra.is_object(), "extra is an object");
  for (const char* ours :
       {"schema", "mode", "devices", "master_volume", "launch_at_login", "show_in_dock",
        "onboarding_done", "appearance", "auto_bt_compensation", "auto_bt_ms"}) {
    require(!decoded.extra.contains(ours), "extra holds no key of ours");
  }

  std::string encoded = SettingsCodec::encode(settings, decoded.extra);
  SettingsCodec::Decoded again;
  try {
    again = SettingsCodec::decode(encoded);
  } catch (const SettingsDecodeError& error) {
    std::fprintf(stderr, "own output unreadable: %s\n", error.what());
    std::abort();
  }
  require(again.settings == settings, "settings survive a save");
  require(again.extra == decoded.extra, "carried members survive a save");
  require(SettingsCodec::encode(again.settings, again.extra) == encoded, "encoding is stable");
  return 0;
}
