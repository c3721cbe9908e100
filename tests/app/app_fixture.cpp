#include "tests/app/app_fixture.h"

#include <algorithm>
#include <sstream>

#include "support/settings_store.h"

namespace choralink::test {

void FakeLoginItem::set(bool on) {
  if (auto message = std::exchange(failWith, std::nullopt)) throw LoginItemError(*message);
  enabled = on;
}

void FakeCaptureSound::play() {
  if (clock != nullptr) playedAt.push_back(clock->now());
  if (onPlay) onPlay();
}

AppModel& AppModelTest::build() {
  auto fakeRouter = std::make_unique<FakeRouter>();
  auto fakeLogin = std::make_unique<FakeLoginItem>();
  auto fakePresence = std::make_unique<FakePresence>();
  auto fakeSound = std::make_unique<FakeCaptureSound>();
  router = fakeRouter.get();
  loginItem = fakeLogin.get();
  presence = fakePresence.get();
  sound = fakeSound.get();
  sound->clock = &clock;

  AppModel::Parts parts;
  parts.router = std::move(fakeRouter);
  parts.settingsFile = settingsFile();
  parts.log = &log;
  parts.loginItem = std::move(fakeLogin);
  parts.presence = std::move(fakePresence);
  parts.captureSound = std::move(fakeSound);
  if (updaterForBuild) parts.updater = std::move(updaterForBuild);
  model = std::make_unique<AppModel>(clock, std::move(parts));
  observation = model->observe([this](ModelField field) { changes.push_back(field); });
  return *model;
}

AppModel& AppModelTest::buildWith(const AppSettings& settings) {
  storeSettings(settings);
  build();
  publish({spk, desk, tv, buds, air});
  return *model;
}

void AppModelTest::storeSettings(const AppSettings& settings) {
  SettingsStore(settingsFile(), log).save(settings);
}

std::optional<AppSettings> AppModelTest::savedSettings() {
  if (!std::filesystem::exists(settingsFile())) return std::nullopt;
  return SettingsStore(settingsFile(), log).load();
}

void AppModelTest::publish(std::vector<AudioDeviceInfo> devices) {
  router->snapshots.send(std::move(devices));
  clock.runDue();
}

void AppModelTest::send(const EngineEvent& event) {
  router->eventStream.send(event);
  clock.runDue();
}

AppSettings AppModelTest::settingsWith(const std::vector<std::string>& enabledUIDs,
                                       BroadcastMode mode) {
  AppSettings settings;
  settings.mode = mode;
  settings.onboardingDone = true;
  for (const std::string& uid : enabledUIDs) {
    settings.devices.insert_or_assign(uid, DeviceSettings(true, 100, 0, false, uid + " name"));
  }
  return settings;
}

AudioDeviceInfo AppModelTest::device(const std::string& uid, const std::string& name,
                                     Transport transport, bool isDefaultOutput) {
  AudioDeviceInfo info;
  info.uid = uid;
  info.objectID = static_cast<AudioObjectID>(100 + uid.size());
  info.name = name;
  info.transport = transport;
  info.outputChannels = 2;
  info.nominalRate = 48000;
  info.availableRates = {44100, 48000};
  info.isDefaultOutput = isDefaultOutput;
  info.latencyFrames = 480;
  info.supportStatus = supportStatusFor(transport);
  return info;
}

void AppModelTest::startRunning(const std::vector<std::string>& active) {
  model->startSharing();
  clock.runDue();
  send(EngineEvent::started(active));
}

std::vector<std::string> AppModelTest::logged() {
  std::vector<std::string> messages;
  std::string text = log.tail(1'000'000);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    messages.push_back(line.substr(line.find(' ') + 1));
  return messages;
}

std::vector<ModelField> AppModelTest::takeChanges() {
  return std::exchange(changes, {});
}

std::size_t AppModelTest::changesOf(ModelField field) {
  return static_cast<std::size_t>(std::count(changes.begin(), changes.end(), field));
}

}  // namespace choralink::test
