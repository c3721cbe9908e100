// A gmock stand-in for the seam, for tests of the byte rules of the helpers
// on top of it (what is asked for, in which sizes, and what comes back).
#pragma once

#include <gmock/gmock.h>

#include "engine/hal/audio_system.h"

namespace choralink {

class MockAudioSystem : public AudioSystem {
 public:
  MOCK_METHOD(HALStatus, getPropertyDataSize,
              (AudioObjectID, const PropertyAddress&, std::uint32_t, const void*, std::uint32_t&),
              (override));
  MOCK_METHOD(HALStatus, getPropertyData,
              (AudioObjectID, const PropertyAddress&, std::uint32_t, const void*, std::uint32_t&,
               void*),
              (override));
  MOCK_METHOD(HALStatus, setPropertyData,
              (AudioObjectID, const PropertyAddress&, std::uint32_t, const void*), (override));
  MOCK_METHOD(HALStatus, addPropertyListener,
              (AudioObjectID, const PropertyAddress&, Executor&, PropertyListenerBlock),
              (override));
  MOCK_METHOD(HALStatus, removePropertyListener,
              (AudioObjectID, const PropertyAddress&, Executor&, const PropertyListenerBlock&),
              (override));
  MOCK_METHOD(HALStatus, createProcessTap, (const TapDescription&, AudioObjectID&), (override));
  MOCK_METHOD(HALStatus, destroyProcessTap, (AudioObjectID), (override));
  MOCK_METHOD(HALStatus, createAggregateDevice, (const AggregateDescription&, AudioObjectID&),
              (override));
  MOCK_METHOD(HALStatus, destroyAggregateDevice, (AudioObjectID), (override));
  MOCK_METHOD(HALStatus, createIOProcID, (AudioObjectID, IOProc, void*, IOProcID&), (override));
  MOCK_METHOD(HALStatus, destroyIOProcID, (AudioObjectID, IOProcID), (override));
  MOCK_METHOD(HALStatus, startDevice, (AudioObjectID, IOProcID), (override));
  MOCK_METHOD(HALStatus, stopDevice, (AudioObjectID, IOProcID), (override));
};

}  // namespace choralink
