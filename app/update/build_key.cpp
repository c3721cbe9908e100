#include "app/update/build_key.h"

namespace choralink {

std::string_view buildUpdatePublicKey() {
  return CHORALINK_UPDATE_PUBLIC_KEY;
}

}  // namespace choralink
