#include "app/update/install_layout.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "app/model/platform_texts.h"
#include "app/update/app_updater.h"
#include "app/update/appcast.h"
#include "app/update/update_signature.h"
#include "engine/dispatch/virtual_executor.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/update/update_fixture.h"

namespace choralink {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using Step = InstallLayout::Step;

struct InstallTest : ::testing::Test {
  test::TempFolder tmp;
  fs::path root = tmp / "Choralink";
  fs::path archive = tmp / "update.tar.gz";

  void SetUp() override {
    test::makeInstall(root, "0.1.0");
    std::ofstream(archive, std::ios::binary) << test::makePackage(tmp / "pkg", "0.2.0");
  }
  InstallLayout layoutRunning(const std::string& version) {
    return *InstallLayout::of(root / "versions" / version / "bin" / "choralink");
  }
};

// A kill after any step of an install leaves a tree that starts; the next
// start clears what the kill left and a new attempt succeeds.
TEST_F(InstallTest, KillAfterAnyStepLeavesAnInstallThatStarts) {
  for (Step killedAt : {Step::stagingCleared, Step::extracted, Step::movedIntoPlace,
                        Step::stagingRemoved, Step::linkMade, Step::switched}) {
    SCOPED_TRACE(static_cast<int>(killedAt));
    fs::remove_all(root);
    test::makeInstall(root, "0.1.0");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // No destructors, no clean-up: as abrupt as a kill.
      const auto die = [killedAt](Step step) {
        if (step == killedAt) ::_exit(0);
      };
      const InstallLayout layout = layoutRunning("0.1.0");
      layout.stage(archive, "0.2.0", die);
      layout.switchTo("0.2.0", die);
      ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);

    const std::string started = test::startedVersion(root);
    EXPECT_EQ(started, killedAt == Step::switched ? "0.2.0" : "0.1.0");
    layoutRunning(started).removeLeftovers();
    EXPECT_THAT(test::tree(root / "versions"),
                ElementsAre(started, started + "/bin", started + "/bin/choralink",
                            started + "/choralink-package"));
    if (started == "0.1.0") {
      const InstallLayout layout = layoutRunning("0.1.0");
      layout.stage(archive, "0.2.0");
      layout.switchTo("0.2.0");
      EXPECT_EQ(test::startedVersion(root), "0.2.0");
    }
  }
}

TEST_F(InstallTest, ArchiveWithoutTheOfferedVersionIsRefusedAndLeavesNothing) {
  const InstallLayout layout = layoutRunning("0.1.0");
  const auto before = test::tree(root);
  EXPECT_THROW(layout.stage(archive, "0.3.0"), InstallError);
  std::ofstream(tmp / "junk.tar.gz") << "not a tarball";
  EXPECT_THROW(layout.stage(tmp / "junk.tar.gz", "0.2.0"), InstallError);
  EXPECT_THROW(layout.switchTo("0.3.0"), InstallError);
  EXPECT_EQ(test::tree(root), before);
}

// Builds that cannot update themselves: no controller, the log line once, and
// the alert that fits how the program got onto the machine.
TEST_F(InstallTest, WithoutKeyOrPackageThereIsNoController) {
  struct Case {
    std::string publicKey;
    fs::path executable;
    std::string informative;
  };
  const std::string key = UpdateSignature::generate().publicKey;
  fs::create_directories(tmp / "unpacked/current");
  fs::copy(root / "versions", tmp / "unpacked/versions", fs::copy_options::recursive);
  const std::string download = "Download the latest Choralink for Linux from choralink.app.";
  const Case cases[] = {
      {"", root / "versions/0.1.0/bin/choralink", download},
      {"not-a-key", root / "versions/0.1.0/bin/choralink", download},
      {key, tmp / "build/app/choralink", download},
      {key, tmp / "unpacked/versions/0.1.0/bin/choralink", download},  // no current link
      {key, "/usr/bin/choralink",
       "This copy of Choralink was installed by your system's package manager, which also "
       "brings its updates."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.executable.string() + " key=" + c.publicKey);
    test::LogCapture log(tmp.path());
    VirtualExecutor executor;
    test::RecordingPrompter prompter;
    AppUpdater updater({.executor = executor,
                        .prompter = prompter,
                        .worker = &executor,
                        .publicKey = c.publicKey,
                        .executable = c.executable,
                        .stateFile = tmp / "state.json",
                        .log = &log.log()});
    updater.start();
    updater.start();
    updater.setAutomaticallyChecks(true);
    updater.checkForUpdates();
    EXPECT_FALSE(updater.hasController());
    EXPECT_FALSE(updater.automaticallyChecks());
    EXPECT_THAT(
        log.messages(),
        ElementsAre(std::string(PlatformTexts::shown(PlatformTexts::kUpdatesDisabledLine))));
    EXPECT_THAT(prompter.unavailable,
                ElementsAre("Updates aren't available in this build | " + c.informative));
    EXPECT_EQ(executor.pendingCount(), 0u);
    EXPECT_FALSE(fs::exists(tmp / "state.json"));
  }
}

// Versions compare as numbers part by part; items without one are skipped.
TEST(AppcastTest, NewestItemAboveTheRunningVersionIsOffered) {
  const std::vector<AppcastItem> items = parseAppcast(R"(<rss><channel>
      <item><sparkle:version>1.9</sparkle:version></item>
      <item><title>no version</title><enclosure url="https://h/mac/x"/></item>
      <item><sparkle:version> 1.10 </sparkle:version>
        <sparkle:shortVersionString>1.10 (Autumn)</sparkle:shortVersionString></item>
      <item><enclosure url="https://h/mac/c" sparkle:version="1.2.0"/></item>
    </channel></rss>)");
  const std::pair<std::string, std::string> cases[] = {{"1.2", "1.10 (Autumn)"},
                                                       {"1.9.9", "1.10 (Autumn)"},
                                                       {"1.1.9", "1.10 (Autumn)"},
                                                       {"1.10.0", ""},
                                                       {"2", ""}};
  for (const auto& [running, offered] : cases) {
    const std::optional<AppcastItem> offer = newestOffer(items, running);
    EXPECT_EQ(offer ? offer->displayVersion : "", offered) << running;
  }
  EXPECT_EQ(items.size(), 3u);
  for (const char* broken : {"", "<rss><channel>", "<feed/>"})
    EXPECT_THROW(parseAppcast(broken), AppcastError) << broken;
}

}  // namespace
}  // namespace choralink
