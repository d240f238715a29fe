#include "launch_lock.hpp"

#include "lock_refusal.hpp"

namespace quorventine {

static_assert(win_error::file_not_found == ERROR_FILE_NOT_FOUND && win_error::path_not_found == ERROR_PATH_NOT_FOUND &&
              win_error::access_denied == ERROR_ACCESS_DENIED && win_error::file_exists == ERROR_FILE_EXISTS &&
              win_error::already_exists == ERROR_ALREADY_EXISTS && directory_attribute == FILE_ATTRIBUTE_DIRECTORY);

namespace {

constexpr DWORD poll_interval_ms = 100;
constexpr DWORD hold_ms = 3000;

// Read and write stay shared; delete does not, so nobody removes a lock while it is held or tested.
constexpr DWORD shared_access = FILE_SHARE_READ | FILE_SHARE_WRITE;

[[nodiscard]] bool lock_present(const wchar_t* path) {
  const HANDLE file = CreateFileW(path, GENERIC_READ, shared_access, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return true;
  }
  // A held lock is open with delete access, which the test does not share: a sharing violation means it is held.
  // Anything else (not found, access denied, a directory) is left to the create to tell.
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// Create-new, not test-then-truncate: of several launchers that find the lock absent at the same instant, exactly
// one creates the file. Delete-on-close ties the file to this handle, so the system removes it however the
// launcher ends: at the release, or when it is terminated or crashes while it holds the lock. The creator of a new
// file gets the delete access it asks for even in a folder that lets it add files but not delete them. No read-only
// attribute (it would make the create fail) and no security attributes (the handle is not inheritable).
[[nodiscard]] HANDLE create_lock_file(const wchar_t* path) {
  const HANDLE file = CreateFileW(path, GENERIC_WRITE | DELETE, shared_access, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written;
    WriteFile(file, "\r\n", 2, &written, nullptr);  // the content is never read: any file blocks
  }
  return file;
}

// What stands at the name right after a refused create. Read at once, before anything overwrites the create's error.
void read_refusal(const wchar_t* path, RefusedTake& take) {
  take.create_error = GetLastError();
  take.attributes = GetFileAttributesW(path);
  take.attributes_error = take.attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : win_error::none;
}

}  // namespace

HANDLE wait_and_take_lock(const wchar_t* path) {
  bool found_unreadable_file = false;
  RefusedTake refused{};
  for (;;) {
    while (lock_present(path)) Sleep(poll_interval_ms);
    const HANDLE held = create_lock_file(path);
    if (held != INVALID_HANDLE_VALUE) return held;
    read_refusal(path, refused);
    switch (after_refused_take(refused)) {
      case Refusal::wait:
        Sleep(poll_interval_ms);
        refused.pending_waited_ms += poll_interval_ms;
        continue;
      case Refusal::create_again:
        refused.created_again = true;
        continue;
      case Refusal::go_without:
        return INVALID_HANDLE_VALUE;
      case Refusal::retest:
        break;
    }
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
  // Without a lock of our own there is nothing to remove, and the file there may be another launcher's.
  if (held == INVALID_HANDLE_VALUE) return;
  CloseHandle(held);  // removes the file (delete-on-close)
  // For a file server that ignores delete-on-close. It cannot remove a lock that another launcher took meanwhile:
  // that one shares no delete access.
  DeleteFileW(path);
}

}  // namespace quorventine
