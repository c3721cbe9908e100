// The rules behind what the main window shows, as plain functions of plain
// values: the delay field's commit, the level meter's segments, the labels
// of a device card, which banners show, and when buttons are enabled. The
// widgets only apply them. No Qt here, so each rule is testable as a table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/model/app_model.h"

namespace choralink::ui {

// ---- DelayField ----

inline constexpr std::int64_t kMinDelayMs = 0;
inline constexpr std::int64_t kMaxDelayMs = AppModel::kMaxOffsetMs;
inline constexpr std::int64_t kDelayStepMs = 5;

struct DelayCommit {
  std::string text;                   // what the field shows afterwards
  std::optional<std::int64_t> value;  // the change to report, if any
};

// Commit of a delay field's edit text: its digits, read as a number clamped
// into 0…500; an edit without digits (or too long to be a number) shows
// `current` again. Reports a change only when the number differs.
DelayCommit commitDelay(std::string_view editText, std::int64_t current);

// ---- LevelMeter ----

inline constexpr double kMeterGap = 4;

enum class SegmentTone { teal, mint, orange, unlit, unlitDimmed };

// Segments that fit `width` at about `segmentWidth` each with 4-point gaps;
// at least one.
int meterSegmentCount(double width, double segmentWidth);
// The width of each of `count` segments spread over `width`.
double meterSegmentWidth(double width, int count);
// How many of `count` segments a level (linear, 0…1) lights: none at
// −50 dBFS and below, all at 0 dBFS, linear in dB between.
int meterLitSegments(float level, int count);
// Colour of segment `index` of `count` when `lit` of them are lit.
SegmentTone meterSegmentTone(int index, int count, int lit, bool dimmed);

// ---- Device card ----

// "48 kHz", "44.1 kHz".
std::string rateLabel(double rateHz);

// What one device's card shows, from the model.
struct DeviceCardState {
  bool supported = false;  // can play at all
  bool direct = false;     // mirror mode's default output: plays on its own
  bool live = false;       // switched on and supported
  bool active = false;     // playing in the running broadcast
  bool showSwitch = false;
  std::string details;        // the line under the name
  float meterLevel = 0;       // 0 unless active
  std::int64_t volume = 100;  // percent
  std::int64_t offsetMs = 0;
  std::string volumeSymbol;  // "speaker.slash.fill" at 0, else "speaker.wave.1.fill"
  std::optional<std::string> problem;
};
DeviceCardState deviceCardState(const AppModel& model, const AudioDeviceInfo& device);

// The line under a device's name: "AirPlay isn't supported yet", or rate,
// transport and, for the default output, how it plays, joined by " · ".
std::string detailsLine(const AudioDeviceInfo& device, bool direct);

// ---- Banners ----

enum class BannerKind { captureBlocked, captureSilent, manyBluetooth, mirrorBluetoothDefault };

enum class BannerAction { none, openPrivacySettings, openSync };

struct BannerContent {
  BannerKind kind;
  std::string symbol;
  std::string title;
  std::string message;
  std::string actionTitle;  // empty: no button
  BannerAction action = BannerAction::none;
};

// The facts the banners depend on.
struct BannerFacts {
  bool captureBlocked = false;
  bool captureSilent = false;
  bool isSharing = false;
  bool running = false;
  int enabledBluetoothCount = 0;
  bool mirrorMode = false;
  // The default output's name when it is Bluetooth; none otherwise.
  std::optional<std::string> bluetoothDefaultOutput;
  // The privacy pane's link; empty where the platform has none (no button).
  std::string privacySettingsURL;
};
BannerFacts bannerFacts(const AppModel& model);
// The banners to show, in their order.
std::vector<BannerContent> chooseBanners(const BannerFacts& facts);

// ---- Counts, labels, enabling ----

// "1 device", "3 devices".
std::string deviceCount(int count);
// The sidebar's broadcast card: "Off", or the devices playing.
std::string broadcastValue(bool isSharing, int sharingCount);
// "Play Sync Test" works only while a broadcast runs.
bool syncTestEnabled(const EngineState& state);
// The main button always allows stopping, and starting once a device is on.
bool broadcastButtonEnabled(bool isSharing, int selectedCount);
// "Check for Updates…": disabled only while a working updater says it
// cannot check now.
bool checkForUpdatesEnabled(bool hasController, bool canCheck);
// The empty-devices hint shows while there is at most one device to play on.
bool showEmptyDevicesHint(const AppModel& model);
// The product's web guide ("https://<service host>/learning").
std::string howToUseURL();
// The product's home page ("https://<service host>/").
std::string homePageURL();

}  // namespace choralink::ui
