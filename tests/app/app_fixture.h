// The app model's test bench: a model on a virtual-time executor, with a
// fake router, a settings file in a private folder, a private log whose
// lines tests read back, and fakes for the platform facilities. Building a
// model is one call; feeding it engine output is one call per snapshot or
// event.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/model/app_model.h"
#include "engine/dispatch/virtual_executor.h"
#include "tests/app/fake_router.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_folder.h"

namespace choralink::test {

class FakeLoginItem final : public LoginItemService {
 public:
  void registerItem() override { set(true); }
  void unregisterItem() override { set(false); }
  bool isEnabled() const noexcept override { return enabled; }

  bool enabled = false;
  // When set, the next register/unregister throws this message and leaves
  // `enabled` as it is.
  std::optional<std::string> failWith;

 private:
  void set(bool on);
};

class FakePresence final : public AppPresence {
 public:
  void setShowInTaskbar(bool show) override { taskbar.push_back(show); }
  void setAppearance(AppearanceMode mode) override { appearances.push_back(mode); }
  std::vector<bool> taskbar;
  std::vector<AppearanceMode> appearances;
};

class FakeCaptureSound final : public CaptureCheckSound {
 public:
  void play() override;
  std::vector<double> playedAt;  // on the model's clock
  const Executor* clock = nullptr;
  // Runs when the sound plays (a test puts the chime into the capture here).
  std::function<void()> onPlay;
};

class AppModelTest : public ::testing::Test {
 protected:
  // The model on the settings currently in the file (none: defaults).
  AppModel& build();
  // Stores `settings`, builds the model on them and publishes the usual
  // machine (below).
  AppModel& buildWith(const AppSettings& settings);
  // Writes `settings` to the settings file, as an earlier run would have.
  void storeSettings(const AppSettings& settings);
  // What the settings file holds now; nullopt when there is none.
  std::optional<AppSettings> savedSettings();

  // Engine output, delivered on the model's executor.
  void publish(std::vector<AudioDeviceInfo> devices);
  void send(const EngineEvent& event);
  // Moves virtual time on (running what falls due).
  void advance(double seconds) { clock.advanceBy(seconds); }

  // Devices switched on in the stored settings (before build()).
  static AppSettings settingsWith(const std::vector<std::string>& enabledUIDs,
                                  BroadcastMode mode = BroadcastMode::synced);
  // A complete, supported device record.
  static AudioDeviceInfo device(const std::string& uid, const std::string& name,
                                Transport transport = Transport::builtIn,
                                bool isDefaultOutput = false);

  // Starts a broadcast the way a user does and lets the engine report it
  // running on `active`.
  void startRunning(const std::vector<std::string>& active);

  // Messages logged so far, without their timestamps ("[INFO] …").
  std::vector<std::string> logged();
  // The fields notified since the last call.
  std::vector<ModelField> takeChanges();
  std::size_t changesOf(ModelField field);

  std::filesystem::path settingsFile() const { return folder / "settings.json"; }

  // The usual machine, in this order; the speakers are the default output.
  AudioDeviceInfo spk = device("spk", "Speakers", Transport::builtIn, true);
  AudioDeviceInfo desk = device("desk", "Desk Speaker", Transport::usb);
  AudioDeviceInfo tv = device("tv", "TV", Transport::hdmi);
  AudioDeviceInfo buds = device("buds", "Buds", Transport::bluetooth);
  AudioDeviceInfo air = device("air", "Apple TV", Transport::airPlay);

  VirtualExecutor clock{"main"};
  TempFolder folder;
  TempFolder logFolder;
  Log log{logFolder / "choralink.log", Log::SystemLogSink{}};
  FakeRouter* router = nullptr;
  FakeLoginItem* loginItem = nullptr;
  FakePresence* presence = nullptr;
  FakeCaptureSound* sound = nullptr;
  // Set before build() to give the model this updater (default: none).
  std::unique_ptr<UpdaterControl> updaterForBuild;
  std::vector<ModelField> changes;
  Observation observation;
  std::unique_ptr<AppModel> model;  // last: goes first
};

}  // namespace choralink::test
