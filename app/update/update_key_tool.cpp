// choralink-update-key: the release side of signed updates.
//
//   choralink-update-key generate SECRET-FILE   new key pair; prints the public key
//   choralink-update-key public SECRET-FILE     prints the public key of a secret key
//   choralink-update-key sign SECRET-FILE FILE  prints the enclosure attributes of FILE
//
// The public key goes into the build (CHORALINK_UPDATE_PUBLIC_KEY); the secret
// key file stays with whoever publishes releases.
#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "app/update/update_signature.h"

namespace {

using choralink::UpdateSignature::generate;
using choralink::UpdateSignature::publicKeyOf;
using choralink::UpdateSignature::sign;

bool readFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::string trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.pop_back();
  return text;
}

int usage() {
  std::cerr << "usage: choralink-update-key generate SECRET-FILE\n"
               "       choralink-update-key public SECRET-FILE\n"
               "       choralink-update-key sign SECRET-FILE FILE\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string command = argv[1];
  const std::string secretFile = argv[2];

  if (command == "generate" && argc == 3) {
    struct stat existing {};
    if (::stat(secretFile.c_str(), &existing) == 0) {
      std::cerr << secretFile << " exists already; not overwriting a key\n";
      return 1;
    }
    const auto pair = generate();
    const mode_t previous = ::umask(077);
    std::ofstream out(secretFile, std::ios::binary);
    out << pair.secretKey << "\n";
    ::umask(previous);
    if (!out.flush()) {
      std::cerr << "cannot write " << secretFile << "\n";
      return 1;
    }
    std::cout << pair.publicKey << "\n";
    return 0;
  }

  std::string secret;
  if (!readFile(secretFile, secret)) {
    std::cerr << "cannot read " << secretFile << "\n";
    return 1;
  }
  secret = trimmed(secret);
  if (command == "public" && argc == 3) {
    const std::string publicKey = publicKeyOf(secret);
    if (publicKey.empty()) {
      std::cerr << secretFile << " holds no secret key\n";
      return 1;
    }
    std::cout << publicKey << "\n";
    return 0;
  }
  if (command == "sign" && argc == 4) {
    std::string bytes;
    if (!readFile(argv[3], bytes)) {
      std::cerr << "cannot read " << argv[3] << "\n";
      return 1;
    }
    try {
      std::cout << "sparkle:edSignature=\"" << sign(bytes, secret) << "\" length=\"" << bytes.size()
                << "\"\n";
    } catch (const std::exception& failure) {
      std::cerr << secretFile << ": " << failure.what() << "\n";
      return 1;
    }
    return 0;
  }
  return usage();
}
