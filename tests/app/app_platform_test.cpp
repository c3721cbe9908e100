// The model's platform facilities and plain values: launch at login (the
// XDG autostart entry and the model's rules around it), taskbar presence,
// appearance, onboarding, the start line and the observation mechanism.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/model/xdg_autostart.h"
#include "support/app_info.h"
#include "tests/app/app_fixture.h"

namespace choralink {
namespace {

namespace fs = std::filesystem;
using test::AppModelTest;
using test::readFile;
using test::ScopedEnv;
using test::TempFolder;
using test::writeFile;

// ---- XDG autostart entry ------------------------------------------------------

class AutostartTest : public ::testing::Test {
 protected:
  TempFolder home;
  fs::path folder() const { return home / "config" / "autostart"; }
  XdgAutostartEntry entry{folder(), "/opt/Choralink/bin/choralink"};
};

TEST_F(AutostartTest, RegisteringWritesTheEntryAndUnregisteringRemovesIt) {
  EXPECT_FALSE(entry.isEnabled());
  entry.registerItem();
  EXPECT_EQ(entry.file(), folder() / "choralink.desktop");
  EXPECT_TRUE(entry.isEnabled());
  const std::string text = readFile(entry.file());
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
  for (const char* line :
       {"\nType=Application\n", "\nName=Choralink\n", "\nExec=/opt/Choralink/bin/choralink\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  entry.unregisterItem();
  EXPECT_FALSE(fs::exists(entry.file()));
  EXPECT_NO_THROW(entry.unregisterItem()) << "an absent entry is no error";
}

TEST_F(AutostartTest, StatusIsReadBackFromTheFile) {
  fs::create_directories(folder());
  writeFile(entry.file(), "[Desktop Entry]\nType=Application\nExec=x\nHidden = true\n");
  EXPECT_FALSE(entry.isEnabled()) << "hidden counts as deleted";
  writeFile(entry.file(), "[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=false\n");
  EXPECT_FALSE(entry.isEnabled()) << "switched off in the session settings";
  writeFile(entry.file(), "Exec=x\n");
  EXPECT_FALSE(entry.isEnabled()) << "no [Desktop Entry] group: not an entry at all";
  writeFile(entry.file(),
            "# a comment\n[Desktop Entry]\nExec=x\n[Desktop Action other]\nHidden=true\n");
  EXPECT_TRUE(entry.isEnabled()) << "keys of other groups do not count";
  writeFile(entry.file(), "[Desktop Entry]\nExec=x\nHidden=true\n");
  entry.registerItem();
  EXPECT_TRUE(entry.isEnabled()) << "registering replaces an entry the user switched off";
}

TEST_F(AutostartTest, AnUnwritableFolderFailsWithAReadableError) {
  fs::create_directories(folder().parent_path());
  writeFile(folder(), "a file where the folder should be");
  EXPECT_THAT([&] { entry.registerItem(); },
              ::testing::ThrowsMessage<LoginItemError>(::testing::HasSubstr(folder().string())));
  EXPECT_FALSE(entry.isEnabled());
}

TEST(AutostartExecTest, ArgumentsAreQuotedAndEscapedAsTheEntryFormatRequires) {
  EXPECT_EQ(XdgAutostartEntry::execArgument("/usr/bin/choralink"), "/usr/bin/choralink");
  EXPECT_EQ(XdgAutostartEntry::execArgument("/home/a b/choralink"), "\"/home/a b/choralink\"");
  EXPECT_EQ(XdgAutostartEntry::execArgument("/opt/100%/x"), "/opt/100%%/x");
  // A quote or dollar gets a backslash inside the quotes; every backslash
  // is then doubled by the key file's own escaping.
  EXPECT_EQ(XdgAutostartEntry::execArgument("/x/\"q\"$"), "\"/x/\\\\\"q\\\\\"\\\\$\"");
  EXPECT_EQ(XdgAutostartEntry::execArgument("/x\\y"), "\"/x\\\\\\\\y\"");
}

TEST_F(AutostartTest, PathsNoEntryCanCarryAreRefused) {
  EXPECT_THROW(XdgAutostartEntry::entryText(""), LoginItemError);
  EXPECT_THROW(XdgAutostartEntry::entryText("/tmp/evil\nHidden=true"), LoginItemError);
  XdgAutostartEntry tabbed(folder(), "/tmp/a\tb");
  EXPECT_THROW(tabbed.registerItem(), LoginItemError);
  EXPECT_FALSE(fs::exists(tabbed.file()));
}

TEST(AutostartFolderTest, FollowsXdgConfigHomeWhenItIsAbsolute) {
  TempFolder home;
  {
    ScopedEnv config("XDG_CONFIG_HOME", (home / "cfg").string());
    EXPECT_EQ(XdgAutostartEntry::defaultFolder(), home / "cfg" / "autostart");
  }
  {
    ScopedEnv config("XDG_CONFIG_HOME", "relative/cfg");
    ScopedEnv user("HOME", home.path().string());
    EXPECT_EQ(XdgAutostartEntry::defaultFolder(), home / ".config" / "autostart");
  }
}

// ---- The model's platform operations ------------------------------------------

using PlatformTest = AppModelTest;

TEST_F(PlatformTest, TheLoginFlagFollowsTheSystemAtStartAndAfterAFailedChange) {
  AppSettings stored;
  stored.launchAtLogin = true;
  storeSettings(stored);
  build();
  EXPECT_FALSE(model->settings().launchAtLogin);
  EXPECT_FALSE(model->savePending()) << "nothing is saved for it at start";

  model->setLaunchAtLogin(true);
  loginItem->failWith = "Permission denied";
  model->setLaunchAtLogin(false);
  EXPECT_TRUE(model->settings().launchAtLogin) << "the entry is still there";
  EXPECT_EQ(logged().back(), "[WARN] Launch at login change failed: Permission denied");
}

TEST_F(PlatformTest, TaskbarPresenceAndAppearanceAreStoredAndApplied) {
  AppSettings stored;
  stored.appearance = AppearanceMode::dark;
  storeSettings(stored);
  build();
  EXPECT_TRUE(presence->appearances.empty()) << "applied by the application, at launch";
  model->applyAppearance();
  model->setAppearance(AppearanceMode::light);
  EXPECT_EQ(presence->appearances,
            (std::vector<AppearanceMode>{AppearanceMode::dark, AppearanceMode::light}));
  EXPECT_EQ(model->settings().appearance, AppearanceMode::light);

  model->setShowInDock(false);
  EXPECT_FALSE(model->settings().showInDock);
  EXPECT_EQ(presence->taskbar, (std::vector<bool>{false}));
}

TEST_F(PlatformTest, OnboardingShowsUntilFinishedAndMayStartSharing) {
  build();
  EXPECT_TRUE(model->showOnboarding());
  publish({device("spk", "Speakers", Transport::builtIn, true)});
  model->finishOnboarding(true);
  EXPECT_FALSE(model->showOnboarding());
  EXPECT_EQ(model->engineState(), EngineState::starting());
  advance(AppModel::kSaveDebounce);
  EXPECT_TRUE(savedSettings()->onboardingDone);

  model.reset();
  build();
  EXPECT_FALSE(model->showOnboarding()) << "finished onboarding stays finished";
  model->finishOnboarding(false);
  EXPECT_EQ(model->engineState(), EngineState::off());
}

TEST_F(PlatformTest, TheStartLineNamesVersionSystemAndProcessor) {
  build();
  EXPECT_EQ(logged().front(), "[INFO] Choralink " + std::string(AppInfo::version()) +
                                  " starting on Linux " + AppInfo::osVersion() + " (" +
                                  std::string(AppInfo::arch()) + ")");
}

// ---- Observation --------------------------------------------------------------

TEST(ModelObserversTest, ObserversAreCalledInOrderUntilTheirObservationEndsEvenMidNotification) {
  ModelObservers observers;
  std::vector<std::string> seen;
  Observation first =
      observers.add([&](ModelField f) { seen.push_back("1:" + std::string(name(f))); });
  Observation second =
      observers.add([&](ModelField f) { seen.push_back("2:" + std::string(name(f))); });
  observers.notify(ModelField::levels);
  first.cancel();
  observers.notify(ModelField::settings);
  EXPECT_EQ(seen, (std::vector<std::string>{"1:levels", "2:levels", "2:settings"}));
  {
    Observation moved = std::move(second);
    EXPECT_EQ(observers.count(), 1u);
  }
  EXPECT_EQ(observers.count(), 0u);

  // One cancelled by an earlier observer of the same notification is not called.
  Observation later;
  int laterCalls = 0;
  Observation canceller = observers.add([&](ModelField) { later.cancel(); });
  later = observers.add([&](ModelField) { ++laterCalls; });
  observers.notify(ModelField::devices);
  EXPECT_EQ(laterCalls, 0);

  Observation kept;
  {
    ModelObservers gone;
    kept = gone.add([](ModelField) {});
  }
  EXPECT_NO_THROW(kept.cancel()) << "an observation may outlive its observers";
}

}  // namespace
}  // namespace choralink
