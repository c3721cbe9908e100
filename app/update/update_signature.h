// Ed25519 signatures of update archives (libsodium), keys and signatures in
// base64 as appcasts carry them. A key pair is kept as its 32-byte seed (the
// secret) and its 32-byte public key. Safe on any thread.
#pragma once

#include <string>
#include <string_view>

namespace choralink::UpdateSignature {

struct KeyPair {
  std::string publicKey;  // base64 of 32 bytes: what a build carries
  std::string secretKey;  // base64 of the 32-byte seed: kept by whoever signs
};

KeyPair generate();

// The base64 public key of a base64 secret key; empty when it is not one.
std::string publicKeyOf(std::string_view secretKey);

// Whether `publicKey` is the base64 text of a 32-byte key.
bool isPublicKey(std::string_view publicKey);

// The base64 signature of `bytes`; throws std::invalid_argument for a secret
// key that is not one.
std::string sign(std::string_view bytes, std::string_view secretKey);

// True only for a well-formed signature of exactly `bytes` by `publicKey`.
bool verify(std::string_view bytes, std::string_view signature, std::string_view publicKey);

}  // namespace choralink::UpdateSignature
