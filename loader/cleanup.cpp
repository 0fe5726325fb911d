#include "loader/cleanup.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

namespace vel {

bool IsAccessDenied(int err) { return err == EACCES || err == EPERM || err == EBUSY; }

int DeleteWithRetry(const char* path, const DeleteOps& ops) {
  int err = 0;
  for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
    err = ops.remove(path);
    if (err == ENOENT) return 0;
    if (!IsAccessDenied(err)) return err;
    ops.wait(kDeleteWaitMs);
  }
  return err;
}

DeleteOps SystemDeleteOps() {
  return {[](const char* path) { return ::unlink(path) == 0 ? 0 : errno; },
          [](uint32_t ms) {
            timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
            while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
            }
          }};
}

} // namespace vel
