#include "support/update_policy.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/app_info.h"

namespace choralink {
namespace {

// URLs are written against the configured host, so the suite holds for any
// deployment.
std::string onService(const std::string& rest) {
  return "https://" + std::string(AppInfo::serviceHost()) + rest;
}

TEST(UpdatePolicyTest, FeedIsTheAppcastOnTheServiceHost) {
  EXPECT_EQ(UpdatePolicy::feedURL(), onService("/mac/appcast.xml"));
  EXPECT_TRUE(UpdatePolicy::isAllowedDownload(UpdatePolicy::feedURL()));
}

TEST(UpdatePolicyTest, AcceptsHttpsDownloadsUnderTheDownloadFolder) {
  std::string host(AppInfo::serviceHost()), upperHost = host;
  std::ranges::transform(host, upperHost.begin(), [](unsigned char c) { return std::toupper(c); });
  const std::vector<std::string> accepted = {
      onService("/mac/Choralink-1.2.0.zip"),
      onService(":443/mac/Choralink-1.2.0.zip"),
      onService(":/mac/Choralink.zip"),  // an empty port is no port
      "HTTPS://" + host + "/mac/Choralink.zip",
      "https://" + upperHost + "/mac/Choralink.zip",
      onService("/mac/releases/2/Choralink.zip"),
      onService("/mac/Choralink.zip?channel=beta#notes"),
      onService("/mac/old/../Choralink.zip"),  // climbs, but stays inside
      onService("/mac/./Choralink.zip"),
      onService("/mac/%43horalink.zip"),  // an encoded letter is the letter
      onService("/mac/Choralink%20Setup.zip"),
  };
  for (const std::string& url : accepted) {
    EXPECT_TRUE(UpdatePolicy::isAllowedDownload(url)) << url;
  }
}

TEST(UpdatePolicyTest, RejectsAllButHttpsDownloadsUnderTheDownloadFolder) {
  std::string host(AppInfo::serviceHost());
  EXPECT_FALSE(UpdatePolicy::isAllowedDownload(std::nullopt));
  const std::vector<std::string> rejected = {
      // Not an https URL on the service host.
      "",
      "not a url",
      host + "/mac/Choralink.zip",  // no scheme
      "//" + host + "/mac/Choralink.zip",
      "http://" + host + "/mac/Choralink.zip",
      "ftp://" + host + "/mac/Choralink.zip",
      "file:///mac/Choralink.zip",
      "https://www." + host + "/mac/Choralink.zip",  // another host of the service
      "https://" + host + "./mac/Choralink.zip",
      "https://" + host + ".example.com/mac/Choralink.zip",
      "https://example.com/mac/Choralink.zip",
      "https://127.0.0.1/mac/Choralink.zip",
      "https:///mac/Choralink.zip",
      // Credentials and other ports.
      "https://user@" + host + "/mac/Choralink.zip",
      "https://user:secret@" + host + "/mac/Choralink.zip",
      "https://:secret@" + host + "/mac/Choralink.zip",
      "https://@" + host + "/mac/Choralink.zip",
      "https://" + host + "@example.com/mac/Choralink.zip",
      onService(":8443/mac/Choralink.zip"),
      onService(":80/mac/Choralink.zip"),
      onService(":99999/mac/Choralink.zip"),
      // Paths outside the download folder.
      onService("/mac/"),
      onService("/mac"),
      onService("/"),
      onService(""),
      onService("/macx/Choralink.zip"),
      onService("/linux/mac/Choralink.zip"),
      onService("/mac/../Choralink.zip"),
      onService("/mac/a/../../Choralink.zip"),
      onService("/mac/./"),
      onService("/mac/a/.."),
      onService("/mac/.."),
      // Escapes hidden by percent encoding.
      onService("/mac/%2e%2e/Choralink.zip"),
      onService("/mac/%2E%2E/Choralink.zip"),
      onService("/mac/.%2e/Choralink.zip"),
      onService("/mac/%2e./Choralink.zip"),
      onService("/mac/%2e%2e"),
      onService("/mac/a/%2e%2e/%2e%2e/Choralink.zip"),
      onService("/mac/%2e"),
      onService("/mac/..%2fChoralink.zip"),  // encoded separators
      onService("/mac/a%2F..%2F..%2FChoralink.zip"),
      onService("/mac/..%5cChoralink.zip"),
      onService("/mac/..\\..\\Choralink.zip"),
  };
  for (const std::string& url : rejected) {
    EXPECT_FALSE(UpdatePolicy::isAllowedDownload(url)) << url;
  }
}

}  // namespace
}  // namespace choralink
