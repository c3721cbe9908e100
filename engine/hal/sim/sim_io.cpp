// The simulated audio system's IO: cycles of running devices in time order,
// the captured system mix in tap streams, IO procedure calls, routing of each
// device's output into its recording (latency, pace, resampling), the default
// output's direct playback, and the three drivers of the IO timeline.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "engine/dispatch/serial_queue.h"
#include "engine/hal/sim/sim_impl.h"

namespace choralink::sim {

namespace {

// The Impl whose IO pass runs on this thread, if any: an operation called
// from inside an IO procedure must not wait for the pass that called it.
thread_local const SimAudioSystem::Impl* tPassOwner = nullptr;

// Clock ticks aim exactly at a cycle's start; this margin keeps float noise
// from leaving that cycle for the next tick.
constexpr double kTickMargin = 1e-9;
constexpr std::uint32_t kDirectBlockFrames = 4096;

class PassScope {
 public:
  explicit PassScope(const SimAudioSystem::Impl* impl) : previous_(tPassOwner) {
    tPassOwner = impl;
  }
  ~PassScope() { tPassOwner = previous_; }
  PassScope(const PassScope&) = delete;
  PassScope& operator=(const PassScope&) = delete;

 private:
  const SimAudioSystem::Impl* previous_;
};

// Builds a buffer list in `storage` with one buffer per stream; samples of
// stream i start at offsets[i] in `samples`. A stream whose flag is 0 gets
// no data (null, 0 bytes), as the platform does for disabled streams.
cl_audio_buffer_list* buildList(std::vector<std::uint64_t>& storage,
                                const std::vector<std::uint32_t>& streams,
                                const std::vector<std::uint32_t>& offsets, float* samples,
                                std::uint32_t frames, const std::vector<std::uint32_t>* flags) {
  const std::size_t bytes =
      std::max(sizeof(cl_audio_buffer_list),
               offsetof(cl_audio_buffer_list, mBuffers) + streams.size() * sizeof(cl_audio_buffer));
  storage.assign((bytes + 7) / 8, 0);
  auto* list = reinterpret_cast<cl_audio_buffer_list*>(storage.data());
  list->mNumberBuffers = static_cast<std::uint32_t>(streams.size());
  cl_audio_buffer* buffers = list->mBuffers;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const bool on = !flags || i >= flags->size() || (*flags)[i] != 0;
    buffers[i].mNumberChannels = streams[i];
    buffers[i].mDataByteSize = on ? streams[i] * frames * 4 : 0;
    buffers[i].mData = on ? samples + offsets[i] : nullptr;
  }
  return list;
}

// Sample offset of each stream in one contiguous block; returns the total.
std::uint32_t layoutOffsets(const std::vector<std::uint32_t>& streams, std::uint32_t frames,
                            std::vector<std::uint32_t>& offsets) {
  offsets.clear();
  std::uint32_t total = 0;
  for (std::uint32_t channels : streams) {
    offsets.push_back(total);
    total += channels * frames;
  }
  return total;
}

// The recording channels that receive the system mix's left and right.
void stereoChannels(const DeviceSpec& spec, std::uint32_t& left, std::uint32_t& right) {
  const std::uint32_t channels = spec.outputChannels();
  const auto& pair = spec.preferredStereo;
  if (pair.size() == 2 && pair[0] >= 1 && pair[1] >= 1 && pair[0] <= channels &&
      pair[1] <= channels) {
    left = pair[0] - 1;
    right = pair[1] - 1;
  } else {
    left = 0;
    right = channels >= 2 ? 1 : 0;
  }
}

// Writes `frames` frames of `channels` interleaved samples, stream frames
// ps.frames onwards, into the recording at the positions ps describes.
void writePlayed(Recorder& recorder, PlayState& ps, const float* x, std::uint32_t frames,
                 std::uint32_t channels) {
  if (ps.last.size() != channels) {
    ps.last.assign(channels, 0.0f);
    ps.hasLast = false;
  }
  const auto pos = [&ps](std::uint64_t g) {
    return ps.anchorPos +
           static_cast<double>(static_cast<std::int64_t>(g - ps.anchorFrame)) * ps.step;
  };
  if (ps.step == 1.0 && ps.anchorPos == std::floor(ps.anchorPos)) {
    // Same rate, same pace: sample-exact.
    recorder.addFrames(static_cast<std::int64_t>(pos(ps.frames)), x, frames, channels);
  } else {
    // Another rate or pace: linear interpolation between consecutive frames,
    // written out in runs so the recorder sees whole blocks.
    std::vector<float>& out = ps.scratch;
    out.clear();
    std::int64_t runStart = 0;
    for (std::uint32_t i = 0; i < frames; ++i) {
      const std::uint64_t g = ps.frames + i;
      const double xg = pos(g);
      const float* cur = x + std::size_t{i} * channels;
      std::int64_t first = 0, last = -1;
      double xp = 0;
      if (ps.hasLast) {
        xp = pos(g - 1);
        first = static_cast<std::int64_t>(std::floor(xp)) + 1;
        last = static_cast<std::int64_t>(std::floor(xg));
      } else if (xg == std::floor(xg)) {
        first = last = static_cast<std::int64_t>(xg);
      }
      for (std::int64_t j = first; j <= last; ++j) {
        const std::size_t frameCount = out.size() / channels;
        if (frameCount == 0) {
          runStart = j;
        } else if (runStart + static_cast<std::int64_t>(frameCount) != j) {
          recorder.addFrames(runStart, out.data(), static_cast<std::uint32_t>(frameCount),
                             channels);
          out.clear();
          runStart = j;
        }
        if (ps.hasLast) {
          const auto t = static_cast<float>((static_cast<double>(j) - xp) / (xg - xp));
          for (std::uint32_t c = 0; c < channels; ++c) {
            out.push_back(ps.last[c] + (cur[c] - ps.last[c]) * t);
          }
        } else {
          out.insert(out.end(), cur, cur + channels);
        }
      }
      std::copy(cur, cur + channels, ps.last.begin());
      ps.hasLast = true;
    }
    if (!out.empty()) {
      recorder.addFrames(runStart, out.data(), static_cast<std::uint32_t>(out.size() / channels),
                         channels);
    }
  }
  if (frames > 0) {
    std::copy(x + std::size_t{frames - 1} * channels, x + std::size_t{frames} * channels,
              ps.last.begin());
    ps.hasLast = true;
  }
  ps.frames += frames;
}

}  // namespace

// ---------------------------------------------------------------------------
// Locking

IOLock::IOLock(SimAudioSystem::Impl& impl) {
  if (tPassOwner != &impl) lock_ = std::unique_lock(impl.ioMutex);
}

IOLock::~IOLock() = default;

bool SimAudioSystem::Impl::inPass() const {
  return tPassOwner == this;
}

// ---------------------------------------------------------------------------
// Cycles

std::optional<double> SimAudioSystem::Impl::nextCycleTime() const {
  std::optional<double> next;
  for (const auto& [id, run] : runs) {
    if (!isRunningLocked(id)) continue;
    if (!next || run->nextTime < *next) next = run->nextTime;
  }
  return next;
}

double SimAudioSystem::Impl::driverNow() const {
  switch (driver) {
    case IODriver::clock:
      return std::max(ioTime, clock.now() - clockOrigin);
    case IODriver::realtime:
      return std::max(ioTime, steadySeconds() - realOrigin);
    case IODriver::manual:
      break;
  }
  return ioTime;
}

bool SimAudioSystem::Impl::prepareCycle(DeviceRun& run) {
  const IOLayout layout = layoutOf(run.device, clock.now());
  const std::uint32_t frames = layout.frames;
  const double period = frames / (layout.rate * (1.0 + layout.clockErrorPpm * 1e-6));
  if (period != run.period) {
    // The shape changed (rate, buffer size, clock device): a new time grid
    // from this cycle on.
    run.anchorTime = run.nextTime;
    run.anchorCycle = run.cycles;
    run.period = period;
  }
  run.cycleStart = run.nextTime;
  ++run.cycles;
  run.nextTime = run.anchorTime + static_cast<double>(run.cycles - run.anchorCycle) * period;
  run.layout = layout;

  std::vector<const IOProcEntry*> started;
  for (const auto& [id, entry] : procs) {
    if (entry.device == run.device && entry.started) started.push_back(&entry);
  }
  const bool blocked = stalled.count(run.device) > 0 || (captureBlocked && layout.hasTapEntries);
  if (blocked || started.empty()) {
    // Time passes with nothing played: every destination's stream moves on.
    for (auto& [uid, ps] : run.play) {
      ps.frames += frames;
      ps.hasLast = false;
    }
    run.procs.clear();
    return false;
  }

  // Inputs: sub-devices' inputs are silent, taps carry the system mix.
  const std::uint32_t inSamples = layoutOffsets(layout.inputStreams, frames, run.inputOffsets);
  run.input.assign(inSamples, 0.0f);
  const Aggregate* aggregate = nullptr;
  if (auto it = aggregates.find(run.device); it != aggregates.end()) aggregate = &it->second;
  if (!aggregate && room) renderMicrophone(run, period);
  if (aggregate && aggregate->tapAutoStart && !layout.taps.empty()) {
    run.scratch.resize(2 * std::size_t{frames});
    systemMix.render(run.cycleStart, period / frames, frames, run.scratch.data());
    for (const TapFeed& feed : layout.taps) {
      for (std::uint32_t i = 0; i < frames; ++i) {
        const float l = run.scratch[2 * i], r = run.scratch[2 * i + 1];
        for (std::uint32_t c = 0; c < feed.channels; ++c) {
          const float v = feed.mono ? 0.5f * (l + r) : c == 0 ? l : c == 1 ? r : 0.0f;
          if (feed.split) {
            run.input[run.inputOffsets[feed.firstStream + c] + i] = v;
          } else {
            run.input[run.inputOffsets[feed.firstStream] + i * feed.channels + c] = v;
          }
        }
      }
    }
  }

  const std::uint32_t outSamples = layoutOffsets(layout.outputStreams, frames, run.outputOffsets);
  run.procs.resize(started.size());
  for (std::size_t p = 0; p < started.size(); ++p) {
    DeviceRun::ProcBuffers& pb = run.procs[p];
    pb.id = started[p]->id;
    pb.proc = started[p]->proc;
    pb.clientData = started[p]->clientData;
    pb.output.assign(outSamples, 0.0f);
    const std::vector<std::uint32_t>* flags = nullptr;
    if (aggregate) {
      if (auto usage = aggregate->streamUsage.find(pb.id); usage != aggregate->streamUsage.end()) {
        flags = &usage->second;
      }
    }
    buildList(pb.inList, layout.inputStreams, run.inputOffsets, run.input.data(), frames, flags);
    buildList(pb.outList, layout.outputStreams, run.outputOffsets, pb.output.data(), frames,
              nullptr);
  }
  run.stamp = AudioTimeStamp{};
  run.stamp.mSampleTime = static_cast<double>(run.sampleTime);
  run.stamp.mHostTime = static_cast<std::uint64_t>(std::max(run.cycleStart, 0.0) * 1e9);
  run.stamp.mRateScalar = 1.0;
  run.stamp.mFlags =
      kTimeStampSampleTimeValid | kTimeStampHostTimeValid | kTimeStampRateScalarValid;
  run.sampleTime += frames;
  ++run.procCycles;
  ++procCycleCount[run.device];
  return true;
}

void SimAudioSystem::Impl::routeCycle(DeviceRun& run) {
  const IOLayout& layout = run.layout;
  const std::uint32_t frames = layout.frames;
  // What the device plays: the sum of its procedures' outputs.
  const float* mix = nullptr;
  if (run.procs.size() == 1) {
    mix = run.procs.front().output.data();
  } else {
    run.mix.assign(run.procs.empty() ? 0 : run.procs.front().output.size(), 0.0f);
    for (const auto& pb : run.procs) {
      for (std::size_t i = 0; i < run.mix.size(); ++i)
        run.mix[i] += pb.output[i];
    }
    mix = run.mix.data();
  }
  std::set<std::string> routed;
  for (const Destination& dest : layout.destinations) {
    routed.insert(dest.uid);
    const PhysicalDevice* device = deviceByUID(dest.uid);
    if (!device || !device->spec.record || dest.channels == 0) continue;
    Recorder* recorder = recorderFor(*device);
    if (!recorder) continue;
    // The device's channels, interleaved, from its streams in order.
    run.scratch.assign(std::size_t{frames} * dest.channels, 0.0f);
    std::uint32_t channelBase = 0;
    for (std::uint32_t s = dest.firstStream; s < dest.firstStream + dest.streamCount; ++s) {
      const std::uint32_t c = layout.outputStreams[s];
      const float* stream = mix + run.outputOffsets[s];
      for (std::uint32_t i = 0; i < frames; ++i) {
        for (std::uint32_t k = 0; k < c; ++k) {
          run.scratch[std::size_t{i} * dest.channels + channelBase + k] = stream[i * c + k];
        }
      }
      channelBase += c;
    }
    const double rate = recorder->rate();
    const double step = rate / (layout.rate * (1.0 + dest.paceErrorPpm * 1e-6));
    auto [it, fresh] = run.play.try_emplace(dest.uid);
    PlayState& ps = it->second;
    if (fresh) {
      ps.anchorPos = std::llround(run.cycleStart * rate) +
                     std::llround(device->spec.outputLatencySeconds() * rate);
      ps.step = step;
    } else if (ps.step != step) {
      ps.anchorPos += static_cast<double>(ps.frames - ps.anchorFrame) * ps.step;
      ps.anchorFrame = ps.frames;
      ps.step = step;
    }
    writePlayed(*recorder, ps, run.scratch.data(), frames, dest.channels);
  }
  // A device that left the aggregate starts afresh when it rejoins.
  for (auto it = run.play.begin(); it != run.play.end();) {
    it = routed.count(it->first) ? std::next(it) : run.play.erase(it);
  }
}

void SimAudioSystem::Impl::renderDirect(double target) {
  if (!(target > directTime)) return;
  const double begin = directTime;
  directTime = target;
  if (!options.directPlayback || systemMix.isSilence()) return;
  auto it = devices.find(defaultOutput);
  if (it == devices.end() || !it->second.spec.alive || !it->second.spec.record) return;
  if (tapMutesOutput()) return;
  Recorder* recorder = recorderFor(it->second);
  if (!recorder) return;
  const DeviceSpec& spec = it->second.spec;
  const double rate = recorder->rate();
  const double latency = spec.outputLatencySeconds();
  std::uint32_t left = 0, right = 0;
  stereoChannels(spec, left, right);
  const bool mono = spec.outputChannels() < 2;
  const std::int64_t p0 = std::llround(begin * rate);
  const std::int64_t p1 = std::llround(target * rate);
  std::vector<float> block(2 * std::size_t{kDirectBlockFrames});
  for (std::int64_t p = p0; p < p1; p += kDirectBlockFrames) {
    const auto n = static_cast<std::uint32_t>(std::min<std::int64_t>(kDirectBlockFrames, p1 - p));
    // Frame p sounds at p / rate; the device was handed it `latency` earlier.
    systemMix.render(static_cast<double>(p) / rate - latency, 1.0 / rate, n, block.data());
    for (std::uint32_t i = 0; i < n; ++i) {
      const float l = block[2 * i], r = block[2 * i + 1];
      if (mono) {
        recorder->add(p + i, 0, 0.5f * (l + r));
      } else {
        recorder->add(p + i, left, l);
        recorder->add(p + i, right, r);
      }
    }
  }
}

void SimAudioSystem::Impl::ioPassTo(double target) {
  PassScope scope(this);
  for (;;) {
    DeviceRun* run = nullptr;
    bool call = false;
    {
      std::lock_guard lock(mutex);
      for (auto it = runs.begin(); it != runs.end();) {
        it = it->second->doomed ? runs.erase(it) : std::next(it);
      }
      for (auto& [id, candidate] : runs) {
        if (!isRunningLocked(id) || !(candidate->nextTime < target)) continue;
        if (!run || candidate->nextTime < run->nextTime) run = candidate.get();
      }
      if (!run) break;
      call = prepareCycle(*run);
    }
    if (!call) continue;
    // The procedures run without the state lock: they may call back in.
    for (auto& pb : run->procs) {
      pb.proc(run->device, asRenderTimeStamp(&run->stamp),
              reinterpret_cast<const cl_audio_buffer_list*>(pb.inList.data()),
              asRenderTimeStamp(&run->stamp),
              reinterpret_cast<cl_audio_buffer_list*>(pb.outList.data()),
              asRenderTimeStamp(&run->stamp), pb.clientData);
    }
    std::lock_guard lock(mutex);
    routeCycle(*run);
  }
  std::lock_guard lock(mutex);
  renderDirect(target);
  ioTime = std::max(ioTime, target);
}

// ---------------------------------------------------------------------------
// Drivers

void SimAudioSystem::Impl::wakeDriver() {
  if (driver == IODriver::clock) {
    scheduleClockTick();
  } else if (driver == IODriver::realtime) {
    {
      std::lock_guard lock(realtimeMutex);
      realtimeKick = true;
    }
    realtimeWake.notify_all();
  }
}

void SimAudioSystem::Impl::scheduleClockTick() {
  if (driver != IODriver::clock) return;
  const auto next = nextCycleTime();
  if (!next) return;
  if (clockTickDue && *clockTickDue <= *next) return;
  clockTick.cancel();
  clockTickDue = *next;
  std::weak_ptr<Impl> weak = weak_from_this();
  clockTick = clock.postAfter(*next + clockOrigin - clock.now(), [weak] {
    if (auto self = weak.lock()) self->onClockTick();
  });
}

void SimAudioSystem::Impl::onClockTick() {
  std::lock_guard io(ioMutex);
  double target;
  {
    std::lock_guard lock(mutex);
    clockTickDue.reset();
    if (driver != IODriver::clock) return;
    target = clock.now() - clockOrigin + kTickMargin;
  }
  ioPassTo(target);
  std::lock_guard lock(mutex);
  scheduleClockTick();
}

void SimAudioSystem::Impl::startRealtime() {
  {
    std::lock_guard lock(realtimeMutex);
    realtimeStop = false;
    realtimeKick = false;
  }
  realtimeThread = std::thread([this] { realtimeLoop(); });
}

void SimAudioSystem::Impl::stopRealtime() {
  {
    std::lock_guard lock(realtimeMutex);
    realtimeStop = true;
  }
  realtimeWake.notify_all();
  if (realtimeThread.joinable()) realtimeThread.join();
}

void SimAudioSystem::Impl::realtimeLoop() {
  pthread_setname_np(pthread_self(), "sim-audio-io");
  constexpr double kIdleWait = 0.005;
  for (;;) {
    {
      std::lock_guard lock(realtimeMutex);
      if (realtimeStop) return;
    }
    std::optional<double> next;
    double origin = 0;
    {
      std::lock_guard io(ioMutex);
      double target;
      {
        std::lock_guard lock(mutex);
        target = steadySeconds() - realOrigin;
      }
      ioPassTo(target);
      std::lock_guard lock(mutex);
      next = nextCycleTime();
      origin = realOrigin;
    }
    const double wakeAt = next ? origin + *next : steadySeconds() + kIdleWait;
    const auto deadline = std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(wakeAt)));
    std::unique_lock lock(realtimeMutex);
    realtimeWake.wait_until(lock, deadline, [this] { return realtimeStop || realtimeKick; });
    realtimeKick = false;
  }
}

// ---------------------------------------------------------------------------
// Public IO control

void SimAudioSystem::setIODriver(IODriver driver) {
  if (impl_->inPass()) throw std::logic_error("setIODriver called from inside an IO cycle");
  impl_->stopRealtime();
  {
    IOLock io(*impl_);
    std::lock_guard lock(impl_->mutex);
    impl_->driver = driver;
    impl_->clockTick.cancel();
    impl_->clockTickDue.reset();
    impl_->clockOrigin = impl_->clock.now() - impl_->ioTime;
    impl_->realOrigin = steadySeconds() - impl_->ioTime;
    impl_->scheduleClockTick();
  }
  if (driver == IODriver::realtime) impl_->startRealtime();
}

IODriver SimAudioSystem::ioDriver() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->driver;
}

double SimAudioSystem::ioTime() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->ioTime;
}

void SimAudioSystem::stepIO(double seconds) {
  if (impl_->inPass()) throw std::logic_error("stepIO called from inside an IO cycle");
  std::lock_guard io(impl_->ioMutex);
  double target;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->driver != IODriver::manual) {
      throw std::logic_error("stepIO needs the manual IO driver");
    }
    target = impl_->ioTime + (seconds > 0 ? seconds : 0.0);
  }
  impl_->ioPassTo(target);
}

bool SimAudioSystem::stepCycles(AudioObjectID device, std::uint64_t cycles) {
  if (impl_->inPass()) throw std::logic_error("stepCycles called from inside an IO cycle");
  std::lock_guard io(impl_->ioMutex);
  for (std::uint64_t k = 0; k < cycles; ++k) {
    double start;
    {
      std::lock_guard lock(impl_->mutex);
      if (impl_->driver != IODriver::manual) {
        throw std::logic_error("stepCycles needs the manual IO driver");
      }
      auto it = impl_->runs.find(device);
      if (it == impl_->runs.end() || !impl_->isRunningLocked(device)) return false;
      start = it->second->nextTime;
    }
    impl_->ioPassTo(start + kTickMargin);
  }
  return true;
}

bool SimAudioSystem::isRunning(AudioObjectID device) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->isRunningLocked(device);
}

std::uint64_t SimAudioSystem::procCycles(AudioObjectID device) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->procCycleCount.find(device);
  return it == impl_->procCycleCount.end() ? 0 : it->second;
}

}  // namespace choralink::sim
