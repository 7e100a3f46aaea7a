// Privilege tests: administrator rights, and the system's own account.
#pragma once

// Answers whether the process has administrator rights (an elevated token on
// systems of version 6 and later).
bool IsProcessElevated();

// Answers whether the process runs under the system's own account (SYSTEM,
// known by its SID; root on POSIX).
bool IsSystemAccount();
