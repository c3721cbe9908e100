#include "tests/pipewire/pw_daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "engine/hal/pipewire/pw_default_output.h"
#include "engine/hal/pipewire/pw_ports.h"

extern char** environ;

namespace choralink::pipewire::testing {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartDeadline = std::chrono::seconds(5);
constexpr double kStopSeconds = 3.0;
constexpr auto kPollInterval = std::chrono::milliseconds(5);
constexpr double kSettleTimeout = 5.0;

bool socketAccepts(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

// Variables that could point the daemon (or anything it starts) at a user's
// session; the daemon gets none of them.
bool inheritable(const char* entry) {
  static const char* const kDropped[] = {"DBUS_SESSION_BUS_ADDRESS=",
                                         "PIPEWIRE_REMOTE=",
                                         "PIPEWIRE_RUNTIME_DIR=",
                                         "XDG_RUNTIME_DIR=",
                                         "PULSE_SERVER=",
                                         "PIPEWIRE_CONFIG_DIR=",
                                         "PIPEWIRE_CORE="};
  for (const char* prefix : kDropped) {
    if (std::strncmp(entry, prefix, std::strlen(prefix)) == 0) return false;
  }
  return true;
}

}  // namespace

TapDescription mutedTap() {
  TapDescription d =
      TapDescription::stereoGlobalTapButExcludeProcesses({PipeWireAudioSystem::kOwnProcessObject});
  d.name = "Choralink";
  d.uuid = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
  d.muteBehavior = TapMuteBehavior::muted;
  return d;
}

std::unique_ptr<PipeWireAudioSystem> openSystem(const std::string& socket,
                                                const std::filesystem::path& folder) {
  PipeWireAudioSystem::Options options;
  options.remoteName = socket;
  if (!folder.empty()) options.defaultJournalPath = (folder / "default-output.json").string();
  return std::make_unique<PipeWireAudioSystem>(options);
}

AggregateDescription aggregateDescription(const std::vector<std::string>& uids,
                                          const std::string& tapUID) {
  AggregateDescription d = {
      {kAggregateNameKey, "Choralink"},    {kAggregateUIDKey, "app.choralink.agg.TEST"},
      {kAggregatePrivateKey, 1},           {kAggregateStackedKey, 0},
      {kAggregateMasterKey, uids.front()}, {kAggregateTapAutoStartKey, 1}};
  d[kAggregateSubDevicesKey] = nlohmann::json::array();
  for (size_t i = 0; i < uids.size(); ++i)
    d[kAggregateSubDevicesKey].push_back({{kSubDeviceUIDKey, uids[i]}, {kSubDeviceDriftKey, i}});
  d[kAggregateTapsKey] = nlohmann::json::array();
  if (!tapUID.empty())
    d[kAggregateTapsKey].push_back({{kSubDeviceUIDKey, tapUID}, {kSubDeviceDriftKey, 1}});
  return d;
}

bool pollFor(double seconds, const std::function<bool()>& done) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

int waitForExit(pid_t pid, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool forceQuantum(PwGraph& graph, uint32_t frames) {
  const std::string value = std::to_string(frames);
  return graph.setMetadata("settings", "clock.force-quantum", value, "") &&
         graph.waitFor(
             [&] { return graph.metadataValue("settings", "clock.force-quantum") == value; },
             kSettleTimeout);
}

std::string PipeWireDaemon::findProgram() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/pipewire";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::string PipeWireDaemon::defaultConfig() {
  return CHORALINK_PW_TEST_CONFIG;
}

PipeWireDaemon::PipeWireDaemon(const std::string& configPath) : program_(findProgram()) {
  if (program_.empty()) throw std::runtime_error("pipewire is not installed");

  char pattern[] = "/tmp/choralink-pw-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  const std::string runtime = dir_ + "/run";
  ::mkdir(runtime.c_str(), 0700);
  socket_ = runtime + "/pipewire-0";
  logPath_ = dir_ + "/daemon.log";
  config_ = std::filesystem::absolute(configPath).string();
  try {
    launch(O_TRUNC);
  } catch (...) {
    std::filesystem::remove_all(dir_);
    throw;
  }
}

void PipeWireDaemon::restart() {
  stop();
  launch(O_APPEND);
}

void PipeWireDaemon::launch(int logMode) {
  const std::string runtime = dir_ + "/run";
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (inheritable(*e)) env.emplace_back(*e);
  }
  env.push_back("XDG_RUNTIME_DIR=" + runtime);
  env.push_back("PIPEWIRE_RUNTIME_DIR=" + runtime);
  std::vector<char*> envp;
  for (auto& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string flag = "-c";
  char* argv[] = {program_.data(), flag.data(), config_.data(), nullptr};

  // fork + exec rather than posix_spawn, for one thing posix_spawn cannot do:
  // the daemon gets SIGKILL when this test process dies for any reason (a
  // crash, a timeout kill), so no daemon ever outlives its test. Between fork
  // and exec the child calls only async-signal-safe functions.
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | logMode, 0600);
    if (in < 0 || out < 0) ::_exit(127);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    ::execve(program_.c_str(), argv, envp.data());
    ::_exit(127);
  }
  pid_ = child;

  const auto deadline = Clock::now() + kStartDeadline;
  while (!socketAccepts(socket_)) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("pipewire exited during start-up:\n" + log());
    }
    if (Clock::now() > deadline) {
      const std::string text = "pipewire did not open its socket in time:\n" + log();
      stop();
      throw std::runtime_error(text);
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

PipeWireDaemon::~PipeWireDaemon() {
  stop();
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

void PipeWireDaemon::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  waitForExit(pid_, kStopSeconds);
  pid_ = -1;
}

std::string PipeWireDaemon::log() const {
  std::ifstream in(logPath_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::unique_ptr<PipeWireDaemon> PipeWireTest::daemon_;
std::string PipeWireTest::skipReason_;
std::string PipeWireTest::startError_;

void PipeWireTest::SetUpTestSuite() {
  if (daemon_ || !skipReason_.empty() || !startError_.empty()) return;
  if (PipeWireDaemon::findProgram().empty()) {
    skipReason_ = "PipeWire (the pipewire program) is not installed";
    return;
  }
  try {
    daemon_ = std::make_unique<PipeWireDaemon>();
    ::setenv("XDG_CONFIG_HOME", (daemon_->folder() + "/config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (daemon_->folder() + "/state").c_str(), 1);
  } catch (const std::exception& e) {
    startError_ = e.what();
  }
}

void PipeWireTest::TearDownTestSuite() {
  daemon_.reset();
  skipReason_.clear();
  startError_.clear();
}

void PipeWireTest::SetUp() {
  if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
  ASSERT_TRUE(startError_.empty()) << startError_;
  ASSERT_TRUE(daemon_ && daemon_->running());
  PwThreadLoop::Options options;
  options.remoteName = daemon_->socketPath();
  options.clientName = "choralink-test";
  loop_ = std::make_unique<PwThreadLoop>(options);
  graph_ = std::make_unique<PwGraph>(*loop_);
  ASSERT_TRUE(graph_->settle(kSettleTimeout)) << daemon_->log();
  const bool allThere = graph_->waitFor(
      [&] {
        for (const auto& name : kFakeSinks) {
          auto node = graph_->nodeByName(name);
          if (!node || !node->hasInfo || node->enumFormats.empty()) return false;
        }
        return graph_->hasMetadata("default");
      },
      kSettleTimeout);
  ASSERT_TRUE(allThere) << "the fake sinks did not appear\n" << describeGraph() << daemon_->log();
}

void PipeWireTest::TearDown() {
  graph_.reset();
  loop_.reset();
}

std::string PipeWireTest::describeGraph() const {
  std::ostringstream text;
  for (const auto& node : graph_->nodes()) {
    text << "node " << node.id << " " << node.name() << " info=" << node.hasInfo
         << " formats=" << node.enumFormats.size() << "\n";
  }
  text << "default metadata: " << graph_->hasMetadata("default") << "\n";
  return text.str();
}

void PipeWireTest::setDefaultSeenBy(const char* name, const PwGraph& other) {
  ASSERT_TRUE(setDefaultOutput(*graph_, name));
  ASSERT_TRUE(graph_->waitFor(
      [&] {
        for (const PwGraph* g : {static_cast<const PwGraph*>(graph_.get()), &other}) {
          if (g->defaultSinkName() != name || g->configuredDefaultSinkName() != name) return false;
        }
        return true;
      },
      kSettleTimeout));
}

std::unique_ptr<PwVirtualSink> PipeWireTest::plugUsbSink(const std::string& name,
                                                         const std::string& description) {
  PwVirtualSink::Spec spec;
  spec.name = name;
  if (!description.empty()) spec.description = description;
  spec.markOwned = false;
  spec.isVirtual = false;
  spec.extraProps = {{"device.api", "fake"}, {"device.bus", "usb"}};
  return std::make_unique<PwVirtualSink>(*loop_, spec);
}

void PipeWireTest::linkMonitor(PwLinks& links, const std::string& sink, uint32_t node,
                               const std::string& prefix) {
  const auto pairs =
      pairPorts(monitorPorts(graph_->ports(sinkId(sink))), inputPorts(graph_->ports(node), prefix));
  for (auto& link : linkPairs(*loop_, pairs))
    links.push_back(std::move(link));
}

void PipeWireTest::expectGraphAsBefore(size_t linksBefore, const SavedDefaultOutput& before) {
  PwGraph& g = *graph_;
  EXPECT_TRUE(g.waitFor([&] { return !g.nodeByName("Choralink"); }, kSettleTimeout));
  EXPECT_TRUE(g.waitFor([&] { return !g.nodeByName("choralink.aggregate"); }, kSettleTimeout));
  EXPECT_TRUE(g.waitFor([&] { return g.links().size() == linksBefore; }, kSettleTimeout))
      << g.links().size() << " links, " << linksBefore << " before";
  EXPECT_TRUE(g.waitFor([&] { return defaultOutputIs(g, before); }, kSettleTimeout))
      << g.defaultSinkName();
}

uint32_t PipeWireTest::sinkId(const std::string& name) {
  const auto node = graph_->nodeByName(name);
  EXPECT_TRUE(node.has_value()) << name;
  return node ? node->id : 0;
}

}  // namespace choralink::pipewire::testing
