// The check tool against a private daemon: it lists the fake sinks as devices,
// reports each sink's click offset as the delays it was given, lines the
// sinks up through the engine's router, and follows the backend selection.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/hal/pipewire/pw_default_output.h"
#include "engine/hal/pipewire/pw_link.h"
#include "engine/hal/pipewire/pw_ports.h"
#include "engine/hal/pipewire/pw_recorder.h"
#include "tests/common/temp_folder.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

class PwCheckToolTest : public PipeWireTest {
 protected:
  // Runs the tool with its remote pointed at the private daemon; returns its
  // standard output and sets `status`.
  std::string run(const std::string& args, int& status) {
    return runWith("PIPEWIRE_REMOTE='" + daemon_->socketPath() + "'", args, status);
  }
  std::string runWith(const std::string& env, const std::string& args, int& status) {
    const std::string command =
        "env -u CHORALINK_AUDIO_BACKEND " + env + " '" + CHORALINK_PW_TOOL + "' " + args + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char buffer[512];
    while (pipe != nullptr && std::fgets(buffer, sizeof(buffer), pipe) != nullptr)
      output += buffer;
    status = pipe != nullptr ? ::pclose(pipe) : -1;
    return output;
  }

  // Starts `choralink-pw broadcast` on two sinks (HDMI 20 ms later) against `socket`, its
  // temporary folder in `scratch` and its output in scratch/out, and
  // returns once `seen`'s graph shows that the broadcast runs.
  pid_t startBroadcast(const std::string& socket, const test::TempFolder& scratch, PwGraph& seen) {
    const std::string remote = "PIPEWIRE_REMOTE=" + socket;
    const std::string tmp = "TMPDIR=" + (scratch / "tmp").string();
    std::filesystem::create_directory(scratch / "tmp");
    const std::string out = (scratch / "out").string();
    const pid_t child = ::fork();
    if (child == 0) {
      std::freopen(out.c_str(), "w", stdout);
      ::dup2(::fileno(stdout), 2);
      ::execlp("env", "env", "-u", "CHORALINK_AUDIO_BACKEND", remote.c_str(), tmp.c_str(),
               CHORALINK_PW_TOOL, "broadcast", "--delay", "fake_hdmi=20", kUsb, kHdmi,
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // The tool's recorder comes once the broadcast has started.
    EXPECT_TRUE(
        seen.waitFor([&] { return seen.nodeByName("choralink.check.recorder").has_value(); }, 10.0))
        << test::readFile(scratch / "out");
    return child;
  }
};

TEST_F(PwCheckToolTest, BadArgumentsAreUsageErrorsThatSayWhatWasWrongAndDoNothing) {
  const size_t linksBefore = graph().links().size();
  const SavedDefaultOutput before = saveDefaultOutput(graph());
  const struct {
    const char* args;
    const char* says;
  } cases[] = {
      {"broadcast --delay fake_usb=-30 fake_usb", "is -30; it must be from 0 to 500"},
      {"broadcast --delay fake_usb=5 --delay fake_usb=6", "--delay for fake_usb twice"},
      {"clicks --delay fake_hdmi=20 fake_usb", "not among the sinks named"},
      {"broadcast fake_usb fake_usb", "sink fake_usb is named twice"},
      {"broadcast fake_usb no_such_sink", "there is no sink no_such_sink"},
      {"clicks --delay no_such_sink=5", "there is no sink no_such_sink"},
      {"broadcast --volume 3", "unknown option \"--volume\""},
      {"list fake_usb", "list takes no arguments"},
      {"frobnicate", "unknown command \"frobnicate\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    int status = -1;
    const std::string out = run(c.args, status);
    EXPECT_EQ(WEXITSTATUS(status), 2) << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
  }
  expectGraphAsBefore(linksBefore, before);
}

// A broadcast ended by a signal: SIGINT, SIGTERM and SIGHUP go through the
// teardown (default back, nothing of ours left, scratch folder gone);
// SIGKILL leaves the default on our vanished sink, and the next start of
// any composition root puts it back from the journal.
TEST_F(PwCheckToolTest, ASignalMidBroadcastLosesNothingOfTheUsersSetup) {
  ASSERT_TRUE(forceQuantum(graph(), kRoomyQuantum));
  setDefaultSeenBy(kSpeakers, graph());
  const size_t linksBefore = graph().links().size();
  const SavedDefaultOutput before = saveDefaultOutput(graph());
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
    SCOPED_TRACE(signal);
    test::TempFolder scratch;
    const pid_t child = startBroadcast(daemon_->socketPath(), scratch, graph());
    ASSERT_EQ(graph().defaultSinkName(), "Choralink") << "the muted tap holds the default";
    ::kill(child, signal);
    const int status = waitForExit(child, 10.0);
    const std::string out = test::readFile(scratch / "out");
    if (signal == SIGKILL) {
      EXPECT_EQ(status, 128 + SIGKILL);
      EXPECT_EQ(graph().defaultSinkName(), "Choralink") << "what a crash leaves behind";
      int listed = -1;
      const std::string list = run("list", listed);
      EXPECT_EQ(listed, 0) << list;
      EXPECT_NE(list.find("* fake_speakers"), std::string::npos) << list;
    } else {
      EXPECT_EQ(status, 1) << out;
      EXPECT_NE(out.find("interrupted by signal " + std::to_string(signal)), std::string::npos)
          << out;
      EXPECT_TRUE(std::filesystem::is_empty(scratch / "tmp")) << "scratch folder left behind";
    }
    EXPECT_EQ(out.find("spread"), std::string::npos) << out;
    expectGraphAsBefore(linksBefore, before);
  }
  restoreDefaultOutput(graph(), {});
  forceQuantum(graph(), 0);
}

// The words of the output line that starts with `uid`.
std::vector<std::string> row(const std::string& out, const std::string& uid) {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> row{std::istream_iterator<std::string>(words), {}};
    if (!row.empty() && row[0] == uid) return row;
  }
  return {};
}

// The process stopped for 0.1 s while the broadcast settles: what reaches
// the sinks, heard by a recorder of this (unstalled) process, is in step,
// and the tool, whose own recorder stalled with it, reports it so. Both
// place a click by the graph clock, not by recorded frames, so cycles a
// recorder missed do not move it; the driving sink's monitor runs one cycle
// late and is taken back by the length of the cycle it was heard in.
TEST_F(PwCheckToolTest, AShortStallMidBroadcastLeavesItInStep) {
  ASSERT_TRUE(forceQuantum(graph(), kRoomyQuantum));
  for (const int settleMs : {0, 40, 80}) {
    SCOPED_TRACE(settleMs);
    PwRecorder ours(loop(), "choralink.test.witness", {{"usb", "FL"}, {"hdmi", "FL"}}, 48000 * 6);
    ASSERT_TRUE(ours.filter().waitForNode(5.0));
    const uint32_t node = ours.filter().nodeId();
    ASSERT_TRUE(graph().waitFor([&] { return graph().ports(node).size() == 2; }, 5.0));
    PwLinks links;
    linkMonitor(links, kUsb, node, "usb");
    linkMonitor(links, kHdmi, node, "hdmi");
    ASSERT_TRUE(waitActive(loop(), links, 5.0));
    test::TempFolder scratch;
    const pid_t child = startBroadcast(daemon_->socketPath(), scratch, graph());
    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    ::kill(child, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::kill(child, SIGCONT);
    ours.arm();
    const int status = waitForExit(child, 20.0);
    const std::string out = test::readFile(scratch / "out");
    std::vector<long> bases;
    for (const auto& [index, uid] : {std::pair{0, kUsb}, std::pair{1, kHdmi}}) {
      const auto words = row(out, uid);
      ASSERT_EQ(words.size(), 10u) << out;
      EXPECT_EQ(words[3], index == 0 ? "0" : "20") << "the user's delay in ms";
      const auto samples = ours.channel(static_cast<size_t>(index));
      long at = -1;
      for (size_t i = 0; i < samples.size() && at < 0; ++i)
        if (std::fabs(samples[i]) > 1e-4f) at = static_cast<long>(i);
      ASSERT_GE(at, 0) << uid << " heard nothing";
      long clock = static_cast<long>(ours.clockAt(static_cast<size_t>(at)));
      if (ours.driverAt(static_cast<size_t>(at)) == sinkId(uid)) {
        clock -= ours.quantumAt(static_cast<size_t>(at));
      }
      bases.push_back(clock - std::stol(words[5]));
    }
    EXPECT_EQ(bases[0], bases[1]) << "the sound is out of step\n" << out;
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("user delays taken out): 0.00 frames"), std::string::npos) << out;
  }
  forceQuantum(graph(), 0);
}

TEST_F(PwCheckToolTest, ADaemonThatDiesMidBroadcastEndsTheRunWithinASecond) {
  PipeWireDaemon doomed;
  test::TempFolder scratch;
  pid_t child = -1;
  {
    PwThreadLoop::Options options;
    options.remoteName = doomed.socketPath();
    PwThreadLoop otherLoop(options);
    PwGraph other(otherLoop);
    ASSERT_TRUE(other.settle(5.0));
    child = startBroadcast(doomed.socketPath(), scratch, other);
  }
  const auto killed = std::chrono::steady_clock::now();
  doomed.stop();
  const int status = waitForExit(child, 10.0);
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
  const std::string out = test::readFile(scratch / "out");
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("choralink-pw: The sound server stopped"), std::string::npos) << out;
  EXPECT_EQ(out.find("spread"), std::string::npos) << "no measurement after the loss\n" << out;
  EXPECT_LT(took, 1.5) << out;
}

TEST_F(PwCheckToolTest, ClicksArriveAsFarApartAsTheDelaysSay) {
  ASSERT_TRUE(forceQuantum(graph(), kRoomyQuantum));
  int status = -1;
  const std::string out = run(
      "clicks --delay fake_usb=30 --delay fake_hdmi=20 fake_speakers fake_hdmi fake_usb", status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("fake_speakers: first click +0 frames (0.0 ms)"), std::string::npos) << out;
  EXPECT_NE(out.find("fake_hdmi: first click +960 frames (20.0 ms)"), std::string::npos) << out;
  EXPECT_NE(out.find("fake_usb: first click +1440 frames (30.0 ms)"), std::string::npos) << out;
  EXPECT_EQ(out.find("fake_bt"), std::string::npos) << "only the named sinks";
  forceQuantum(graph(), 0);
}

// The backend's choice and its note or error (their texts are the backend's
// own) decide what the tool lists and how it exits.
TEST_F(PwCheckToolTest, ListsTheSinksOfTheChosenBackend) {
  setDefaultSeenBy(kHdmi, graph());
  const std::string nowhere = "PIPEWIRE_REMOTE=/nonexistent/choralink/pipewire-0 ";
  const std::string here = "PIPEWIRE_REMOTE='" + daemon_->socketPath() + "' ";
  const struct {
    std::string env;
    int exit;
    const char* says;
  } cases[] = {
      {here, 0, "* fake_hdmi \"Fake HDMI (5.1 48k)\" 'hdmi' 48000 Hz, 6 ch"},
      {here + "CHORALINK_AUDIO_BACKEND=sim", 1, "(CHORALINK_AUDIO_BACKEND=sim)."},
      {here + "CHORALINK_AUDIO_BACKEND=Pipewire", 2, "CHORALINK_AUDIO_BACKEND is \"Pipewire\""},
      {nowhere, 1, "Devices are simulated: no PipeWire sound server answered."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.env);
    int status = -1;
    const std::string out = runWith(c.env, "list", status);
    EXPECT_EQ(WEXITSTATUS(status), c.exit) << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
  }
  restoreDefaultOutput(graph(), {});
}

}  // namespace
}  // namespace choralink::pipewire::testing
