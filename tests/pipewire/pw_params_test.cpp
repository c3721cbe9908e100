// What the backend reads out of PipeWire's params and property texts. The
// pods are built here the way a daemon sends them.
#include <gtest/gtest.h>

#include <spa/param/audio/format-utils.h>
#include <spa/param/latency-utils.h>
#include <spa/pod/builder.h>

#include "engine/hal/pipewire/pw_params.h"
#include "engine/hal/pipewire/pw_ports.h"

namespace choralink::pipewire {
namespace {

class PodBuffer {
 public:
  PodBuffer() { spa_pod_builder_init(&builder_, buffer_, sizeof(buffer_)); }
  spa_pod_builder* get() { return &builder_; }

 private:
  uint8_t buffer_[4096];
  spa_pod_builder builder_{};
};

const spa_pod* fixedFormat(PodBuffer& b, uint32_t rate, std::vector<uint32_t> positions) {
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32P;
  info.rate = rate;
  info.channels = static_cast<uint32_t>(positions.size());
  for (size_t i = 0; i < positions.size(); ++i)
    info.position[i] = positions[i];
  return spa_format_audio_raw_build(b.get(), SPA_PARAM_EnumFormat, &info);
}

// An EnumFormat object of `mediaType`/raw with the properties `add` puts in.
template <class Add>
const spa_pod* formatObject(PodBuffer& b, uint32_t mediaType, Add add) {
  spa_pod_frame frame;
  spa_pod_builder_push_object(b.get(), &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(b.get(), SPA_FORMAT_mediaType, SPA_POD_Id(mediaType), SPA_FORMAT_mediaSubtype,
                      SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
  add(b.get());
  return static_cast<const spa_pod*>(spa_pod_builder_pop(b.get(), &frame));
}

TEST(PwAudioFormat, RatesChannelsAndPositionsOfEachFormOfParam) {
  PodBuffer b[4];
  const std::pair<const spa_pod*, std::optional<AudioFormat>> cases[] = {
      {fixedFormat(b[0], 44100, {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR}),
       AudioFormat{44100, {{44100, 44100}}, 2, {"FL", "FR"}}},
      // A range of rates stays one range; an enumeration gives single rates
      // without repeats.
      {formatObject(b[1], SPA_MEDIA_TYPE_audio,
                    [](spa_pod_builder* p) {
                      spa_pod_builder_add(
                          p, SPA_FORMAT_AUDIO_rate, SPA_POD_CHOICE_RANGE_Int(48000, 8000, 192000),
                          SPA_FORMAT_AUDIO_channels, SPA_POD_CHOICE_RANGE_Int(2, 1, 8), 0);
                    }),
       AudioFormat{48000, {{8000, 192000}}, 2, {}}},
      {formatObject(b[2], SPA_MEDIA_TYPE_audio,
                    [](spa_pod_builder* p) {
                      spa_pod_builder_add(p, SPA_FORMAT_AUDIO_rate,
                                          SPA_POD_CHOICE_ENUM_Int(4, 48000, 44100, 48000, 96000),
                                          0);
                    }),
       AudioFormat{48000, {{44100, 44100}, {48000, 48000}, {96000, 96000}}, 0, {}}},
      {formatObject(b[3], SPA_MEDIA_TYPE_video, [](spa_pod_builder*) {}), std::nullopt},
      {nullptr, std::nullopt},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(parseAudioFormat(cases[i].first), cases[i].second);
  }
  PodBuffer c;
  spa_pod_builder_int(c.get(), 5);
  EXPECT_FALSE(parseAudioFormat(static_cast<const spa_pod*>(spa_pod_builder_deref(c.get(), 0))))
      << "not an object";
}

TEST(PwLatency, LatencyParamKeepsDirectionAndMaxima) {
  PodBuffer b;
  const spa_latency_info info{SPA_DIRECTION_INPUT, 1, 2, 100, 256, 1000, 5'000'000};
  const auto value = parseLatency(spa_latency_build(b.get(), SPA_PARAM_Latency, &info));
  ASSERT_EQ(value, (LatencyValue{true, 2, 256, 5'000'000}));
  // 2 quanta of 1024 + 256 frames + 5 ms at 48 kHz (240 frames).
  EXPECT_EQ(latencyFrames(*value, 1024, 48000), 2048 + 256 + 240);
}

TEST(PwLatency, ProcessLatencyParses) {
  PodBuffer b;
  const spa_process_latency_info info{0.5f, 64, 1'000'000};
  const auto value =
      parseProcessLatency(spa_process_latency_build(b.get(), SPA_PARAM_ProcessLatency, &info));
  ASSERT_TRUE(value);
  EXPECT_EQ(latencyFrames(*value, 512, 44100), 256 + 64 + 44);  // 44.1 rounds to 44
  PodBuffer c;
  EXPECT_FALSE(parseLatency(spa_process_latency_build(c.get(), SPA_PARAM_ProcessLatency, &info)));
}

TEST(PwPropertyTexts, PositionsInEveryWrittenForm) {
  EXPECT_EQ(parsePositions("FL,FR"), (std::vector<std::string>{"FL", "FR"}));
  EXPECT_EQ(parsePositions("[ FL FR FC ]"), (std::vector<std::string>{"FL", "FR", "FC"}));
  EXPECT_EQ(parsePositions("[ \"FL\", \"FR\" ]"), (std::vector<std::string>{"FL", "FR"}));
  EXPECT_TRUE(parsePositions("").empty());
}

TEST(PwPropertyTexts, QuantumFractionConvertsToTheGivenRate) {
  EXPECT_EQ(parseQuantumFraction("1024/48000", 48000), 1024);
  EXPECT_EQ(parseQuantumFraction("512/44100", 44100), 512);
  EXPECT_EQ(parseQuantumFraction("1024/44100", 48000), 1115);  // 1114.56
  EXPECT_EQ(parseQuantumFraction("256", 48000), std::nullopt);
  EXPECT_EQ(parseQuantumFraction("0/48000", 48000), std::nullopt);
  EXPECT_EQ(parseQuantumFraction("x/48000", 48000), std::nullopt);
}

TEST(PwPropertyTexts, MetadataNameRoundTripsAndRejectsOtherValues) {
  EXPECT_EQ(parseMetadataName(metadataNameValue("alsa_output.pci-0000_00_1f.3")),
            "alsa_output.pci-0000_00_1f.3");
  EXPECT_EQ(parseMetadataName("{ \"name\": \"fake_bt\" }"), "fake_bt");
  EXPECT_EQ(parseMetadataName("fake_bt"), "");
  EXPECT_EQ(parseMetadataName("{ \"name\": 3 }"), "");
  EXPECT_EQ(parseMetadataName(""), "");
  EXPECT_EQ(parseInteger("42"), 42);
  EXPECT_EQ(parseInteger("4x"), std::nullopt);
}

PwPort port(uint32_t id, std::string channel, bool output) {
  PwPort p;
  p.id = id;
  p.channel = std::move(channel);
  p.output = output;
  return p;
}

// Output → input port ids of each pair, in order.
std::vector<std::pair<uint32_t, uint32_t>> ids(const std::vector<PortPair>& pairs) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const auto& p : pairs)
    out.emplace_back(p.output.id, p.input.id);
  return out;
}

TEST(PwPortPairing, PairsByChannelFirstThenInOrderAndSurplusOutputsStayUnlinked) {
  EXPECT_EQ(ids(pairPorts({port(1, "FR", true), port(2, "FL", true), port(3, "", true)},
                          {port(10, "FL", false), port(11, "FR", false), port(12, "FC", false)})),
            (std::vector<std::pair<uint32_t, uint32_t>>{{1, 11}, {2, 10}, {3, 12}}));
  EXPECT_EQ(ids(pairPorts({port(1, "FL", true), port(2, "FR", true), port(3, "FC", true)},
                          {port(10, "MONO", false)})),
            (std::vector<std::pair<uint32_t, uint32_t>>{{1, 10}}));
}

}  // namespace
}  // namespace choralink::pipewire
