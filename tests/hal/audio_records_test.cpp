// The records that cross the seam: their encodings and decodings.
#include "engine/hal/audio_records.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace choralink {
namespace {

// The records' layouts are checked where they are declared, at compile time.
TEST(AudioRecordsTest, StreamUsageRoundTripsWithFlagsFromByteTwelve) {
  const auto bytes = encodeStreamUsage(IOProcID{0x1234}, {0, 1});
  ASSERT_EQ(bytes.size(), 20u);
  std::uint32_t count, second;
  std::memcpy(&count, bytes.data() + 8, 4);
  std::memcpy(&second, bytes.data() + 16, 4);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(second, 1u);
  const auto usage = decodeStreamUsage(bytes.data(), bytes.size());
  ASSERT_TRUE(usage);
  EXPECT_EQ(usage->proc, IOProcID{0x1234});
  EXPECT_EQ(usage->flags, (std::vector<std::uint32_t>{0, 1}));
}

TEST(AudioRecordsTest, StreamUsageRefusesRecordsShorterThanTheyClaim) {
  auto bytes = encodeStreamUsage(IOProcID{1}, {1, 1, 1});
  EXPECT_FALSE(decodeStreamUsage(bytes.data(), bytes.size() - 1));
  EXPECT_FALSE(decodeStreamUsage(bytes.data(), 11));
  EXPECT_FALSE(decodeStreamUsage(nullptr, 40));
  const auto empty = encodeStreamUsage(IOProcID{1}, {});
  EXPECT_EQ(decodeStreamUsage(empty.data(), empty.size())->flags.size(), 0u);
}

TEST(AudioRecordsTest, StreamConfigurationIsABufferListWithoutData) {
  const auto bytes = encodeStreamConfiguration({2, 6});
  ASSERT_EQ(bytes.size(), 8u + 2 * 16u);
  cl_audio_buffer_list header;
  std::memcpy(&header, bytes.data(), sizeof header);  // first buffer included
  EXPECT_EQ(header.mNumberBuffers, 2u);
  EXPECT_EQ(header.mBuffers[0].mNumberChannels, 2u);
  EXPECT_EQ(header.mBuffers[0].mData, nullptr);
  EXPECT_EQ(decodeStreamConfiguration(bytes.data(), bytes.size()),
            (std::vector<std::uint32_t>{2, 6}));
  EXPECT_EQ(decodeStreamConfiguration(bytes.data(), 8 + 16), (std::vector<std::uint32_t>{2}));
  EXPECT_TRUE(decodeStreamConfiguration(bytes.data(), 3).empty());
  EXPECT_EQ(encodeStreamConfiguration({}).size(), 8u);
}

}  // namespace
}  // namespace choralink
