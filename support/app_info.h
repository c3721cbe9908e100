// Facts about the running application and the machine under it, for the start
// line of the log, the About page and feedback reports. Stateless; safe to call
// from any thread.
#pragma once

#include <string>
#include <string_view>

namespace choralink::AppInfo {

// The application's reverse-DNS identifier; also the system log's identifier.
std::string_view bundleID();

// The version the build was made as (the CMake project version), or "1.0.0"
// when the build carries none.
std::string_view version();

// The operating system's version as "major.minor.patch". On Linux this is the
// kernel release from uname(2): every system has one, it always has the three
// numbers, and it is what decides which audio drivers a user has. (The
// distribution's VERSION_ID in /etc/os-release is missing on rolling and
// testing distributions and rarely has three parts.)
std::string osVersion();

// The processor the application was built for: "x86_64", "arm64", ...
std::string_view arch();

// The host name of the product's web service (update feed, feedback, web
// pages); fixed when the application is built.
std::string_view serviceHost();

// The rules behind version() and osVersion(), exposed so they can be checked
// with any input.
std::string_view versionOrFallback(std::string_view buildVersion);
// The leading numbers of a release string such as "6.1.0-18-amd64" as exactly
// three numbers: missing ones are 0, extra ones dropped, "0.0.0" if none.
std::string threePartVersion(std::string_view release);

}  // namespace choralink::AppInfo
