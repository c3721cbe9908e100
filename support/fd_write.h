// Writing a whole byte string to a file descriptor.
#pragma once

#include <string_view>

namespace choralink {

// Writes all of `bytes` to `fd`, riding out short writes and signals. False
// on the first real error (errno tells which).
bool writeAll(int fd, std::string_view bytes) noexcept;

}  // namespace choralink
