#include "Bundle/LwBundle.h"

#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

namespace {

bool IsEmptyKey(const char* key) { return key == nullptr || *key == '\0'; }

size_t WideLength(const LwWChar* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// Counts the 16-bit units before the first zero unit of a stored payload;
// returns size / 2 when there is none.
size_t StoredWideLength(const unsigned char* data, int32_t size) {
  size_t units = static_cast<size_t>(size) / 2;
  for (size_t i = 0; i < units; ++i) {
    LwWChar unit;
    std::memcpy(&unit, data + 2 * i, sizeof(unit));
    if (unit == 0) return i;
  }
  return units;
}

}  // namespace

CLwBundle::~CLwBundle() {
  try {
    Clear();
  } catch (const std::exception&) {
    // The map's own destructor frees whatever Clear could not reach.
  }
}

LwResult CLwBundle::QueryInterface(const LwGuid& /*iid*/, void** /*object*/) { return E_NOTIMPL; }

int32_t CLwBundle::AddRef() { return refs_.fetch_add(1); }

int32_t CLwBundle::Release() {
  int32_t before = refs_.fetch_sub(1);
  if (before == 1) delete this;
  return before;
}

LwResult CLwBundle::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  entries_.clear();
  return LW_S_OK;
}

LwResult CLwBundle::Store(const char* key, int32_t type, const void* bytes, size_t size) {
  if (size > static_cast<size_t>(INT32_MAX)) return E_OUTOFMEMORY;
  std::unique_ptr<unsigned char[]> payload(new (std::nothrow) unsigned char[size]);
  if (!payload) return E_OUTOFMEMORY;
  std::memcpy(payload.get(), bytes, size);

  // A failure to take the lock is the caller's to see; only allocation is mapped.
  std::lock_guard<std::mutex> guard(lock_);
  try {
    Entry& entry = entries_[key];
    entry.type = type;
    entry.size = static_cast<int32_t>(size);
    entry.data = std::move(payload);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return LW_S_OK;
}

LwResult CLwBundle::SetInt(const char* key, int32_t value) {
  if (IsEmptyKey(key)) return E_INVALIDARG;
  return Store(key, LwValueInt, &value, sizeof(value));
}

LwResult CLwBundle::SetString(const char* key, const char* value) {
  if (IsEmptyKey(key) || value == nullptr) return E_INVALIDARG;
  return Store(key, LwValueString, value, std::strlen(value) + 1);
}

LwResult CLwBundle::SetWString(const char* key, const LwWChar* value) {
  if (IsEmptyKey(key) || value == nullptr) return E_INVALIDARG;
  return Store(key, LwValueWString, value, (WideLength(value) + 1) * sizeof(LwWChar));
}

LwResult CLwBundle::SetBinary(const char* key, const void* data, int32_t length) {
  if (IsEmptyKey(key) || data == nullptr || length <= 0) return E_INVALIDARG;
  return Store(key, LwValueBinary, data, static_cast<size_t>(length));
}

LwResult CLwBundle::GetInt(const char* key, int32_t* value) {
  if (IsEmptyKey(key) || value == nullptr) return E_INVALIDARG;
  try {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = entries_.find(key);
    if (it == entries_.end() || it->second.type != LwValueInt ||
        it->second.size != static_cast<int32_t>(sizeof(int32_t))) {
      return LW_E_NOT_FOUND;
    }
    std::memcpy(value, it->second.data.get(), sizeof(int32_t));
    return LW_S_OK;
  } catch (...) {
    return LW_E_NOT_FOUND;
  }
}

LwResult CLwBundle::Fetch(const char* key, int32_t type, void* buffer, int32_t* len) {
  if (IsEmptyKey(key) || len == nullptr) return E_INVALIDARG;
  try {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = entries_.find(key);
    if (it == entries_.end() || it->second.type != type) return LW_E_NOT_FOUND;
    const Entry& entry = it->second;
    if (type == LwValueString &&
        (entry.size < 1 || std::memchr(entry.data.get(), 0, static_cast<size_t>(entry.size)) !=
                               entry.data.get() + entry.size - 1)) {
      return LW_E_NOT_FOUND;
    }
    if (type == LwValueWString &&
        (StoredWideLength(entry.data.get(), entry.size) + 1) * sizeof(LwWChar) !=
            static_cast<size_t>(entry.size)) {
      return LW_E_NOT_FOUND;
    }
    if (buffer != nullptr && *len >= entry.size) {
      std::memcpy(buffer, entry.data.get(), static_cast<size_t>(entry.size));
      *len = entry.size;
      return LW_S_OK;
    }
    *len = entry.size;
    return LW_S_MORE_DATA;
  } catch (...) {
    return LW_E_NOT_FOUND;
  }
}

LwResult CLwBundle::GetBinary(const char* key, void* buffer, int32_t* len) {
  return Fetch(key, LwValueBinary, buffer, len);
}

LwResult CLwBundle::GetString(const char* key, char* buffer, int32_t* len) {
  return Fetch(key, LwValueString, buffer, len);
}

LwResult CLwBundle::GetWString(const char* key, LwWChar* buffer, int32_t* len) {
  return Fetch(key, LwValueWString, buffer, len);
}

LwResult CLwBundle::GetKeys(char* buffer, int32_t* len) {
  if (len == nullptr) return E_INVALIDARG;
  std::vector<std::string> keys;
  size_t total = 0;
  try {
    std::lock_guard<std::mutex> guard(lock_);
    keys.reserve(entries_.size());
    for (const auto& entry : entries_) {
      keys.push_back(entry.first);
      total += entry.first.size() + 1;
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (total > static_cast<size_t>(INT32_MAX)) return E_OUTOFMEMORY;

  int32_t needed = static_cast<int32_t>(total);
  if (buffer != nullptr && *len >= needed) {
    char* out = buffer;
    for (const std::string& key : keys) {
      std::memcpy(out, key.c_str(), key.size() + 1);
      out += key.size() + 1;
    }
    *len = needed;
    return LW_S_OK;
  }
  *len = needed;
  return LW_S_MORE_DATA;
}

LwResult CLwBundle::GetType(const char* key, int32_t* type) {
  if (type == nullptr || IsEmptyKey(key)) return E_INVALIDARG;
  std::lock_guard<std::mutex> guard(lock_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return LW_E_NOT_FOUND;
  *type = it->second.type;
  return LW_S_OK;
}

void CLwBundle::CopyEntryTo(const char* key, ILwBundle* target) {
  int32_t type = 0;
  if (GetType(key, &type) != LW_S_OK) return;
  int32_t len = 0;
  switch (type) {
    case LwValueInt: {
      int32_t value = 0;
      if (GetInt(key, &value) == LW_S_OK) target->SetInt(key, value);
      break;
    }
    case LwValueString: {
      if (GetString(key, nullptr, &len) != LW_S_MORE_DATA || len <= 0) return;
      std::vector<char> text(static_cast<size_t>(len));
      if (GetString(key, text.data(), &len) == LW_S_OK) target->SetString(key, text.data());
      break;
    }
    case LwValueWString: {
      if (GetWString(key, nullptr, &len) != LW_S_MORE_DATA || len <= 0) return;
      std::vector<LwWChar> text((static_cast<size_t>(len) + 1) / sizeof(LwWChar));
      if (GetWString(key, text.data(), &len) == LW_S_OK) target->SetWString(key, text.data());
      break;
    }
    case LwValueBinary: {
      if (GetBinary(key, nullptr, &len) != LW_S_MORE_DATA || len <= 0) return;
      std::vector<unsigned char> bytes(static_cast<size_t>(len));
      if (GetBinary(key, bytes.data(), &len) == LW_S_OK) target->SetBinary(key, bytes.data(), len);
      break;
    }
    default:
      break;
  }
}

void CLwBundle::CopyTo(ILwBundle* target) {
  if (target == nullptr) return;
  try {
    int32_t count = 0;
    if (GetKeys(nullptr, &count) != LW_S_MORE_DATA || count <= 0) return;
    std::vector<char> list(static_cast<size_t>(count) + 1, '\0');
    if (GetKeys(list.data(), &count) != LW_S_OK) return;

    const char* key = list.data();
    int32_t remaining = count;
    while (remaining > 0) {
      size_t length = std::strlen(key);
      remaining -= static_cast<int32_t>(length + 1);
      try {
        CopyEntryTo(key, target);
      } catch (const std::exception&) {
        // An entry that cannot be read is skipped; the others still go across.
      }
      key += length + 1;
    }
  } catch (const std::exception&) {
    // CopyTo reports nothing: whatever was copied stays copied.
  }
}
