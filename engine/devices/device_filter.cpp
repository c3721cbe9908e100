#include "engine/devices/device_filter.h"

#include <algorithm>
#include <memory>

#include <unicode/coll.h>
#include <unicode/locid.h>

namespace choralink::DeviceFilter {

namespace {

// One collator per thread: creating one is costly and sharing one across
// threads is not something ICU promises for every build. Null when ICU has
// no data, in which case names compare byte-wise.
icu::Collator* collator() {
  thread_local std::unique_ptr<icu::Collator> instance = [] {
    // The C/POSIX locale maps to ICU's en_US_POSIX, whose collation is
    // ASCII code order (upper case before lower case); people expect the
    // language-neutral order there.
    icu::Locale locale = icu::Locale::getDefault();
    if (std::string_view(locale.getVariant()) == "POSIX") locale = icu::Locale::getRoot();
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !c) return std::unique_ptr<icu::Collator>();
    c->setStrength(icu::Collator::SECONDARY);  // letters and accents, not case
    status = U_ZERO_ERROR;
    c->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    return c;
  }();
  return instance.get();
}

}  // namespace

int rank(const AudioDeviceInfo& device) {
  if (device.supportStatus != SupportStatus::supported) return 3;
  if (device.transport == Transport::builtIn) return 0;
  if (isBluetooth(device.transport)) return 1;
  return 2;
}

int compareNames(std::string_view a, std::string_view b) {
  if (icu::Collator* c = collator()) {
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult result =
        c->compareUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
                       icu::StringPiece(b.data(), static_cast<int32_t>(b.size())), status);
    if (U_SUCCESS(status)) return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
  }
  return a < b ? -1 : a > b ? 1 : 0;
}

bool sort(const AudioDeviceInfo& a, const AudioDeviceInfo& b) {
  const int ra = rank(a), rb = rank(b);
  if (ra != rb) return ra < rb;
  return compareNames(a.name, b.name) < 0;
}

void sortDevices(std::vector<AudioDeviceInfo>& devices) {
  std::stable_sort(devices.begin(), devices.end(), sort);
}

}  // namespace choralink::DeviceFilter
