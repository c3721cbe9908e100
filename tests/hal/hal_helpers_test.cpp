// The HAL helpers' byte rules against a mock seam: exact sizes, initial
// values, array sizing and cutting, string references, and the errors.
#include "engine/hal/hal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "tests/hal/mock_audio_system.h"

namespace choralink {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Field;
using ::testing::Invoke;
using ::testing::Return;
using ::testing::SetArgReferee;

constexpr AudioObjectID kDevice = 77;

MATCHER_P2(AddressIs, selector, scope, "") {
  return arg.selector == selector && arg.scope == scope && arg.element == kElementMain;
}

class HALHelpersTest : public ::testing::Test {
 protected:
  ::testing::StrictMock<MockAudioSystem> system;
};

// The HALError `call` threw, as "operation: status"; "" when none.
template <class Call>
std::string failure(Call call) {
  try {
    call();
  } catch (const HALError& e) {
    return e.operation() + ": " + std::to_string(e.status());
  }
  return "";
}

TEST_F(HALHelpersTest, GetUInt32ReadsExactlyFourBytesStartingFromTheInitialValue) {
  EXPECT_CALL(system, getPropertyData(kDevice, AddressIs(kPropDeviceIsAlive, kScopeGlobal), 0,
                                      nullptr, _, _))
      .WillOnce(Invoke([](AudioObjectID, const PropertyAddress&, std::uint32_t, const void*,
                          std::uint32_t& size, void* data) {
        EXPECT_EQ(size, 4u);
        std::uint32_t seen;
        std::memcpy(&seen, data, 4);
        EXPECT_EQ(seen, 1u);  // the initial value is in place before the read
        return kStatusOK;     // a backend that writes nothing leaves it
      }));
  EXPECT_EQ(HAL::get(system, kDevice, kPropDeviceIsAlive, kScopeGlobal, std::uint32_t{1}), 1u);
}

TEST_F(HALHelpersTest, GetArrayAllocatesBySizeAndKeepsOnlyWhatWasRead) {
  // Size 10 bytes: two uint32 elements; the read then reports 4 bytes.
  EXPECT_CALL(system,
              getPropertyDataSize(kDevice, AddressIs(kPropDevices, kScopeGlobal), 0, nullptr, _))
      .WillOnce(DoAll(SetArgReferee<4>(10u), Return(kStatusOK)));
  EXPECT_CALL(system,
              getPropertyData(kDevice, AddressIs(kPropDevices, kScopeGlobal), 0, nullptr, _, _))
      .WillOnce(Invoke([](AudioObjectID, const PropertyAddress&, std::uint32_t, const void*,
                          std::uint32_t& size, void* data) {
        EXPECT_EQ(size, 8u);
        const std::uint32_t id = 42;
        std::memcpy(data, &id, 4);
        size = 4;
        return kStatusOK;
      }));
  EXPECT_EQ(HAL::getArray<std::uint32_t>(system, kDevice, kPropDevices, kScopeGlobal),
            std::vector<std::uint32_t>{42});
}

TEST_F(HALHelpersTest, GetArrayPrefillsWithTheZeroValueAndNeedsOneWholeElement) {
  EXPECT_CALL(system, getPropertyDataSize(_, _, _, _, _))
      .WillOnce(DoAll(SetArgReferee<4>(32u), Return(kStatusOK)))
      .WillOnce(DoAll(SetArgReferee<4>(15u), Return(kStatusOK)));
  EXPECT_CALL(system, getPropertyData(_, _, _, _, _, _))
      .WillOnce(Invoke([](AudioObjectID, const PropertyAddress&, std::uint32_t, const void*,
                          std::uint32_t&, void*) { return kStatusOK; }));  // writes nothing
  const ValueRange zero{1, 2};
  EXPECT_EQ(HAL::getArray(system, kDevice, kPropAvailableNominalSampleRates, kScopeGlobal, zero),
            (std::vector<ValueRange>{zero, zero}));
  EXPECT_TRUE(
      HAL::getArray(system, kDevice, kPropAvailableNominalSampleRates, kScopeGlobal, zero).empty())
      << "15 bytes hold no 16-byte range: no read";
}

TEST_F(HALHelpersTest, GetArrayReportsSizeAndReadFailuresApart) {
  EXPECT_CALL(system, getPropertyDataSize(_, _, _, _, _))
      .WillOnce(Return(kStatusUnknownProperty))
      .WillOnce(DoAll(SetArgReferee<4>(8u), Return(kStatusOK)));
  EXPECT_CALL(system, getPropertyData(_, _, _, _, _, _)).WillOnce(Return(kStatusBadObject));
  const auto read = [&] {
    HAL::getArray<std::uint32_t>(system, kDevice, kPropActiveSubDevices, kScopeGlobal);
  };
  EXPECT_EQ(failure(read), "size 'agrp' (1634169456): " + std::to_string(kStatusUnknownProperty));
  EXPECT_EQ(failure(read), "get 'agrp' (1634169456): " + std::to_string(kStatusBadObject));
}

TEST_F(HALHelpersTest, GetStringTakesTheReferenceAndNamesTheOperationOnFailure) {
  EXPECT_CALL(system, getPropertyData(kDevice, AddressIs(kPropName, kScopeGlobal), _, _, _, _))
      .WillOnce(Invoke([](AudioObjectID, const PropertyAddress&, std::uint32_t, const void*,
                          std::uint32_t& size, void* data) {
        EXPECT_EQ(size, kStringRefSize);
        writeStringRef(data, "Living Room TV");
        return kStatusOK;
      }))
      .WillOnce(Invoke([](AudioObjectID, const PropertyAddress&, std::uint32_t, const void*,
                          std::uint32_t&, void* data) {
        writeStringRef(data, std::nullopt);
        return kStatusOK;
      }));
  EXPECT_EQ(HAL::getString(system, kDevice, kPropName), "Living Room TV");
  EXPECT_EQ(HAL::getString(system, kDevice, kPropName), "") << "a null reference";

  EXPECT_CALL(system, getPropertyData(_, _, _, _, _, _)).WillOnce(Return(kStatusUnknownProperty));
  EXPECT_EQ(failure([&] { HAL::getString(system, kDevice, kPropTapUID); }),
            "get string 'tuid' (1953851748): " + std::to_string(kStatusUnknownProperty));
}

TEST_F(HALHelpersTest, SetWritesTheEightByteDouble) {
  EXPECT_CALL(system,
              setPropertyData(kDevice, AddressIs(kPropNominalSampleRate, kScopeGlobal), 8u, _))
      .WillOnce(Invoke([](AudioObjectID, const PropertyAddress&, std::uint32_t, const void* data) {
        double value;
        std::memcpy(&value, data, 8);
        EXPECT_EQ(value, 48000.0);
        return kStatusOK;
      }));
  HAL::set(system, kDevice, kPropNominalSampleRate, 48000.0);

  EXPECT_CALL(system, setPropertyData(_, _, _, _)).WillOnce(Return(kStatusUnsupportedFormat));
  EXPECT_EQ(failure([&] { HAL::set(system, kDevice, kPropNominalSampleRate, 12345.0); }),
            "set 'nsrt' (1853059700): " + std::to_string(kStatusUnsupportedFormat));
}

// A failed size query is the simulator's fault suite's (through these helpers).
TEST_F(HALHelpersTest, StreamChannelsNeverThrows) {
  EXPECT_CALL(system, getPropertyDataSize(_, _, _, _, _))
      .WillOnce(DoAll(SetArgReferee<4>(0u), Return(kStatusOK)));
  EXPECT_TRUE(HAL::streamChannels(system, kDevice, kScopeInput).empty());

  EXPECT_CALL(system, getPropertyDataSize(_, _, _, _, _))
      .WillOnce(DoAll(SetArgReferee<4>(24u), Return(kStatusOK)));
  EXPECT_CALL(system, getPropertyData(_, _, _, _, _, _)).WillOnce(Return(kStatusBadObject));
  EXPECT_TRUE(HAL::streamChannels(system, kDevice, kScopeInput).empty());
}

TEST_F(HALHelpersTest, StreamChannelsIgnoresBuffersTheBytesDoNotHold) {
  // The header claims five buffers, the read returns room for two.
  auto list = encodeStreamConfiguration({2, 2});
  const std::uint32_t claimed = 5;
  std::memcpy(list.data(), &claimed, 4);
  EXPECT_CALL(system, getPropertyDataSize(_, _, _, _, _))
      .WillOnce(
          DoAll(SetArgReferee<4>(static_cast<std::uint32_t>(list.size())), Return(kStatusOK)));
  EXPECT_CALL(system, getPropertyData(_, _, _, _, _, _))
      .WillOnce(Invoke([&](AudioObjectID, const PropertyAddress&, std::uint32_t, const void*,
                           std::uint32_t&, void* data) {
        std::memcpy(data, list.data(), list.size());
        return kStatusOK;
      }));
  EXPECT_EQ(HAL::streamChannels(system, kDevice, kScopeOutput), (std::vector<int>{2, 2}));
}

}  // namespace
}  // namespace choralink
