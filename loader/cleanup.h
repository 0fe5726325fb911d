// Deleting the temporary file at the end, with retries while it is held.
#pragma once

#include <cstdint>
#include <functional>

namespace vel {

inline constexpr int kDeleteAttempts = 10;
inline constexpr uint32_t kDeleteWaitMs = 500;

struct DeleteOps {
  std::function<int(const char* path)> remove; // 0 or an errno value
  std::function<void(uint32_t ms)> wait;
};

// EACCES, EPERM and EBUSY: something holds the file, a later attempt may succeed.
bool IsAccessDenied(int err);

// Up to kDeleteAttempts attempts, waiting kDeleteWaitMs after each one that fails with "access
// denied"; stops at once on success, on a missing file and on any other error. Returns the last
// attempt's result (0 when the file is gone or was never there).
int DeleteWithRetry(const char* path, const DeleteOps& ops);

// unlink(2) and a sleep.
DeleteOps SystemDeleteOps();

} // namespace vel
