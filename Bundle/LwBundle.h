// Declares the property bundle: a thread-safe, reference-counted dictionary
// from narrow keys to typed values in which one module item travels from the
// catalogue to the item runners. The virtual slot order of the interfaces is
// part of the binary contract with the product's components; do not reorder.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Bundle/LwStatus.h"

// Type codes stored with every value.
enum LwValueType : int32_t {
  LwValueInt = 0,
  LwValueString = 1,
  LwValueBinary = 2,
  LwValueWString = 3,
};

// UTF-16 on every platform, so the byte counts of wide values are the same
// wherever the bundle is built.
using LwWChar = char16_t;

class ILwUnknown {
 public:
  // Always E_NOTIMPL; object is left untouched.
  virtual LwResult QueryInterface(const LwGuid& iid, void** object) = 0;
  // Both return the count as it stood before the change.
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;

 protected:
  ~ILwUnknown() = default;
};

class ILwBundle;

class ILwBundleBase {
 public:
  virtual LwResult Clear() = 0;
  virtual void CopyTo(ILwBundle* target) = 0;
  virtual LwResult SetInt(const char* key, int32_t value) = 0;
  virtual LwResult SetString(const char* key, const char* value) = 0;
  virtual LwResult SetWString(const char* key, const LwWChar* value) = 0;
  virtual LwResult SetBinary(const char* key, const void* data, int32_t length) = 0;
  virtual LwResult GetInt(const char* key, int32_t* value) = 0;
  // The buffer getters take the buffer size in *len and store the value size
  // there; a null or short buffer answers LW_S_MORE_DATA.
  virtual LwResult GetBinary(const char* key, void* buffer, int32_t* len) = 0;
  virtual LwResult GetString(const char* key, char* buffer, int32_t* len) = 0;
  virtual LwResult GetWString(const char* key, LwWChar* buffer, int32_t* len) = 0;
  // Writes every key with its NUL, in ascending byte order.
  virtual LwResult GetKeys(char* buffer, int32_t* len) = 0;
  virtual LwResult GetType(const char* key, int32_t* type) = 0;
  virtual ~ILwBundleBase() = default;
};

// The primary interface comes first, so an ILwBundle pointer is also the
// ILwBundleBase pointer and the ILwUnknown part follows it.
class ILwBundle : public ILwBundleBase, public ILwUnknown {};

class CLwBundle : public ILwBundle {
 public:
  CLwBundle() = default;
  ~CLwBundle() override;
  CLwBundle(const CLwBundle&) = delete;
  CLwBundle& operator=(const CLwBundle&) = delete;

  LwResult QueryInterface(const LwGuid& iid, void** object) override;
  int32_t AddRef() override;
  int32_t Release() override;

  LwResult Clear() override;
  void CopyTo(ILwBundle* target) override;
  LwResult SetInt(const char* key, int32_t value) override;
  LwResult SetString(const char* key, const char* value) override;
  LwResult SetWString(const char* key, const LwWChar* value) override;
  LwResult SetBinary(const char* key, const void* data, int32_t length) override;
  LwResult GetInt(const char* key, int32_t* value) override;
  LwResult GetBinary(const char* key, void* buffer, int32_t* len) override;
  LwResult GetString(const char* key, char* buffer, int32_t* len) override;
  LwResult GetWString(const char* key, LwWChar* buffer, int32_t* len) override;
  LwResult GetKeys(char* buffer, int32_t* len) override;
  LwResult GetType(const char* key, int32_t* type) override;

 private:
  struct Entry {
    int32_t type = LwValueInt;
    int32_t size = 0;
    std::unique_ptr<unsigned char[]> data;
  };

  LwResult Store(const char* key, int32_t type, const void* bytes, size_t size);
  LwResult Fetch(const char* key, int32_t type, void* buffer, int32_t* len);
  void CopyEntryTo(const char* key, ILwBundle* target);

  std::mutex lock_;
  std::map<std::string, Entry, std::less<>> entries_;
  std::atomic<int32_t> refs_{0};
};
