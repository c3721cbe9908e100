// The update key this build was made with (the CMake cache variable
// CHORALINK_UPDATE_PUBLIC_KEY); empty in a build that cannot update itself.
#pragma once

#include <string_view>

namespace choralink {

std::string_view buildUpdatePublicKey();

}  // namespace choralink
