#include "engine/hal/hal.h"

#include <algorithm>

#include "engine/hal/four_cc.h"

namespace choralink::HAL {

template <class T>
requires std::same_as<T, std::uint32_t> || std::same_as<T, double> T get(AudioSystem& system,
                                                                         AudioObjectID object,
                                                                         std::uint32_t selector,
                                                                         std::uint32_t scope,
                                                                         T initial) {
  T value = initial;
  std::uint32_t size = sizeof(T);
  const HALStatus status =
      system.getPropertyData(object, address(selector, scope), 0, nullptr, size, &value);
  if (status != kStatusOK) throw HALError(status, "get " + fourCC(selector));
  return value;
}

template std::uint32_t get<std::uint32_t>(AudioSystem&, AudioObjectID, std::uint32_t, std::uint32_t,
                                          std::uint32_t);
template double get<double>(AudioSystem&, AudioObjectID, std::uint32_t, std::uint32_t, double);

template <class T>
requires std::same_as<T, std::uint32_t> || std::same_as<T, ValueRange> std::vector<T> getArray(
    AudioSystem& system, AudioObjectID object, std::uint32_t selector, std::uint32_t scope,
    T zero) {
  const PropertyAddress addr = address(selector, scope);
  std::uint32_t size = 0;
  HALStatus status = system.getPropertyDataSize(object, addr, 0, nullptr, size);
  if (status != kStatusOK) throw HALError(status, "size " + fourCC(selector));
  const std::size_t count = size / sizeof(T);
  if (count == 0) return {};
  std::vector<T> values(count, zero);
  std::uint32_t ioSize = static_cast<std::uint32_t>(count * sizeof(T));
  status = system.getPropertyData(object, addr, 0, nullptr, ioSize, values.data());
  if (status != kStatusOK) throw HALError(status, "get " + fourCC(selector));
  values.resize(std::min<std::size_t>(count, ioSize / sizeof(T)));
  return values;
}

template std::vector<std::uint32_t> getArray<std::uint32_t>(AudioSystem&, AudioObjectID,
                                                            std::uint32_t, std::uint32_t,
                                                            std::uint32_t);
template std::vector<ValueRange> getArray<ValueRange>(AudioSystem&, AudioObjectID, std::uint32_t,
                                                      std::uint32_t, ValueRange);

std::string getString(AudioSystem& system, AudioObjectID object, std::uint32_t selector,
                      std::uint32_t scope) {
  // Room for one reference, null until the backend writes one.
  alignas(void*) unsigned char ref[kStringRefSize] = {};
  std::uint32_t size = kStringRefSize;
  const HALStatus status =
      system.getPropertyData(object, address(selector, scope), 0, nullptr, size, ref);
  if (status != kStatusOK) throw HALError(status, "get string " + fourCC(selector));
  if (size < kStringRefSize) return {};
  auto text = takeStringRef(ref);
  return text ? *text : std::string();
}

void set(AudioSystem& system, AudioObjectID object, std::uint32_t selector, double value,
         std::uint32_t scope) {
  const HALStatus status =
      system.setPropertyData(object, address(selector, scope), sizeof value, &value);
  if (status != kStatusOK) throw HALError(status, "set " + fourCC(selector));
}

std::vector<int> streamChannels(AudioSystem& system, AudioObjectID object, std::uint32_t scope) {
  const PropertyAddress addr = address(kPropStreamConfiguration, scope);
  std::uint32_t size = 0;
  if (system.getPropertyDataSize(object, addr, 0, nullptr, size) != kStatusOK || size == 0) {
    return {};
  }
  // 8-byte aligned storage: the list holds pointers.
  std::vector<std::uint64_t> storage((size + 7) / 8, 0);
  std::uint32_t ioSize = size;
  if (system.getPropertyData(object, addr, 0, nullptr, ioSize, storage.data()) != kStatusOK) {
    return {};
  }
  const auto channels = decodeStreamConfiguration(storage.data(), std::min(ioSize, size));
  return std::vector<int>(channels.begin(), channels.end());
}

}  // namespace choralink::HAL
