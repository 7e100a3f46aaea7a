// The runner's side of signed="1" items: the file opened and judged before
// its program starts or its library loads, and the failure (error code 52)
// of an item that cannot run exactly as it was checked, each with its line.
#pragma once

#include <cstdint>

#include "CallPlugins/InstallErrorRecord.h"
#include "CallPlugins/Item.h"
#include "CallPlugins/ItemSystem.h"
#include "CallPlugins/RunReport.h"
#include "Platform/files/files.h"

// Opens a signed item's file and judges its signature and its content
// (CallPlugins/ItemSecurity.h), the file staying open for the start or
// load. When it does not open or verify, or its content cannot run as it
// was checked, fails the item in errors and report; false then.
bool OpenSignedItem(ItemSystem& system, InstallErrorRecord& errors, const Item& item,
                    platform::ReadOnlyFile* file, ItemReport* report);

// Fails a signed item whose checked program did not start, or whose checked
// library did not load, with the system's error. Returns false.
bool FailSignedStart(InstallErrorRecord& errors, const Item& item, uint32_t error,
                     ItemReport* report);
bool FailSignedLoad(InstallErrorRecord& errors, const Item& item, uint32_t error,
                    ItemReport* report);
