// The check tool against a private daemon: it lists the fake sinks as devices,
// reports each sink's click offset as the delays it was given, lines the
// sinks up through the engine's router, and follows the backend selection.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/hal/pipewire/pw_default_output.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

class PwCheckToolTest : public PipeWireTest {
 protected:
  // Runs the tool with its remote pointed at the private daemon; returns its
  // standard output and sets `status`.
  std::string run(const std::string& args, int& status, const std::string& env = {}) {
    return runWith("PIPEWIRE_REMOTE='" + daemon_->socketPath() + "' " + env, args, status);
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
};

TEST_F(PwCheckToolTest, ListsTheSinksWithTheDefaultMarked) {
  ASSERT_TRUE(setDefaultOutput(graph(), kHdmi));
  ASSERT_TRUE(graph().waitFor([&] { return graph().defaultSinkName() == kHdmi; }, 5.0));
  int status = -1;
  const std::string out = run("list", status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("* fake_hdmi \"Fake HDMI (5.1 48k)\" 'hdmi' 48000 Hz, 6 ch"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("  fake_bt \"Fake Bluetooth (stereo 44.1k)\" 'blue' 44100 Hz, 2 ch"),
            std::string::npos)
      << out;
  restoreDefaultOutput(graph(), {});
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

TEST_F(PwCheckToolTest, BroadcastThroughTheRouterIsHeardInTime) {
  ASSERT_TRUE(forceQuantum(graph(), kRoomyQuantum));
  int status = -1;
  const std::string out =
      run("broadcast --delay fake_hdmi=20 fake_speakers fake_hdmi fake_usb", status);
  EXPECT_EQ(status, 0) << out;
  // sink, latency "fr", offset "ms", the engine's delay, at the sink "fr",
  // heard "fr": USB's 2048 frames set the pace, HDMI adds its 20 ms.
  const std::map<std::string, std::pair<std::string, std::string>> expected{
      {kSpeakers, {"0", "1024"}}, {kHdmi, {"20", "2752"}}, {kUsb, {"0", "0"}}};
  std::set<long> heard;
  for (const auto& [uid, want] : expected) {
    SCOPED_TRACE(uid);
    const auto words = row(out, uid);
    ASSERT_EQ(words.size(), 10u) << out;
    EXPECT_EQ(words[3], want.first);
    EXPECT_EQ(words[5], want.second);
    heard.insert(std::stol(words[8]) - std::stol(want.first) * 48);
  }
  EXPECT_EQ(heard.size(), 1u) << "heard at once, but for the user's delay\n" << out;
  EXPECT_NE(out.find("spread of the heard first click (user delays taken out): 0.00 frames"),
            std::string::npos)
      << out;
  EXPECT_TRUE(row(out, kBluetooth).empty()) << "only the named sinks";
  forceQuantum(graph(), 0);
}

TEST_F(PwCheckToolTest, FollowsTheBackendSelection) {
  int status = -1;
  std::string out = run("list", status, "CHORALINK_AUDIO_BACKEND=sim");
  EXPECT_EQ(WEXITSTATUS(status), 2) << out;
  EXPECT_NE(out.find("Devices are simulated (CHORALINK_AUDIO_BACKEND=sim)."), std::string::npos)
      << out;
  out = run("list", status, "CHORALINK_AUDIO_BACKEND=pipewire");
  EXPECT_EQ(status, 0) << out;
  out = run("list", status, "CHORALINK_AUDIO_BACKEND=Pipewire");
  EXPECT_EQ(WEXITSTATUS(status), 1) << out;
  EXPECT_NE(out.find("CHORALINK_AUDIO_BACKEND is \"Pipewire\""), std::string::npos) << out;

  const std::string nowhere = "PIPEWIRE_REMOTE=/nonexistent/choralink/pipewire-0 ";
  out = runWith(nowhere + "CHORALINK_AUDIO_BACKEND=pipewire", "list", status);
  EXPECT_EQ(WEXITSTATUS(status), 2) << out;
  EXPECT_NE(out.find("CHORALINK_AUDIO_BACKEND=pipewire, but no PipeWire sound server answered"),
            std::string::npos)
      << out;
  out = runWith(nowhere, "list", status);
  EXPECT_EQ(WEXITSTATUS(status), 2) << out;
  EXPECT_NE(out.find("Devices are simulated: no PipeWire sound server answered."),
            std::string::npos)
      << out;
}

TEST_F(PwCheckToolTest, UnknownCommandIsAUsageError) {
  int status = -1;
  const std::string out = run("frobnicate", status);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(out.find("usage:"), std::string::npos);
}

}  // namespace
}  // namespace choralink::pipewire::testing
