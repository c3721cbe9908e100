#include "app/update/update_signature.h"

#include <sodium.h>

#include <optional>
#include <stdexcept>
#include <vector>

namespace choralink::UpdateSignature {
namespace {

void initialiseSodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw std::runtime_error("libsodium could not be initialised");
}

std::string toBase64(const unsigned char* data, std::size_t size) {
  std::string out(sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  out.resize(out.size() - 1);  // the terminating NUL
  return out;
}

// Exactly `size` bytes decoded from `text`, or nothing.
std::optional<std::vector<unsigned char>> fromBase64(std::string_view text, std::size_t size) {
  std::vector<unsigned char> out(size + 1);
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != text.data() + text.size() || length != size) {
    return std::nullopt;
  }
  out.resize(size);
  return out;
}

}  // namespace

KeyPair generate() {
  initialiseSodium();
  unsigned char seed[crypto_sign_SEEDBYTES];
  randombytes_buf(seed, sizeof seed);
  KeyPair pair;
  pair.secretKey = toBase64(seed, sizeof seed);
  pair.publicKey = publicKeyOf(pair.secretKey);
  sodium_memzero(seed, sizeof seed);
  return pair;
}

std::string publicKeyOf(std::string_view secretKey) {
  initialiseSodium();
  auto seed = fromBase64(secretKey, crypto_sign_SEEDBYTES);
  if (!seed) return {};
  unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
  unsigned char expanded[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(publicKey, expanded, seed->data());
  sodium_memzero(expanded, sizeof expanded);
  sodium_memzero(seed->data(), seed->size());
  return toBase64(publicKey, sizeof publicKey);
}

bool isPublicKey(std::string_view publicKey) {
  initialiseSodium();
  return fromBase64(publicKey, crypto_sign_PUBLICKEYBYTES).has_value();
}

std::string sign(std::string_view bytes, std::string_view secretKey) {
  initialiseSodium();
  auto seed = fromBase64(secretKey, crypto_sign_SEEDBYTES);
  if (!seed) throw std::invalid_argument("not an Ed25519 secret key");
  unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
  unsigned char expanded[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(publicKey, expanded, seed->data());
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size(), expanded);
  sodium_memzero(expanded, sizeof expanded);
  sodium_memzero(seed->data(), seed->size());
  return toBase64(signature, sizeof signature);
}

bool verify(std::string_view bytes, std::string_view signature, std::string_view publicKey) {
  initialiseSodium();
  auto key = fromBase64(publicKey, crypto_sign_PUBLICKEYBYTES);
  auto sig = fromBase64(signature, crypto_sign_BYTES);
  if (!key || !sig) return false;
  return crypto_sign_verify_detached(sig->data(),
                                     reinterpret_cast<const unsigned char*>(bytes.data()),
                                     bytes.size(), key->data()) == 0;
}

}  // namespace choralink::UpdateSignature
