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
inline constexpr std::array<Text, 7> kAll{
    kCaptureBlockedStatus, kChooseDevicesStatus, kCaptureSilentStatus, kPrivacySettingsURL,
    kStartLineSystem,      kUpdatesDisabledLine, kUpdatesDownloadHint};

}  // namespace choralink::PlatformTexts
