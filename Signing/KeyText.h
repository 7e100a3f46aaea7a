// Converts keys to and from their text form: lower-case hexadecimal on one
// line (64 digits for a public key, 128 for a secret key), as the key files
// and the build's key import use them.
#pragma once

#include <string>

#include "Signing/SignatureBlock.h"

namespace signing {

// Makes a fresh key pair.
bool GenerateKeyPair(PublicKey* public_key, SecretKey* secret_key);

std::string PublicKeyText(const PublicKey& key);
std::string SecretKeyText(const SecretKey& key);

// Parses key text; blanks and line breaks around the digits are allowed,
// nothing else. A secret key must also carry the public key that its seed
// gives, so a damaged key file is refused rather than signing garbage.
bool ParsePublicKeyText(const std::string& text, PublicKey* key);
bool ParseSecretKeyText(const std::string& text, SecretKey* key);

}  // namespace signing
