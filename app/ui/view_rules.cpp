#include "app/ui/view_rules.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "app/model/platform_texts.h"
#include "support/app_info.h"

namespace choralink::ui {
namespace {

constexpr std::string_view kJoin = " · ";

std::string text(const PlatformTexts::Text& text) {
  return std::string(PlatformTexts::shown(text));
}

}  // namespace

DelayCommit commitDelay(std::string_view editText, std::int64_t current) {
  std::string digits;
  for (char c : editText) {
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    return {std::to_string(current), std::nullopt};
  }
  const std::int64_t clamped = std::clamp(number, kMinDelayMs, kMaxDelayMs);
  return {std::to_string(clamped),
          clamped == current ? std::nullopt : std::optional<std::int64_t>(clamped)};
}

int meterSegmentCount(double width, double segmentWidth) {
  const double count = std::floor((width + kMeterGap) / (segmentWidth + kMeterGap));
  return std::max(1, static_cast<int>(std::clamp(count, 0.0, 10'000.0)));
}

double meterSegmentWidth(double width, int count) {
  return (width - (count - 1) * kMeterGap) / count;
}

int meterLitSegments(float level, int count) {
  // Levels are read to a tenth of a dB: 0.0316 (−30.006 dB) is −30 dB and
  // lights the segments of −30 dB, not one fewer.
  const double dB = 20.0 * std::log10(std::max(static_cast<double>(level), 0.00001));
  const double tenths = std::round(dB * 10.0) / 10.0;
  const double lit = std::floor((tenths + 50.0) / 50.0 * count);
  return static_cast<int>(std::clamp(lit, 0.0, static_cast<double>(count)));
}

SegmentTone meterSegmentTone(int index, int count, int lit, bool dimmed) {
  if (index >= lit) return dimmed ? SegmentTone::unlitDimmed : SegmentTone::unlit;
  const double position = static_cast<double>(index) / (count < 2 ? 1 : count - 1);
  if (position < 0.5) return SegmentTone::teal;
  if (position <= 0.92) return SegmentTone::mint;
  return SegmentTone::orange;
}

std::string rateLabel(double rateHz) {
  const double kHz = rateHz / 1000.0;
  char text[32];
  if (std::floor(kHz) == kHz) {
    std::snprintf(text, sizeof text, "%lld kHz", static_cast<long long>(kHz));
  } else {
    std::snprintf(text, sizeof text, "%.1f kHz", kHz);
  }
  return text;
}

std::string detailsLine(const AudioDeviceInfo& device, bool direct) {
  if (device.supportStatus != SupportStatus::supported) return "AirPlay isn't supported yet";
  std::string line = rateLabel(device.nominalRate);
  line += kJoin;
  line += label(device.transport);
  if (device.isDefaultOutput) {
    line += kJoin;
    line += direct ? "Playing directly" : "System default";
  }
  return line;
}

DeviceCardState deviceCardState(const AppModel& model, const AudioDeviceInfo& device) {
  const DeviceSettings stored = model.deviceSettings(device.uid);
  DeviceCardState state;
  state.supported = device.supportStatus == SupportStatus::supported;
  // The model's default output is the first device marked as one; a second
  // marked device is not the one that plays directly.
  state.direct =
      model.settings().mode == BroadcastMode::mirror && model.defaultOutputUID() == device.uid;
  state.live = stored.enabled && state.supported;
  state.active = model.activeUIDs().count(device.uid) > 0;
  state.showSwitch = state.supported && !state.direct;
  state.details = detailsLine(device, state.direct);
  if (state.active) {
    auto level = model.levels().find(device.uid);
    state.meterLevel = level == model.levels().end() ? 0.0f : level->second;
  }
  state.volume = stored.volume;
  state.offsetMs = stored.offsetMs;
  state.volumeSymbol = stored.volume == 0 ? "speaker.slash.fill" : "speaker.wave.1.fill";
  if (auto problem = model.deviceProblems().find(device.uid);
      problem != model.deviceProblems().end()) {
    state.problem = problem->second;
  }
  return state;
}

BannerFacts bannerFacts(const AppModel& model) {
  BannerFacts facts;
  facts.captureBlocked = model.captureBlocked();
  facts.captureSilent = model.captureSilent();
  facts.isSharing = model.isSharing();
  facts.running = model.engineState().is(EngineState::Kind::running);
  facts.enabledBluetoothCount = model.enabledBluetoothCount();
  facts.mirrorMode = model.settings().mode == BroadcastMode::mirror;
  for (const AudioDeviceInfo& device : model.devices()) {
    if (!device.isDefaultOutput) continue;
    if (isBluetooth(device.transport)) facts.bluetoothDefaultOutput = device.name;
    break;
  }
  facts.privacySettingsURL = std::string(AppModel::privacySettingsURL());
  return facts;
}

std::vector<BannerContent> chooseBanners(const BannerFacts& facts) {
  std::vector<BannerContent> banners;
  const bool privacyLink = !facts.privacySettingsURL.empty();
  auto privacyAction = [&](BannerContent& banner) {
    if (!privacyLink) return;
    banner.actionTitle = text(PlatformTexts::kOpenPrivacySettings);
    banner.action = BannerAction::openPrivacySettings;
  };
  if (facts.captureBlocked && !facts.isSharing) {
    BannerContent banner{BannerKind::captureBlocked,
                         "lock.shield",
                         text(PlatformTexts::kCaptureBlockedBannerTitle),
                         text(PlatformTexts::kCaptureBlockedBannerMessage),
                         "",
                         BannerAction::none};
    privacyAction(banner);
    banners.push_back(std::move(banner));
  }
  if (facts.captureSilent && facts.running) {
    BannerContent banner{BannerKind::captureSilent,
                         "speaker.slash",
                         "No sound is reaching Choralink",
                         text(PlatformTexts::kCaptureSilentBannerMessage),
                         "",
                         BannerAction::none};
    privacyAction(banner);
    banners.push_back(std::move(banner));
  }
  if (facts.enabledBluetoothCount >= 3) {
    banners.push_back({BannerKind::manyBluetooth, "info.circle",
                       std::to_string(facts.enabledBluetoothCount) + " Bluetooth devices",
                       text(PlatformTexts::kManyBluetoothBannerMessage), "", BannerAction::none});
  }
  if (facts.mirrorMode && facts.bluetoothDefaultOutput) {
    banners.push_back({BannerKind::mirrorBluetoothDefault, "exclamationmark.triangle",
                       *facts.bluetoothDefaultOutput + " is playing directly and it's Bluetooth",
                       text(PlatformTexts::kMirrorBluetoothBannerMessage), "Open Sync",
                       BannerAction::openSync});
  }
  return banners;
}

std::string deviceCount(int count) {
  return std::to_string(count) + (count == 1 ? " device" : " devices");
}

std::string broadcastValue(bool isSharing, int sharingCount) {
  return isSharing ? deviceCount(sharingCount) : "Off";
}

bool syncTestEnabled(const EngineState& state) {
  return state.is(EngineState::Kind::running);
}

bool broadcastButtonEnabled(bool isSharing, int selectedCount) {
  return isSharing || selectedCount > 0;
}

bool checkForUpdatesEnabled(bool hasController, bool canCheck) {
  return !hasController || canCheck;
}

bool showEmptyDevicesHint(const AppModel& model) {
  return model.supportedDevices().size() <= 1;
}

std::string howToUseURL() {
  return "https://" + std::string(AppInfo::serviceHost()) + "/learning";
}

std::string homePageURL() {
  return "https://" + std::string(AppInfo::serviceHost()) + "/";
}

}  // namespace choralink::ui
