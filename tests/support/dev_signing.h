// Signing in tests, as the build signs its programs: with the development
// keys of keys/dev, without the signing tool.
#pragma once

#include <cstdint>
#include <string>

// Returns content followed by its signature block, made with the secret key
// key<index>.key of key_dir; empty when the key cannot be read or used.
std::string SignedWithDevKey(const std::string& content, const std::string& key_dir,
                             uint32_t index);

// Answers whether the build trusts key_dir's key 1 as its own key 1 (it
// does unless it was built with other keys).
bool BuildTrustsDevKey1(const std::string& key_dir);
