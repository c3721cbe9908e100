// A feedback form's services pointed at an HTTPS test server on 127.0.0.1,
// and the few steps every feedback test takes: make a screenshot file, wait
// for a send to come back to the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/ui/feedback/feedback_form.h"
#include "engine/dispatch/virtual_executor.h"
#include "tests/common/temp_folder.h"
#include "tests/net/https_test_server.h"
#include "tests/net/net_fixture.h"

namespace choralink::ui::test {

using ::choralink::testing::HttpsTestServer;

// Runs `main` until `done` holds. The answer comes from a real worker
// thread and a real server, so this waits in real time, boundedly.
inline bool runUntilAnswered(VirtualExecutor& main, const std::function<bool()>& done) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!done()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    main.runDue();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class FeedbackServiceFixture {
 public:
  // `answer` decides each reply; the requests are kept by the server.
  explicit FeedbackServiceFixture(HttpsTestServer::Handler answer = {})
      : server(answer ? std::move(answer) : [](const HttpsTestServer::Request&) {
          return HttpsTestServer::Reply{201};
        }) {}

  FeedbackForm::Services services() {
    FeedbackForm::Services s;
    s.collectLog = [] { return std::string("=== choralink.log (tail) ===\nline one\n"); };
    s.send = [this](const FeedbackReport& report) {
      return FeedbackClient(::choralink::testing::loopbackClient(server),
                            server.url(::choralink::testing::kServiceHost, "/api/feedback"), log,
                            10.0)
          .send(report);
    };
    s.environment = FeedbackEnvironment{"2.1.0", "mac", "6.1.0", "x86_64"};
    return s;
  }

  // A file of `bytes` bytes that starts like a PNG.
  std::filesystem::path pngFile(const std::string& name, std::size_t bytes) {
    std::vector<char> data(bytes, 0);
    const char signature[] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};
    std::copy(std::begin(signature), std::end(signature), data.begin());
    const auto path = folder / name;
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(bytes));
    return path;
  }

  ::choralink::test::TempFolder folder;
  Log log{folder / "choralink.log", {}};
  HttpsTestServer server;
};

}  // namespace choralink::ui::test
