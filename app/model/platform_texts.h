// The user-facing texts that name the original platform's facilities (its
// settings panes, "your Mac"), each beside the wording this Linux build
// shows. Every other text of the application is used exactly as written;
// only the texts in this table change, and only here. Views of the user
// interface add their own entries to this table.
#pragma once

#include <array>
#include <string_view>

namespace choralink::PlatformTexts {

struct Text {
  std::string_view original;  // as first written for the original platform
  std::string_view onLinux;   // what this build shows
};

// The text this build shows.
constexpr std::string_view shown(const Text& text) {
  return text.onLinux;
}

// Status line after capture was blocked.
inline constexpr Text kCaptureBlockedStatus{
    "Allow Choralink in System Settings → Privacy & Security → Screen & System Audio Recording",
    "Allow Choralink to record system audio in your desktop's privacy settings"};

// Status line while off with no device chosen.
inline constexpr Text kChooseDevicesStatus{"Choose where to play your Mac's sound",
                                           "Choose where to play your computer's sound"};

// Status line while the captured sound stays silent.
inline constexpr Text kCaptureSilentStatus{
    "No sound yet — play something, or check System Audio Recording permission",
    "No sound yet — play something, or check that Choralink may record system audio"};

// The deep link to the audio-capture privacy pane. Linux desktops have no
// such pane to link to, so this build has none (empty): views show no
// button for it.
inline constexpr Text kPrivacySettingsURL{
    "x-apple.systempreferences:com.apple.preference.security?Privacy_AudioCapture", ""};

// The middle of the log's start line, between the version and the system's
// version: "Choralink 1.2.0 starting on Linux 6.1.0 (x86_64)".
inline constexpr Text kStartLineSystem{" starting on macOS ", " starting on Linux "};

// ---- The main window and its panes ----

inline constexpr Text kEmptyDevicesMessage{
    "Connect headphones, a Bluetooth speaker or a TV to share your Mac's sound.",
    "Connect headphones, a Bluetooth speaker or a TV to share your computer's sound."};

inline constexpr Text kCaptureBlockedBannerTitle{"macOS is blocking audio capture",
                                                 "The system is blocking audio capture"};

inline constexpr Text kCaptureBlockedBannerMessage{
    "Turn on Choralink in System Settings → Privacy & Security → Screen & System Audio Recording "
    "(System Audio Recording Only), then start again.",
    "Allow Choralink to record system audio in your desktop's privacy settings, then start "
    "again."};

inline constexpr Text kCaptureSilentBannerMessage{
    "Play something. If you still hear nothing, allow Choralink in System Settings → Privacy & "
    "Security → Screen & System Audio Recording.",
    "Play something. If you still hear nothing, allow Choralink to record system audio in your "
    "desktop's privacy settings."};

// The banners' button to the privacy pane (shown only where there is a link
// to one, see kPrivacySettingsURL).
inline constexpr Text kOpenPrivacySettings{"Open System Settings", "Open Privacy Settings"};

inline constexpr Text kManyBluetoothBannerMessage{
    "Some Macs struggle with more than two or three. Move them closer if audio cuts out.",
    "Some computers struggle with more than two or three. Move them closer if audio cuts out."};

inline constexpr Text kMirrorBluetoothBannerMessage{
    "In “Keep Mac speakers playing directly” mode the other devices can't wait for it, so "
    "they'll play ahead. Turn that option off in Sync for perfect alignment.",
    "In “Keep computer speakers playing directly” mode the other devices can't wait for it, so "
    "they'll play ahead. Turn that option off in Sync for perfect alignment."};

inline constexpr Text kSyncedModeDetail{
    "Choralink drives every device, including your Mac's speakers, from one clock. Best "
    "alignment.",
    "Choralink drives every device, including your computer's speakers, from one clock. Best "
    "alignment."};

inline constexpr Text kMirrorModeTitle{"Keep Mac playing directly",
                                       "Keep computer playing directly"};

inline constexpr Text kMirrorModeSwitch{"Keep Mac speakers playing directly",
                                        "Keep computer speakers playing directly"};

inline constexpr Text kShowInDock{"Show in Dock", "Show in taskbar"};

inline constexpr Text kAboutTitle{"Choralink for Mac", "Choralink for Linux"};

inline constexpr Text kPrivacyOpening{
    "Privacy: audio is processed only on this Mac and never sent anywhere.",
    "Privacy: audio is processed only on this computer and never sent anywhere."};

// Logged at start by a build that cannot update itself. Linux has no signed
// app bundle; the counterpart is our own signed package install.
inline constexpr Text kUpdatesDisabledLine{
    "Updates: not running from a signed app bundle; Sparkle disabled",
    "Updates: not running from a signed Choralink package; updater disabled"};

// The start of the "Updates aren't available in this build" alert's text,
// followed by the service's domain and ".".
inline constexpr Text kUpdatesDownloadHint{"Download the latest Choralink for Mac from ",
                                           "Download the latest Choralink for Linux from "};

// Every entry, for review and tests.
inline constexpr std::array<Text, 20> kAll{kCaptureBlockedStatus,
                                           kChooseDevicesStatus,
                                           kCaptureSilentStatus,
                                           kPrivacySettingsURL,
                                           kStartLineSystem,
                                           kEmptyDevicesMessage,
                                           kCaptureBlockedBannerTitle,
                                           kCaptureBlockedBannerMessage,
                                           kCaptureSilentBannerMessage,
                                           kOpenPrivacySettings,
                                           kManyBluetoothBannerMessage,
                                           kMirrorBluetoothBannerMessage,
                                           kSyncedModeDetail,
                                           kMirrorModeTitle,
                                           kMirrorModeSwitch,
                                           kShowInDock,
                                           kAboutTitle,
                                           kPrivacyOpening,
                                           kUpdatesDisabledLine,
                                           kUpdatesDownloadHint};

}  // namespace choralink::PlatformTexts
