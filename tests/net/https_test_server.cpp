#include "tests/net/https_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "support/app_info.h"

namespace choralink::testing {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using PKeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test server: ") + what);
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

void addExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  require(extension != nullptr, "certificate extension");
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

// The key and certificate as the server loads them, and as PEM for clients.
struct Identity {
  PKeyPtr key;
  X509Ptr cert;
  TestCertificate pem;
};

Identity makeIdentity() {
  PKeyPtr key(EVP_EC_gen("P-256"));
  require(key != nullptr, "key generation");
  X509Ptr cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(getpid()));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(kServiceHost), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  const std::string names = std::string("DNS:") + kServiceHost + ",DNS:" + kOtherServiceHost +
                            ",DNS:" + kForeignHost + ",DNS:" + std::string(AppInfo::serviceHost()) +
                            ",DNS:localhost,IP:127.0.0.1";
  addExtension(cert.get(), NID_subject_alt_name, names.c_str());
  addExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(cert.get(), NID_subject_key_identifier, "hash");
  require(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signing");

  BioPtr certBio(BIO_new(BIO_s_mem()));
  BioPtr keyBio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(certBio.get(), cert.get());
  PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  TestCertificate pem{bioText(certBio.get()), bioText(keyBio.get())};
  return {std::move(key), std::move(cert), std::move(pem)};
}

const Identity& identity() {
  static const Identity made = makeIdentity();
  return made;
}

bool readRequest(SSL* ssl, HttpsTestServer::Request& request) {
  std::string data;
  char buffer[4096];
  std::size_t headerEnd = std::string::npos;
  while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
    const int n = SSL_read(ssl, buffer, sizeof(buffer));
    if (n <= 0) return false;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  std::istringstream head(data.substr(0, headerEnd + 2));  // every line ends in \r\n
  std::string line;
  std::getline(head, line);
  std::istringstream(line) >> request.method >> request.target;
  while (std::getline(head, line)) {
    const std::size_t colon = line.find(':');
    std::string key = line.substr(0, colon);
    std::ranges::transform(key, key.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::size_t value = line.find_first_not_of(' ', colon + 1);
    request.headers[key] = line.substr(value, line.size() - 1 - value);
  }
  const auto length = request.headers.contains("content-length")
                          ? std::stoul(request.headers["content-length"])
                          : 0;
  request.body = data.substr(headerEnd + 4);
  while (request.body.size() < length) {
    const int n = SSL_read(ssl, buffer, sizeof(buffer));
    if (n <= 0) return false;
    request.body.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

const TestCertificate& TestCertificate::shared() {
  return identity().pem;
}

HttpsTestServer::HttpsTestServer(Handler handler) : handler_(std::move(handler)) {
  // A client that hangs up must not kill the test process.
  ::signal(SIGPIPE, SIG_IGN);

  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  require(context != nullptr, "SSL_CTX_new");
  context_ = context;
  require(SSL_CTX_use_certificate(context, identity().cert.get()) == 1, "certificate");
  require(SSL_CTX_use_PrivateKey(context, identity().key.get()) == 1, "private key");

  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  require(listenFd_ >= 0, "socket");
  sockaddr_in address{
      .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
  require(::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0, "bind");
  require(::listen(listenFd_, 16) == 0, "listen");
  socklen_t length = sizeof(address);
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  require(::pipe2(wakePipe_, O_CLOEXEC) == 0, "pipe");

  acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpsTestServer::~HttpsTestServer() {
  {
    // Under the lock, so that a hanging worker cannot miss the wake-up.
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (int fd : openFds_)
      ::shutdown(fd, SHUT_RDWR);
  }
  const char wake = 1;
  (void)::write(wakePipe_[1], &wake, 1);
  stopped_.notify_all();
  acceptor_.join();
  for (std::thread& worker : workers_)
    worker.join();
  ::close(listenFd_);
  ::close(wakePipe_[0]);
  ::close(wakePipe_[1]);
  SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

std::string HttpsTestServer::url(const std::string& host, const std::string& path,
                                 const std::string& scheme) const {
  return scheme + "://" + host + ":" + std::to_string(port_) + path;
}

std::vector<HttpsTestServer::Request> HttpsTestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void HttpsTestServer::acceptLoop() {
  while (!stopping_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (stopping_ || (fds[1].revents & POLLIN)) break;
    if (!(fds[0].revents & POLLIN)) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    // Never let a stuck client hold a test for long.
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      break;
    }
    openFds_.push_back(fd);
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

void HttpsTestServer::serve(int fd) {
  SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_));
  SSL_set_fd(ssl, fd);
  Request request;
  if (SSL_accept(ssl) == 1 && readRequest(ssl, request)) {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    const Reply reply = handler_(request);
    if (reply.hang) {
      std::unique_lock lock(mutex_);
      stopped_.wait(lock, [this] { return stopping_.load(); });
    } else {
      std::string response =
          // Clients ignore the reason phrase.
          "HTTP/1.1 " + std::to_string(reply.status) +
          " Status\r\nContent-Length: " + std::to_string(reply.body.size()) +
          "\r\nConnection: close\r\n";
      for (const auto& [name, value] : reply.headers)
        response += name + ": " + value + "\r\n";
      response += "\r\n" + reply.body;
      SSL_write(ssl, response.data(), static_cast<int>(response.size()));
      SSL_shutdown(ssl);
    }
  }
  SSL_free(ssl);
  std::lock_guard lock(mutex_);
  openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd), openFds_.end());
  ::close(fd);
}

}  // namespace choralink::testing
