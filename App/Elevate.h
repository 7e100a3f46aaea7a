// Privilege tests: administrator rights, and the system's own account.
#pragma once

// Answers whether the process has administrator rights (an elevated token on
// systems of version 6 and later).
bool IsProcessElevated();

// Answers whether the process runs under the account named SYSTEM.
bool IsSystemAccount();
