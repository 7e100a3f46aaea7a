#include "tests/support/dev_signing.h"

#include "Signing/KeyText.h"
#include "Signing/SignatureBlock.h"
#include "tests/support/temp_folder.h"

std::string SignedWithDevKey(const std::string& content, const std::string& key_dir,
                             uint32_t index) {
  signing::SecretKey secret{};
  if (!signing::ParseSecretKeyText(ReadTextFile(key_dir + "/key" + std::to_string(index) + ".key"),
                                   &secret)) {
    return std::string();
  }
  signing::SignatureBlock block;
  block.key_index = index;
  block.content_length = content.size();
  const auto read = [&content](uint64_t offset, void* buffer, size_t count) {
    content.copy(static_cast<char*>(buffer), count, static_cast<size_t>(offset));
    return true;
  };
  if (!signing::DigestContent(content.size(), read, &block.digest) ||
      !signing::SignBlock(secret, &block)) {
    return std::string();
  }
  const signing::BlockBytes bytes = signing::EncodeBlock(block);
  return content + std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool BuildTrustsDevKey1(const std::string& key_dir) {
  signing::PublicKey dev_key{};
  return signing::ParsePublicKeyText(ReadTextFile(key_dir + "/key1.pub"), &dev_key) &&
         dev_key == signing::BuiltInPublicKeys()[1];
}
