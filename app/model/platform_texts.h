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

// ---- Onboarding and the feedback sheet ----

// Onboarding's welcome.
inline constexpr Text kOnboardingWelcome{
    "Play your Mac's sound on all your speakers at once — built-in, AirPods, Bluetooth, HDMI and "
    "USB — in sync.",
    "Play your computer's sound on all your speakers at once — built-in, AirPods, Bluetooth, HDMI "
    "and USB — in sync."};

// Onboarding's capture step. The sound server asks no permission, so the
// step is a check of what a user can look at: that the sound server runs and
// that nothing mutes Choralink's capture.
inline constexpr Text kOnboardingCaptureTitle{"Allow System Audio Recording",
                                              "Check System Audio Capture"};
inline constexpr Text kOnboardingCaptureButton{"Allow Access", "Check Capture"};
inline constexpr Text kOnboardingCaptureIntro{
    "To play your Mac's sound on other speakers, Choralink needs to capture it. macOS will ask "
    "once. Audio never leaves your Mac.",
    "To play your computer's sound on other speakers, Choralink captures it from the sound "
    "server. A short test sound checks that this works. Audio never leaves your computer."};
inline constexpr Text kOnboardingCaptureHeard{
    "Choralink can hear your Mac's audio. Nothing is recorded or sent anywhere — it only goes to "
    "your speakers.",
    "Choralink can hear your computer's audio. Nothing is recorded or sent anywhere — it only "
    "goes to your speakers."};
inline constexpr Text kOnboardingCaptureNotHeard{
    "Choralink couldn't hear the test sound. If macOS asked, click Allow and try again. Otherwise "
    "turn Choralink on in System Settings → Privacy & Security → Screen & System Audio Recording.",
    "Choralink couldn't hear the test sound. Check that the sound server (PipeWire) is running "
    "and that Choralink's capture is not muted in your sound settings, then try again."};

// The feedback sheet's footnote, around the service's domain and the
// processor architecture.
inline constexpr Text kFeedbackFootnoteMiddle{
    " with the app version, macOS version and Mac type (",
    " with the app version, system version and computer type ("};

// Every entry, for review and tests.
inline constexpr std::array<Text, 27> kAll{kCaptureBlockedStatus,
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
                                           kUpdatesDownloadHint,
                                           kOnboardingWelcome,
                                           kOnboardingCaptureTitle,
                                           kOnboardingCaptureButton,
                                           kOnboardingCaptureIntro,
                                           kOnboardingCaptureHeard,
                                           kOnboardingCaptureNotHeard,
                                           kFeedbackFootnoteMiddle};

}  // namespace choralink::PlatformTexts
