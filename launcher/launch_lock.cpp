#include "launch_lock.hpp"

#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

namespace quorventine {

namespace {

constexpr DWORD poll_interval_ms = 100;
constexpr DWORD hold_ms = 3000;
constexpr DWORD delete_retry_ms = 10;
constexpr int delete_attempts = 100;  // about a second in all

[[nodiscard]] bool lock_present(const std::wstring& path) {
  _doserrno = 0;
  if (std::FILE* file = _wfsopen(path.c_str(), L"rt", _SH_DENYNO)) {
    std::fclose(file);
    return true;
  }
  // A sharing violation means a launcher is deleting the file at this instant: it is still there. Anything
  // else (not found, access denied) counts as no lock.
  return _doserrno == ERROR_SHARING_VIOLATION;
}

// Create-new, not test-then-truncate: of several launchers that find the lock absent at the same instant,
// exactly one creates the file. Read and write stay shared so that waiting launchers can test it; delete
// does not, so nobody removes it while it is held.
[[nodiscard]] std::FILE* create_lock_file(const std::wstring& path, int& error) {
  errno = 0;
  const int fd = _wsopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  error = errno;
  if (fd == -1) return nullptr;
  std::FILE* file = _fdopen(fd, "wt");
  if (file == nullptr) {
    _close(fd);
    _wremove(path.c_str());
    error = 0;
    return nullptr;
  }
  std::fputs("\n", file);
  std::fflush(file);
  return file;
}

}  // namespace

std::FILE* wait_and_take_lock(const std::wstring& path) {
  bool found_unreadable_file = false;
  for (;;) {
    while (lock_present(path)) Sleep(poll_interval_ms);
    int error = 0;
    std::FILE* held = create_lock_file(path, error);
    if (held != nullptr || error != EEXIST) return held;
    // Another launcher created it first: wait for its release.
    if (lock_present(path)) continue;
    // A file stands there that cannot be read, which is no lock; or a launcher whose start failed removed its
    // lock between the two calls. A second attempt tells them apart.
    if (found_unreadable_file) return nullptr;
    found_unreadable_file = true;
  }
}

void hold_and_release_lock(std::FILE* held, const std::wstring& path) {
  Sleep(hold_ms);
  release_lock(held, path);
}

void release_lock(std::FILE* held, const std::wstring& path) {
  // Without a lock of our own there is nothing to delete, and the file there may be another launcher's.
  if (held == nullptr) return;
  std::fclose(held);
  // A waiting launcher's read test holds the file open for an instant without sharing delete access. One
  // failed delete would leave a lock that blocks every later launch, so retry while the file is in use.
  for (int attempt = 0; attempt < delete_attempts; ++attempt) {
    _doserrno = 0;
    if (_wremove(path.c_str()) == 0 || _doserrno != ERROR_SHARING_VIOLATION) return;
    Sleep(delete_retry_ms);
  }
}

}  // namespace quorventine
