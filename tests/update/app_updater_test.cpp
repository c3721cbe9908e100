#include "app/update/app_updater.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "app/update/update_signature.h"
#include "engine/dispatch/virtual_executor.h"
#include "support/app_info.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/net/https_test_server.h"
#include "tests/update/update_fixture.h"

namespace choralink {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing::HttpsTestServer;
using ::testing::IsEmpty;
using Reply = HttpsTestServer::Reply;

const std::string kHost(AppInfo::serviceHost());
const std::string kArchiveURL = "https://" + kHost + "/mac/Choralink-0.2.0.tar.gz";

// One appcast item for 0.2.0 ("0.2 beta" to people); `enclosure` is the
// enclosure's attribute text, `extra` more XML inside the item.
std::string feedWith(const std::string& enclosure, const std::string& extra = {}) {
  return R"(<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
    <item><sparkle:version>0.1.0</sparkle:version><enclosure url=")" +
         kArchiveURL + R"(" length="1"/></item>
    <item><sparkle:version>0.2.0</sparkle:version>
      <sparkle:shortVersionString>0.2 beta</sparkle:shortVersionString>
      <enclosure )" +
         enclosure + "/>" + extra + "</item></channel></rss>";
}

const std::string kNothingNewer =
    "<rss><channel><item><sparkle:version>0.1.0</sparkle:version></item></channel></rss>";

struct UpdaterTest : ::testing::Test {
  test::TempFolder tmp;
  fs::path root = tmp / "Choralink";
  UpdateSignature::KeyPair keys = UpdateSignature::generate();
  std::string package = test::makePackage(tmp / "pkg", "0.2.0");
  std::map<std::string, Reply> replies;  // by request target
  HttpsTestServer server{[this](const HttpsTestServer::Request& request) {
    auto it = replies.find(request.target);
    return it == replies.end() ? Reply{404} : it->second;
  }};
  test::LogCapture log{tmp.path()};
  VirtualExecutor executor;
  test::RecordingPrompter prompter;
  std::vector<fs::path> relaunched;
  std::unique_ptr<AppUpdater> updater;

  void SetUp() override {
    test::makeInstall(root, "0.1.0");
    replies["/mac/Choralink-0.2.0.tar.gz"] = Reply{200, package};
    serveFeed(goodEnclosure());
    updater = makeUpdater("0.1.0");
    updater->start();
  }

  std::string goodEnclosure(const std::string& signature = {}, std::size_t length = 0) const {
    return "url=\"" + kArchiveURL + "\" length=\"" +
           std::to_string(length ? length : package.size()) + "\" sparkle:edSignature=\"" +
           (signature.empty() ? UpdateSignature::sign(package, keys.secretKey) : signature) + "\"";
  }
  void serveFeed(const std::string& enclosure, const std::string& extra = {}) {
    replies["/mac/appcast.xml"] = Reply{200, feedWith(enclosure, extra)};
  }

  std::unique_ptr<AppUpdater> makeUpdater(const std::string& version, bool ownWorker = false) {
    CurlHTTPClient::Transport transport;
    transport.trustedCertificatesPEM = testing::TestCertificate::shared().certificatePEM;
    const std::string port = std::to_string(server.port());
    for (const std::string& host : {kHost, std::string(testing::kForeignHost)})
      transport.connectTo.push_back(host + ":443:127.0.0.1:" + port);
    transport.direct = true;
    return std::make_unique<AppUpdater>(AppUpdater::Setup{
        .executor = executor,
        .prompter = prompter,
        .worker = ownWorker ? nullptr : &executor,
        .http = std::make_shared<CurlHTTPClient>(std::set<std::string>{kHost}, transport),
        .publicKey = keys.publicKey,
        .executable = root / "versions" / version / "bin" / "choralink",
        .runningVersion = version,
        .downloads = tmp / "cache",
        .stateFile = tmp / "state" / "updater.json",
        .wallClock = [this] { return 1.8e9 + executor.now(); },
        .relaunch = [this](const fs::path& program) { relaunched.push_back(program); },
        .log = &log.log()});
  }

  void check() {
    updater->checkForUpdates();
    executor.settle();
  }
  std::vector<std::string> updateLines() const { return log.startingWith("Updates:"); }
  int requestsFor(const std::string& target) const {
    int n = 0;
    for (const auto& request : server.requests())
      n += request.target == target;
    return n;
  }
  void expectNothingInstalled() {
    EXPECT_EQ(test::startedVersion(root), "0.1.0");
    EXPECT_THAT(
        test::tree(root / "versions"),
        ElementsAre("0.1.0", "0.1.0/bin", "0.1.0/bin/choralink", "0.1.0/choralink-package"));
    EXPECT_THAT(test::tree(tmp / "cache"), IsEmpty());
    if (updater) updater->applicationWillTerminate();
    EXPECT_EQ(test::startedVersion(root), "0.1.0");
  }
};

// Every way a check can end without an update: what it logs, that nothing the
// veto refused was fetched, and that nothing was installed.
TEST_F(UpdaterTest, ChecksThatEndWithoutAnUpdate) {
  const std::string refused = "Updates: check ended: This update isn't hosted on " + kHost +
                              ", so Choralink won't install it.";
  const std::string found = "Updates: found 0.2 beta";
  const std::string badSignature =
      "Updates: signature check failed for 0.2 beta; nothing was installed";
  const std::string httpURL = "http://" + kHost + "/mac/Choralink-0.2.0.tar.gz";
  const std::string otherHost = std::string("https://") + testing::kForeignHost;
  const auto feed = [](const std::string& enclosure, const std::string& extra = {}) {
    return Reply{200, feedWith(enclosure, extra)};
  };
  struct Case {
    std::string name;
    Reply feed;
    std::vector<std::string> lines;
    bool archiveFetched;
  };
  const Case cases[] = {
      {"nothing newer", Reply{200, kNothingNewer}, {}, false},
      {"a delta on another host",
       feed(goodEnclosure(),
            "<sparkle:deltas><enclosure url=\"" + otherHost + "/mac/d.delta\"/></sparkle:deltas>"),
       {"Updates: rejected update 0.2 beta from " + kArchiveURL, refused},
       false},
      {"an http item",
       feed("url=\"" + httpURL + "\" length=\"9\""),
       {"Updates: rejected update 0.2 beta from " + httpURL, refused},
       false},
      {"no URL",
       feed("length=\"9\""),
       {"Updates: rejected update 0.2 beta from no URL", refused},
       false},
      {"a signature by another key",
       feed(goodEnclosure(UpdateSignature::sign(package, UpdateSignature::generate().secretKey))),
       {found, badSignature, "Updates: check ended: The update's signature isn't valid"},
       true},
      {"no signature",
       feed("url=\"" + kArchiveURL + "\" length=\"9\""),
       {found, badSignature, "Updates: check ended: The update isn't signed"},
       false},
      {"a body longer than declared",
       feed(goodEnclosure({}, package.size() - 1)),
       {found, "Updates: check ended: The download failed: Response too large"},
       true},
      {"a feed redirecting off the host",
       Reply{302, "", {{"Location", otherHost + "/mac/appcast.xml"}}},
       {"Updates: check ended: The update feed answered HTTP 302"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    replies["/mac/appcast.xml"] = c.feed;
    const std::size_t requestsBefore = server.requests().size();
    const int fetchedBefore = requestsFor("/mac/Choralink-0.2.0.tar.gz");
    check();
    EXPECT_EQ(updateLines(), c.lines);
    EXPECT_EQ(requestsFor("/mac/Choralink-0.2.0.tar.gz") - fetchedBefore, c.archiveFetched);
    EXPECT_EQ(server.requests().size() - requestsBefore, 1u + c.archiveFetched);
    EXPECT_TRUE(updater->canCheck());
    expectNothingInstalled();
  }
  EXPECT_THAT(prompter.found, IsEmpty());
  EXPECT_EQ(prompter.upToDate, 1);
  EXPECT_EQ(prompter.failures.size(), std::size(cases) - 1);
}

TEST_F(UpdaterTest, VerifiedUpdateIsInstalledOnQuitAndStartsAsTheNewVersion) {
  updater->checkForUpdates();
  EXPECT_FALSE(updater->canCheck());  // the check runs
  updater->checkForUpdates();         // and a second one is not started
  executor.settle();
  EXPECT_TRUE(updater->canCheck());
  EXPECT_EQ(requestsFor("/mac/appcast.xml"), 1);
  ASSERT_THAT(prompter.found, ElementsAre("0.2.0"));
  prompter.lastAnswer(UpdateChoice::later);
  EXPECT_EQ(test::startedVersion(root), "0.1.0");  // not before quitting
  updater->applicationWillTerminate();
  EXPECT_EQ(test::startedVersion(root), "0.2.0");

  // The new version's first start removes the old one.
  updater = makeUpdater("0.2.0");
  updater->start();
  executor.settle();
  EXPECT_THAT(test::tree(root / "versions"),
              ElementsAre("0.2.0", "0.2.0/bin", "0.2.0/bin/choralink", "0.2.0/choralink-package"));
  EXPECT_THAT(test::tree(tmp / "cache"), IsEmpty());
  EXPECT_TRUE(relaunched.empty());
}

TEST_F(UpdaterTest, InstallAndRelaunchSwitchesAtOnceAndStartsTheNewProgram) {
  check();
  ASSERT_THAT(prompter.found, ElementsAre("0.2.0"));

  prompter.lastAnswer(UpdateChoice::installAndRelaunch);
  EXPECT_EQ(test::startedVersion(root), "0.2.0");
  EXPECT_THAT(relaunched, ElementsAre(root / "current" / "bin" / "choralink"));
  prompter.lastAnswer(UpdateChoice::skipThisVersion);  // answered already: no effect
  EXPECT_EQ(test::startedVersion(root), "0.2.0");
}

// Quitting in the middle of a download ends it instead of waiting for its
// ten-minute limit (the suite's time-out would catch a wait).
TEST_F(UpdaterTest, QuitDuringADownloadDoesNotWaitForIt) {
  replies["/mac/Choralink-0.2.0.tar.gz"] = Reply::never();
  updater = makeUpdater("0.1.0", true);
  updater->start();
  updater->checkForUpdates();
  while (requestsFor("/mac/Choralink-0.2.0.tar.gz") == 0) {
    executor.runDue();  // the feed's answer comes back here
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  updater.reset();
  expectNothingInstalled();
}

// Scheduled checks on virtual time: the first a minute after start, then a
// week apart; a find becomes a notification; a skipped version stays quiet;
// switching off is kept in the updater's own file.
TEST_F(UpdaterTest, ScheduledChecksRunWeeklyWhileSwitchedOn) {
  replies["/mac/appcast.xml"] = Reply{200, kNothingNewer};
  EXPECT_TRUE(updater->automaticallyChecks());
  executor.advanceBy(AppUpdater::kFirstCheckDelay - 1);
  EXPECT_EQ(requestsFor("/mac/appcast.xml"), 0);
  executor.advanceBy(1);
  EXPECT_EQ(requestsFor("/mac/appcast.xml"), 1);
  EXPECT_EQ(prompter.upToDate, 0);

  serveFeed(goodEnclosure());
  executor.advanceBy(AppUpdater::kCheckInterval);
  EXPECT_EQ(requestsFor("/mac/appcast.xml"), 2);
  ASSERT_THAT(prompter.notified, ElementsAre("0.2.0"));
  EXPECT_THAT(prompter.found, IsEmpty());
  prompter.lastAnswer(UpdateChoice::skipThisVersion);
  executor.settle();
  EXPECT_FALSE(fs::exists(root / "versions" / "0.2.0"));

  executor.advanceBy(AppUpdater::kCheckInterval);
  EXPECT_EQ(requestsFor("/mac/appcast.xml"), 3);
  EXPECT_EQ(prompter.notified.size(), 1u);
  EXPECT_EQ(requestsFor("/mac/Choralink-0.2.0.tar.gz"), 1);

  updater->setAutomaticallyChecks(false);
  updater = makeUpdater("0.1.0");  // a later start reads the file
  updater->start();
  EXPECT_FALSE(updater->automaticallyChecks());
  executor.advanceBy(10 * AppUpdater::kCheckInterval);
  EXPECT_EQ(requestsFor("/mac/appcast.xml"), 3);
}

}  // namespace
}  // namespace choralink
