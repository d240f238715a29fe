#include "launch_lock.hpp"

namespace quorventine {

namespace {

constexpr DWORD poll_interval_ms = 100;
constexpr DWORD hold_ms = 3000;
constexpr DWORD delete_retry_ms = 10;
constexpr int delete_attempts = 100;  // about a second in all

// Read and write stay shared so that waiting launchers can test a held lock; delete does not, so nobody removes
// it while it is held or tested.
constexpr DWORD shared_access = FILE_SHARE_READ | FILE_SHARE_WRITE;

[[nodiscard]] bool lock_present(const wchar_t* path) {
  const HANDLE file = CreateFileW(path, GENERIC_READ, shared_access, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return true;
  }
  // A sharing violation means a launcher is deleting the file at this instant: it is still there. Anything
  // else (not found, access denied, a directory) counts as no lock.
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// Create-new, not test-then-truncate: of several launchers that find the lock absent at the same instant,
// exactly one creates the file.
[[nodiscard]] HANDLE create_lock_file(const wchar_t* path, DWORD& error) {
  const HANDLE file = CreateFileW(path, GENERIC_WRITE, shared_access, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
  error = GetLastError();
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written;
    WriteFile(file, "\r\n", 2, &written, nullptr);  // the content is never read: any file blocks
  }
  return file;
}

}  // namespace

HANDLE wait_and_take_lock(const wchar_t* path) {
  bool found_unreadable_file = false;
  for (;;) {
    while (lock_present(path)) Sleep(poll_interval_ms);
    DWORD error = 0;
    const HANDLE held = create_lock_file(path, error);
    if (held != INVALID_HANDLE_VALUE || (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)) return held;
    // Another launcher created it first: wait for its release.
    if (lock_present(path)) continue;
    // A file stands there that cannot be read, which is no lock; or a launcher whose start failed removed its
    // lock between the two calls. A second attempt tells them apart.
    if (found_unreadable_file) return INVALID_HANDLE_VALUE;
    found_unreadable_file = true;
  }
}

void hold_and_release_lock(HANDLE held, const wchar_t* path) {
  Sleep(hold_ms);
  release_lock(held, path);
}

void release_lock(HANDLE held, const wchar_t* path) {
  // Without a lock of our own there is nothing to delete, and the file there may be another launcher's.
  if (held == INVALID_HANDLE_VALUE) return;
  CloseHandle(held);
  // A waiting launcher's read test holds the file open for an instant without sharing delete access. One
  // failed delete would leave a lock that blocks every later launch, so retry while the file is in use.
  for (int attempt = 0; attempt < delete_attempts; ++attempt) {
    if (DeleteFileW(path) || GetLastError() != ERROR_SHARING_VIOLATION) return;
    Sleep(delete_retry_ms);
  }
}

}  // namespace quorventine
