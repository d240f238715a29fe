#include "launch_lock.hpp"

#include <cstdint>

#include "lock_wait.hpp"
#include "system.hpp"

namespace quorventine {

static_assert(win_error::file_not_found == ERROR_FILE_NOT_FOUND && win_error::path_not_found == ERROR_PATH_NOT_FOUND &&
              win_error::access_denied == ERROR_ACCESS_DENIED && win_error::sharing_violation == ERROR_SHARING_VIOLATION &&
              win_error::file_exists == ERROR_FILE_EXISTS && win_error::already_exists == ERROR_ALREADY_EXISTS &&
              directory_attribute == FILE_ATTRIBUTE_DIRECTORY &&
              reparse_point_attribute == FILE_ATTRIBUTE_REPARSE_POINT);

namespace {

constexpr DWORD poll_interval_ms = 100;
constexpr DWORD hold_ms = 3000;

// Read and write stay shared; delete does not, so nobody removes a lock while it is held or tested.
constexpr DWORD shared_access = FILE_SHARE_READ | FILE_SHARE_WRITE;

// GetTickCount64 came with Windows Vista. XP's GetTickCount wraps after 49.7 days, which makes the start look later:
// only files that nobody holds are judged by it.
[[nodiscard]] std::uint64_t system_started() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const auto tick_count_64 = kernel32_function<ULONGLONG(WINAPI*)()>("GetTickCount64");
  const std::uint64_t uptime_ms = tick_count_64 != nullptr ? tick_count_64() : GetTickCount();
  return system_start(joined_halves(now.dwHighDateTime, now.dwLowDateTime), uptime_ms);
}

// What stands at the name right after a refused create or delete. Read at once, before anything overwrites the error.
// GetFileAttributesW does not follow a link: the bits are the link's own.
[[nodiscard]] Look refused(Seen seen, const wchar_t* path) {
  Look look{seen, GetLastError()};
  look.attributes = GetFileAttributesW(path);
  look.attributes_error = look.attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : win_error::none;
  look.now_ms = GetTickCount();
  return look;
}

// The read test. A held lock is open with delete access, which the test does not share: it meets a sharing
// violation. Anything else that keeps it from opening (not found, access denied, a directory) is left to the create
// to tell. A file that opens is no launcher's: it blocks all the same, unless it is older than the system's start.
[[nodiscard]] Look look_at_lock(const wchar_t* path) {
  const HANDLE file = CreateFileW(path, GENERIC_READ, shared_access, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
  if (file == INVALID_HANDLE_VALUE) return {GetLastError() == ERROR_SHARING_VIOLATION ? Seen::held : Seen::nothing};
  BY_HANDLE_FILE_INFORMATION info;
  const bool leftover = GetFileInformationByHandle(file, &info) != 0 &&
                        left_from_before_start(
                            joined_halves(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime),
                            system_started());
  CloseHandle(file);  // before the delete, which our own read handle would refuse
  if (!leftover) return {Seen::held};
  if (DeleteFileW(path)) return {Seen::leftover_delete};
  return refused(Seen::leftover_delete, path);
}

// Create-new, not test-then-truncate: of several launchers that find the lock absent at the same instant, exactly
// one creates the file. Delete-on-close ties the file to this handle, so the system removes it however the
// launcher ends: at the release, or when it is terminated or crashes while it holds the lock. The creator of a new
// file gets the delete access it asks for even in a folder that lets it add files but not delete them. No read-only
// attribute (it would make the create fail) and no security attributes (the handle is not inheritable). A link at
// the lock path is not followed: the create would make the lock at the link's target, and between its holder's
// close and its delete of the name, a poll could make another there while a third launcher takes a real lock. A
// link meets "file exists" instead, and its attribute bits make it no lock file to be had, as a folder there is.
[[nodiscard]] HANDLE create_lock_file(const wchar_t* path) {
  const HANDLE file = CreateFileW(path, GENERIC_WRITE | DELETE, shared_access, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written;
    WriteFile(file, "\r\n", 2, &written, nullptr);  // the content is never read: any file blocks
  }
  return file;
}

// The wait begins with the create: where no lock stands, as at nearly every launch, that one call takes it. Only a
// refusal leads to a look at what stands at the name.
[[nodiscard]] HANDLE wait_and_take_lock_file(const wchar_t* path) {
  Refusal refusal;
  for (Next next = Next::create;;) {
    switch (next) {
      case Next::poll:
        Sleep(poll_interval_ms);
        [[fallthrough]];
      case Next::look:
        next = after(look_at_lock(path), refusal);
        break;
      case Next::create: {
        const HANDLE held = create_lock_file(path);
        if (held != INVALID_HANDLE_VALUE) return held;
        next = after(refused(Seen::create_refused, path), refusal);
        break;
      }
      case Next::go_without:
        return INVALID_HANDLE_VALUE;
    }
  }
}

[[nodiscard]] wchar_t* hex(std::uint64_t value, int digits, wchar_t* out) {
  for (int digit = digits - 1; digit >= 0; --digit, value >>= 4) out[digit] = L"0123456789abcdef"[value & 15];
  return out + digits;
}

// Launches of one install are spaced in the user's session by a mutex named after the install's application file,
// which is the same however its path is written, and another in every other install. It is waited for without
// bound, like a held lock file: only a running launcher holds it, and Windows releases it however that launcher
// ends (the next waiter then gets it as abandoned, and owns it all the same).
[[nodiscard]] HANDLE wait_and_take_session_lock(const wchar_t* application) {
  FileIdentity file;
  if (!identify(application, file)) return nullptr;
  constexpr Text prefix = L"Local\\quorventine-";
  wchar_t name[prefix.size() + 8 + 1 + 16 + 1];
  join({prefix}, name);
  wchar_t* end = hex(file.volume_serial, 8, name + prefix.size());
  *end++ = L'-';
  *hex(file.index, 16, end) = L'\0';
  // None where the name is another kind of object's, or a mutex that this user may not open (an elevated
  // launcher's): then the launch goes on without a lock, at once.
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
  if (mutex == nullptr) return nullptr;
  const DWORD waited = WaitForSingleObject(mutex, INFINITE);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return mutex;
  CloseHandle(mutex);
  return nullptr;
}

// Marks our own lock file for deletion through our own handle, so that its close removes that file and nothing else:
// a delete by name after the close could meet a file that another process made there in between (an updater's hold,
// a lock made by hand). Microsoft's driver documentation of FILE_DISPOSITION_INFORMATION: a mark of TRUE deletes the
// file once its last handle is closed, and only a mark of FALSE has no effect on a handle opened delete-on-close (the
// Win32 page of FILE_DISPOSITION_INFO reads as if no mark had any). The handle has the DELETE access that the mark
// needs. From the mark to the close, a waiting launcher meets "access denied" on Windows (a pending delete) and a
// held lock under Wine: either way it polls again. SetFileInformationByHandle came with Vista; XP has
// ntdll's NtSetInformationFile.
[[nodiscard]] bool mark_for_deletion(HANDLE file) {
  BOOLEAN disposition = TRUE;  // FILE_DISPOSITION_INFO and FILE_DISPOSITION_INFORMATION: this one member
  using SetByHandle = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);
  if (const auto set = kernel32_function<SetByHandle>("SetFileInformationByHandle")) {
    constexpr int file_disposition_info = 4;
    return set(file, file_disposition_info, &disposition, sizeof disposition) != 0;
  }
  struct {
    void* status;
    ULONG_PTR information;
  } io{};
  using NtSetInformationFile = LONG(WINAPI*)(HANDLE, void*, void*, ULONG, int);
  const auto nt_set = system_function<NtSetInformationFile>(L"ntdll.dll", "NtSetInformationFile");
  constexpr int file_disposition_information = 13;
  return nt_set != nullptr && nt_set(file, &io, &disposition, sizeof disposition, file_disposition_information) >= 0;
}

}  // namespace

Lock wait_and_take_lock(const wchar_t* lock_path, const wchar_t* application) {
  const HANDLE file = wait_and_take_lock_file(lock_path);
  return {file, file == INVALID_HANDLE_VALUE ? wait_and_take_session_lock(application) : nullptr};
}

void hold_and_release_lock(const Lock& held, const wchar_t* lock_path) {
  Sleep(hold_ms);
  release_lock(held, lock_path);
}

void release_lock(const Lock& held, const wchar_t* lock_path) {
  if (held.mutex != nullptr) {
    ReleaseMutex(held.mutex);
    CloseHandle(held.mutex);
  }
  // Without a lock file of our own there is nothing to remove, and the file there may be another launcher's.
  if (held.file == INVALID_HANDLE_VALUE) return;
  const bool marked = mark_for_deletion(held.file);
  CloseHandle(held.file);  // removes the file: marked, and opened delete-on-close
  // Where no mark could be made, by name, so that no file of ours is left to hold later launches (a file server that
  // ignores delete-on-close). It cannot remove a lock that another launcher took meanwhile: that one shares no delete
  // access.
  if (!marked) DeleteFileW(lock_path);
}

}  // namespace quorventine
