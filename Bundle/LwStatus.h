// Declares the 32-bit status results and the interface identifier type of the
// product's component-object family. The values match the platform's own
// status codes; the system headers that define the same names are included
// only in Platform/, which never includes this.
#pragma once

#include <cstdint>
#include <type_traits>

#include "Bundle/LwGuid.h"

using LwResult = int32_t;

constexpr LwResult LW_S_OK = 0;
// The caller's buffer is absent or too small; the byte count it needs was stored.
constexpr LwResult LW_S_MORE_DATA = 201;
// No entry under the key, or the entry holds another type.
constexpr LwResult LW_E_NOT_FOUND = static_cast<LwResult>(0x80040005u);

constexpr LwResult E_INVALIDARG = static_cast<LwResult>(0x80070057u);
constexpr LwResult E_OUTOFMEMORY = static_cast<LwResult>(0x8007000Eu);
constexpr LwResult E_NOTIMPL = static_cast<LwResult>(0x80004001u);

static_assert(sizeof(LwGuid) == 16, "LwGuid must be 16 bytes");
static_assert(std::is_standard_layout<LwGuid>::value, "LwGuid must be standard layout");
