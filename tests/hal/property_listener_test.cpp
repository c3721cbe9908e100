// PropertyListener owns exactly one registration: made at construction,
// undone once with the same block, never when refused.
#include "engine/hal/property_listener.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "engine/dispatch/virtual_executor.h"
#include "tests/hal/mock_audio_system.h"

namespace choralink {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Eq;
using ::testing::Ref;
using ::testing::Return;
using ::testing::SaveArg;

class PropertyListenerTest : public ::testing::Test {
 protected:
  ::testing::StrictMock<MockAudioSystem> system;
  VirtualExecutor queue{"app.choralink.engine"};
};

TEST_F(PropertyListenerTest, RegistersOnTheQueueAndCallsTheHandlerWithoutArguments) {
  PropertyListenerBlock registered;
  EXPECT_CALL(system,
              addPropertyListener(kSystemObject,
                                  Eq(PropertyAddress{kPropDevices, kScopeGlobal, kElementMain}),
                                  Ref(queue), _))
      .WillOnce(DoAll(SaveArg<3>(&registered), Return(kStatusOK)));
  int calls = 0;
  PropertyListener listener(system, kSystemObject, kPropDevices, kScopeGlobal, queue,
                            [&] { ++calls; });
  EXPECT_TRUE(listener.active());
  ASSERT_TRUE(registered);
  EXPECT_EQ(registered, listener.block());
  (*registered)(kSystemObject, {listener.addr()});
  EXPECT_EQ(calls, 1);

  EXPECT_CALL(system, removePropertyListener(kSystemObject, Eq(listener.addr()), _, Eq(registered)))
      .WillOnce(Return(kStatusOK));
}

TEST_F(PropertyListenerTest, RemoveUnregistersTheSameBlockOnceAndIgnoresItsStatus) {
  PropertyListenerBlock registered;
  EXPECT_CALL(system, addPropertyListener(_, _, _, _))
      .WillOnce(DoAll(SaveArg<3>(&registered), Return(kStatusOK)));
  PropertyListener listener(system, 9, kPropDeviceIsAlive, kScopeGlobal, queue, [] {});
  EXPECT_CALL(system, removePropertyListener(9, _, _, Eq(registered)))
      .WillOnce(Return(kStatusBadObject));
  listener.remove();
  EXPECT_FALSE(listener.active());
  listener.remove();  // nothing more
}

TEST_F(PropertyListenerTest, RefusedRegistrationIsInactiveAndNeverRemoved) {
  EXPECT_CALL(system, addPropertyListener(_, _, _, _)).WillOnce(Return(kStatusBadObject));
  {
    PropertyListener listener(system, 9, kPropProcessorOverload, kScopeGlobal, queue, [] {});
    EXPECT_FALSE(listener.active());
    listener.remove();
  }  // the strict mock fails on any removal
}

TEST_F(PropertyListenerTest, DestructionRemovesAndMovesTransferTheRegistration) {
  EXPECT_CALL(system, addPropertyListener(_, _, _, _)).WillRepeatedly(Return(kStatusOK));
  EXPECT_CALL(system, removePropertyListener(6, _, _, _)).WillOnce(Return(kStatusOK));
  std::vector<PropertyListener> listeners;
  listeners.emplace_back(system, 5, kPropDeviceIsAlive, kScopeGlobal, queue, [] {});
  listeners.emplace_back(system, 6, kPropDeviceIsAlive, kScopeGlobal, queue, [] {});
  PropertyListener moved = std::move(listeners[0]);
  EXPECT_TRUE(moved.active());
  EXPECT_FALSE(listeners[0].active());
  listeners.clear();  // removes 6 only
  ::testing::Mock::VerifyAndClearExpectations(&system);
  EXPECT_CALL(system, removePropertyListener(5, _, _, _)).WillOnce(Return(kStatusOK));
}

}  // namespace
}  // namespace choralink
