#include "Signing/KeyText.h"

#include <sodium.h>

#include <cstddef>
#include <cstdint>

namespace signing {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

std::string ToHex(const uint8_t* bytes, size_t count) {
  std::string text;
  text.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0f]);
  }
  return text;
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool FromHex(const std::string& text, uint8_t* bytes, size_t count) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  if (end - begin != count * 2) return false;
  for (size_t i = 0; i < count; ++i) {
    const int high = DigitValue(text[begin + 2 * i]);
    const int low = DigitValue(text[begin + 2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

}  // namespace

bool GenerateKeyPair(PublicKey* public_key, SecretKey* secret_key) {
  if (!InitCrypto()) return false;
  return crypto_sign_keypair(public_key->data(), secret_key->data()) == 0;
}

std::string PublicKeyText(const PublicKey& key) { return ToHex(key.data(), key.size()); }

std::string SecretKeyText(const SecretKey& key) { return ToHex(key.data(), key.size()); }

bool ParsePublicKeyText(const std::string& text, PublicKey* key) {
  return FromHex(text, key->data(), key->size());
}

bool ParseSecretKeyText(const std::string& text, SecretKey* key) {
  if (!InitCrypto()) return false;
  SecretKey parsed{};
  if (!FromHex(text, parsed.data(), parsed.size())) return false;
  PublicKey derived{};
  SecretKey rebuilt{};
  const bool consistent =
      crypto_sign_seed_keypair(derived.data(), rebuilt.data(), parsed.data()) == 0 &&
      sodium_memcmp(rebuilt.data(), parsed.data(), parsed.size()) == 0;
  if (consistent) *key = parsed;
  sodium_memzero(parsed.data(), parsed.size());
  sodium_memzero(rebuilt.data(), rebuilt.size());
  return consistent;
}

}  // namespace signing
