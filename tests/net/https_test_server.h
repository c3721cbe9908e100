// An HTTPS server on 127.0.0.1 for the network tests: one thread per
// connection, one request per connection, answers decided by the test. Its
// certificate is self-signed at run time and trusted only by clients the
// tests configure with it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace choralink::testing {

// A key and a self-signed certificate for the test host names, the
// application's own service host (AppInfo::serviceHost(), for code that checks
// URLs against it) and 127.0.0.1, made once per test process.
struct TestCertificate {
  std::string certificatePEM;
  std::string privateKeyPEM;

  static const TestCertificate& shared();
};

// Host names the certificate covers; the tests pin them all to 127.0.0.1.
inline constexpr const char* kServiceHost = "choralink.test";
inline constexpr const char* kOtherServiceHost = "www.choralink.test";
inline constexpr const char* kForeignHost = "elsewhere.test";

class HttpsTestServer {
 public:
  struct Request {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;
  };

  struct Reply {
    using Headers = std::vector<std::pair<std::string, std::string>>;

    Reply(int status = 200, std::string body = {}, Headers headers = {})
        : status(status), body(std::move(body)), headers(std::move(headers)) {}
    // Read the request, then never answer (until the server stops).
    static Reply never() {
      Reply reply;
      reply.hang = true;
      return reply;
    }

    int status;
    std::string body;
    Headers headers;
    bool hang = false;
  };

  using Handler = std::function<Reply(const Request&)>;

  explicit HttpsTestServer(Handler handler);
  ~HttpsTestServer();
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  int port() const { return port_; }
  // "<scheme>://<host>:<port><path>"
  std::string url(const std::string& host, const std::string& path,
                  const std::string& scheme = "https") const;

  std::vector<Request> requests() const;
  int connections() const { return connections_.load(); }

 private:
  void acceptLoop();
  void serve(int fd);

  Handler handler_;
  void* context_ = nullptr;  // SSL_CTX
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};

  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  std::vector<Request> requests_;
  std::vector<int> openFds_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace choralink::testing
