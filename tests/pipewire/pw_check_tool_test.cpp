// The check tool against a private daemon: it lists the fake sinks as devices
// and reports each sink's click offset as the delays it was given.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "engine/hal/pipewire/pw_default_output.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

class PwCheckToolTest : public PipeWireTest {
 protected:
  // Runs the tool with its remote pointed at the private daemon; returns its
  // standard output and sets `status`.
  std::string run(const std::string& args, int& status) {
    const std::string command = "PIPEWIRE_REMOTE='" + daemon_->socketPath() + "' '" +
                                CHORALINK_PW_TOOL + "' " + args + " 2>&1";
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

TEST_F(PwCheckToolTest, UnknownCommandIsAUsageError) {
  int status = -1;
  const std::string out = run("frobnicate", status);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(out.find("usage:"), std::string::npos);
}

}  // namespace
}  // namespace choralink::pipewire::testing
