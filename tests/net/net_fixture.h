// Builds HTTP clients that reach an HttpsTestServer: every test host name is
// pinned to 127.0.0.1 on the server's port, proxies are bypassed and only the
// test certificate is trusted, so nothing ever leaves the loopback interface.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "support/feedback/http_client.h"
#include "tests/net/https_test_server.h"

namespace choralink::testing {

inline CurlHTTPClient::Transport loopbackTransport(const HttpsTestServer& server,
                                                   bool trustTestCertificate = true) {
  CurlHTTPClient::Transport transport;
  if (trustTestCertificate) {
    transport.trustedCertificatesPEM = TestCertificate::shared().certificatePEM;
  }
  for (const char* host : {kServiceHost, kOtherServiceHost, kForeignHost}) {
    transport.pinnedAddresses.push_back(std::string(host) + ":" + std::to_string(server.port()) +
                                        ":127.0.0.1");
  }
  transport.direct = true;
  transport.appVersion = "1.2.3";
  return transport;
}

// Allowed: the two service names (given in mixed case on purpose).
inline std::shared_ptr<CurlHTTPClient> loopbackClient(const HttpsTestServer& server,
                                                      bool trustTestCertificate = true) {
  return std::make_shared<CurlHTTPClient>(
      std::set<std::string>{"Choralink.TEST", kOtherServiceHost},
      loopbackTransport(server, trustTestCertificate));
}

}  // namespace choralink::testing
