#include "Bundle/LwBundle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/builders.h"

namespace {

std::vector<std::string> ReadKeys(ILwBundle* bundle) {
  int32_t len = 0;
  EXPECT_EQ(LW_S_MORE_DATA, bundle->GetKeys(nullptr, &len));
  if (len == 0) return {};
  std::vector<char> buffer(static_cast<size_t>(len));
  EXPECT_EQ(LW_S_OK, bundle->GetKeys(buffer.data(), &len));
  std::vector<std::string> keys;
  for (size_t at = 0; at < static_cast<size_t>(len); at += keys.back().size() + 1) {
    keys.emplace_back(buffer.data() + at);
  }
  return keys;
}

class TrackedBundle : public CLwBundle {
 public:
  explicit TrackedBundle(bool* destroyed) : destroyed_(destroyed) {}
  ~TrackedBundle() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

TEST(LwBundleTest, ReferenceCountAndIdentity) {
  bool destroyed = false;
  CLwBundle* bundle = new TrackedBundle(&destroyed);
  EXPECT_EQ(0, bundle->AddRef());
  EXPECT_EQ(1, bundle->AddRef());
  EXPECT_EQ(2, bundle->Release());
  EXPECT_FALSE(destroyed);

  void* untouched = &destroyed;
  const LwGuid any = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
  const LwGuid zero = {};
  EXPECT_EQ(E_NOTIMPL, bundle->QueryInterface(any, &untouched));
  EXPECT_EQ(E_NOTIMPL, bundle->QueryInterface(zero, &untouched));
  EXPECT_EQ(static_cast<void*>(&destroyed), untouched);

  // The primary interface sits at the start, the reference-counting one right after it.
  ILwBundle* primary = bundle;
  ILwUnknown* unknown = bundle;
  EXPECT_EQ(static_cast<void*>(bundle), static_cast<void*>(primary));
  EXPECT_EQ(reinterpret_cast<char*>(bundle) + sizeof(void*), reinterpret_cast<char*>(unknown));

  EXPECT_EQ(1, unknown->Release());
  EXPECT_TRUE(destroyed);
}

TEST(LwBundleTest, StringSizeQueriesAndShortBuffers) {
  CLwBundle bundle;
  ASSERT_EQ(LW_S_OK, bundle.SetString("empty", ""));
  int32_t len = 0;
  EXPECT_EQ(LW_S_MORE_DATA, bundle.GetString("empty", nullptr, &len));
  EXPECT_EQ(1, len);

  ASSERT_EQ(LW_S_OK, bundle.SetString("file", "run.exe"));
  char buffer[16];
  std::memset(buffer, 'x', sizeof(buffer));
  len = 7;  // one byte short of "run.exe" and its NUL
  EXPECT_EQ(LW_S_MORE_DATA, bundle.GetString("file", buffer, &len));
  EXPECT_EQ(8, len);
  EXPECT_EQ('x', buffer[0]);
  len = 100;
  EXPECT_EQ(LW_S_MORE_DATA, bundle.GetString("file", nullptr, &len));
  EXPECT_EQ(8, len);
  EXPECT_EQ(LW_S_OK, bundle.GetString("file", buffer, &len));
  EXPECT_EQ(8, len);
  EXPECT_STREQ("run.exe", buffer);
  EXPECT_EQ('x', buffer[8]);

  EXPECT_EQ(LW_E_NOT_FOUND, bundle.GetString("missing", nullptr, &len));
}

TEST(LwBundleTest, TypesReplaceAndDoNotCross) {
  CLwBundle bundle;
  int32_t type = -1;
  int32_t value = 0;
  ASSERT_EQ(LW_S_OK, bundle.SetInt("k", 42));
  ASSERT_EQ(LW_S_OK, bundle.SetString("k", "text"));
  EXPECT_EQ(LW_E_NOT_FOUND, bundle.GetInt("k", &value));
  EXPECT_EQ(LW_S_OK, bundle.GetType("k", &type));
  EXPECT_EQ(LwValueString, type);
  ASSERT_EQ(LW_S_OK, bundle.SetInt("k", -7));
  EXPECT_EQ(LW_S_OK, bundle.GetInt("k", &value));
  EXPECT_EQ(-7, value);
  EXPECT_EQ("<absent>", BundleString(&bundle, "k"));

  // Four bytes of Binary are still not an Int.
  const unsigned char four[4] = {1, 0, 0, 0};
  ASSERT_EQ(LW_S_OK, bundle.SetBinary("bin", four, 4));
  EXPECT_EQ(LW_E_NOT_FOUND, bundle.GetInt("bin", &value));
  unsigned char out[4] = {};
  int32_t len = 4;
  EXPECT_EQ(LW_S_OK, bundle.GetBinary("bin", out, &len));
  EXPECT_EQ(0, std::memcmp(four, out, 4));

  const LwWChar wide[] = u"p\u00e9";
  ASSERT_EQ(LW_S_OK, bundle.SetWString("w", wide));
  len = 0;
  EXPECT_EQ(LW_S_MORE_DATA, bundle.GetWString("w", nullptr, &len));
  EXPECT_EQ(6, len);  // two UTF-16 units and the terminator
  LwWChar wide_out[3] = {};
  EXPECT_EQ(LW_S_OK, bundle.GetWString("w", wide_out, &len));
  EXPECT_EQ(std::u16string(wide), std::u16string(wide_out));
  EXPECT_EQ(LW_E_NOT_FOUND, bundle.GetString("w", nullptr, &len));
  EXPECT_EQ(LW_S_OK, bundle.GetType("w", &type));
  EXPECT_EQ(LwValueWString, type);
  EXPECT_EQ(LW_E_NOT_FOUND, bundle.GetType("none", &type));
}

TEST(LwBundleTest, ArgumentFaultsChangeNothing) {
  CLwBundle bundle;
  const unsigned char byte = 1;
  int32_t value = 0;
  int32_t len = 0;
  EXPECT_EQ(E_INVALIDARG, bundle.SetInt(nullptr, 1));
  EXPECT_EQ(E_INVALIDARG, bundle.SetInt("", 1));
  EXPECT_EQ(E_INVALIDARG, bundle.SetString("k", nullptr));
  EXPECT_EQ(E_INVALIDARG, bundle.SetWString("k", nullptr));
  EXPECT_EQ(E_INVALIDARG, bundle.SetBinary("k", nullptr, 1));
  EXPECT_EQ(E_INVALIDARG, bundle.SetBinary("k", &byte, 0));
  EXPECT_EQ(E_INVALIDARG, bundle.SetBinary("k", &byte, -1));
  EXPECT_EQ(E_INVALIDARG, bundle.GetInt("k", nullptr));
  EXPECT_EQ(E_INVALIDARG, bundle.GetInt("", &value));
  EXPECT_EQ(E_INVALIDARG, bundle.GetString("k", nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, bundle.GetBinary(nullptr, nullptr, &len));
  EXPECT_EQ(E_INVALIDARG, bundle.GetWString("", nullptr, &len));
  EXPECT_EQ(E_INVALIDARG, bundle.GetKeys(nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, bundle.GetType("k", nullptr));
  EXPECT_EQ(E_INVALIDARG, bundle.GetType("", &value));

  char buffer[4];
  len = sizeof(buffer);
  EXPECT_EQ(LW_S_OK, bundle.GetKeys(buffer, &len));  // still empty
  EXPECT_EQ(0, len);
  EXPECT_EQ(LW_S_MORE_DATA, bundle.GetKeys(nullptr, &len));
  EXPECT_EQ(0, len);
}

TEST(LwBundleTest, KeysListInByteOrder) {
  CLwBundle bundle;
  bundle.SetString("a", "1");
  bundle.SetInt("ab", 2);
  bundle.SetString("A", "3");
  bundle.SetString("\xC3\xA9", "4");  // bytes above 0x7F sort after ASCII
  EXPECT_EQ((std::vector<std::string>{"A", "a", "ab", "\xC3\xA9"}), ReadKeys(&bundle));

  int32_t len = 0;
  EXPECT_EQ(LW_S_MORE_DATA, bundle.GetKeys(nullptr, &len));
  EXPECT_EQ(10, len);
  char buffer[12];
  std::memset(buffer, 'x', sizeof(buffer));
  len = 9;
  EXPECT_EQ(LW_S_MORE_DATA, bundle.GetKeys(buffer, &len));
  EXPECT_EQ('x', buffer[0]);
  len = 12;
  EXPECT_EQ(LW_S_OK, bundle.GetKeys(buffer, &len));
  EXPECT_EQ(10, len);
  EXPECT_EQ(0, std::memcmp("A\0a\0ab\0\xC3\xA9\0", buffer, 10));
  EXPECT_EQ('x', buffer[10]);  // no extra terminator after the list

  EXPECT_EQ(LW_S_OK, bundle.Clear());
  EXPECT_TRUE(ReadKeys(&bundle).empty());
}

TEST(LwBundleTest, CopyToOverwritesEqualKeysAndKeepsOthers) {
  CLwBundle source;
  const unsigned char bytes[3] = {9, 0, 8};
  source.SetString("file", "new.exe");
  source.SetInt("count", 3);
  source.SetBinary("blob", bytes, 3);
  source.SetWString("wide", u"w");
  CLwBundle target;
  target.SetString("count", "was text");
  target.SetString("keep", "kept");
  target.SetString("file", "old.exe");

  source.CopyTo(&target);
  EXPECT_EQ((std::vector<std::string>{"blob", "count", "file", "keep", "wide"}), ReadKeys(&target));
  EXPECT_EQ("new.exe", BundleString(&target, "file"));
  EXPECT_EQ("kept", BundleString(&target, "keep"));
  int32_t value = 0;
  EXPECT_EQ(LW_S_OK, target.GetInt("count", &value));
  EXPECT_EQ(3, value);
  unsigned char out[3] = {};
  int32_t len = 3;
  EXPECT_EQ(LW_S_OK, target.GetBinary("blob", out, &len));
  EXPECT_EQ(0, std::memcmp(bytes, out, 3));
  len = 0;
  EXPECT_EQ(LW_S_MORE_DATA, target.GetWString("wide", nullptr, &len));
  EXPECT_EQ(4, len);

  // Copying into itself must not deadlock on the bundle's own lock.
  target.CopyTo(&target);
  EXPECT_EQ(5u, ReadKeys(&target).size());
  CLwBundle empty;
  empty.CopyTo(&target);
  EXPECT_EQ(5u, ReadKeys(&target).size());
}

TEST(LwBundleTest, ConcurrentWritersAndReferences) {
  bool destroyed = false;
  CLwBundle* bundle = new TrackedBundle(&destroyed);
  bundle->AddRef();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([bundle, t] {
      for (int i = 0; i < 500; ++i) {
        bundle->AddRef();
        const std::string key = "k" + std::to_string(t) + "_" + std::to_string(i % 50);
        bundle->SetString(key.c_str(), key.c_str());
        int32_t len = 0;
        bundle->GetKeys(nullptr, &len);
        bundle->Release();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(200u, ReadKeys(bundle).size());
  EXPECT_EQ("k3_49", BundleString(bundle, "k3_49"));
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(1, bundle->Release());
  EXPECT_TRUE(destroyed);
}

}  // namespace
