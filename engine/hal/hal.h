// Typed property access over the seam. Every helper builds the address
// {selector, scope, element 0}, makes the platform calls described at each
// function, and reports a failure as HALError whose operation text names the
// call and the selector ("get 'nsrt' (1853059700)"). None of them retries.
// Stateless; safe from any thread the backend allows.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/hal/audio_records.h"
#include "engine/hal/audio_system.h"
#include "engine/hal/hal_error.h"

namespace choralink::HAL {

inline PropertyAddress address(std::uint32_t selector, std::uint32_t scope = kScopeGlobal) {
  return PropertyAddress{selector, scope, kElementMain};
}

// Reads exactly sizeof(T) bytes (4 or 8) into a value that starts as
// `initial`. Throws HALError("get " + fourCC(selector)).
template <class T>
  requires std::same_as<T, std::uint32_t> || std::same_as<T, double>
T get(AudioSystem& system, AudioObjectID object, std::uint32_t selector, std::uint32_t scope,
      T initial = T{});

// Asks for the size, then reads size / sizeof(T) elements into an array
// pre-filled with `zero`, returning the first min(allocated, bytes read /
// sizeof(T)) of them. A size below one element gives an empty array without
// a read. Throws HALError("size " + fourCC) or HALError("get " + fourCC).
template <class T>
  requires std::same_as<T, std::uint32_t> || std::same_as<T, ValueRange>
std::vector<T> getArray(AudioSystem& system, AudioObjectID object, std::uint32_t selector,
                        std::uint32_t scope, T zero = T{});

// Reads one string reference; a null reference gives "". Throws
// HALError("get string " + fourCC(selector)).
std::string getString(AudioSystem& system, AudioObjectID object, std::uint32_t selector,
                      std::uint32_t scope = kScopeGlobal);

// Writes the 8-byte double. Throws HALError("set " + fourCC(selector)).
void set(AudioSystem& system, AudioObjectID object, std::uint32_t selector, double value,
         std::uint32_t scope = kScopeGlobal);

// The object's streams in `scope` ("slay"), as the channel count of each
// buffer in order. Never throws: a failed size query or read, or a size of 0,
// gives an empty array.
std::vector<int> streamChannels(AudioSystem& system, AudioObjectID object, std::uint32_t scope);

}  // namespace choralink::HAL
