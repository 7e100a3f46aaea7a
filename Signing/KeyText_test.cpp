#include "Signing/KeyText.h"

#include <gtest/gtest.h>

#include <string>

namespace signing {
namespace {

TEST(KeyText, RoundTripsAsLowerCaseHex) {
  PublicKey public_key{};
  SecretKey secret_key{};
  ASSERT_TRUE(GenerateKeyPair(&public_key, &secret_key));
  const std::string public_text = PublicKeyText(public_key);
  const std::string secret_text = SecretKeyText(secret_key);
  EXPECT_EQ(public_text.size(), 64u);
  EXPECT_EQ(secret_text.size(), 128u);
  EXPECT_EQ(public_text.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(secret_text.find_first_not_of("0123456789abcdef"), std::string::npos);
  // The secret key carries its public half at the end.
  EXPECT_EQ(secret_text.substr(64), public_text);

  PublicKey parsed_public{};
  SecretKey parsed_secret{};
  ASSERT_TRUE(ParsePublicKeyText(" " + public_text + "\r\n", &parsed_public));
  ASSERT_TRUE(ParseSecretKeyText(secret_text + "\n", &parsed_secret));
  EXPECT_EQ(parsed_public, public_key);
  EXPECT_EQ(parsed_secret, secret_key);
  std::string upper = public_text;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  ASSERT_TRUE(ParsePublicKeyText(upper, &parsed_public));
  EXPECT_EQ(parsed_public, public_key);
}

TEST(KeyText, RefusesMalformedText) {
  PublicKey public_key{};
  SecretKey secret_key{};
  ASSERT_TRUE(GenerateKeyPair(&public_key, &secret_key));
  const std::string public_text = PublicKeyText(public_key);
  const std::string secret_text = SecretKeyText(secret_key);
  PublicKey parsed_public{};
  SecretKey parsed_secret{};
  EXPECT_FALSE(ParsePublicKeyText("", &parsed_public));
  EXPECT_FALSE(ParsePublicKeyText(public_text.substr(1), &parsed_public));
  EXPECT_FALSE(ParsePublicKeyText(public_text + "0", &parsed_public));
  EXPECT_FALSE(ParsePublicKeyText(public_text.substr(0, 63) + "g", &parsed_public));
  EXPECT_FALSE(
      ParsePublicKeyText(public_text.substr(0, 32) + " " + public_text.substr(32), &parsed_public));
  // A secret key is a public key's worth too long to pass as one, and back.
  EXPECT_FALSE(ParsePublicKeyText(secret_text, &parsed_public));
  EXPECT_FALSE(ParseSecretKeyText(public_text, &parsed_secret));
  EXPECT_EQ(parsed_secret, SecretKey{});
}

TEST(KeyText, RefusesSecretKeyWhosePublicHalfDoesNotMatchItsSeed) {
  PublicKey public_key{};
  SecretKey secret_key{};
  ASSERT_TRUE(GenerateKeyPair(&public_key, &secret_key));
  std::string text = SecretKeyText(secret_key);
  text[127] = text[127] == '0' ? '1' : '0';
  SecretKey parsed{};
  EXPECT_FALSE(ParseSecretKeyText(text, &parsed));
  EXPECT_EQ(parsed, SecretKey{});
}

}  // namespace
}  // namespace signing
