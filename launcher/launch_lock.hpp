// The launch lock: a file in the install directory whose existence spaces out launches made at nearly the same
// time. Launchers share nothing else. The file lives exactly as long as the handle of the launcher that holds it.
// Where no lock file can be had, the launches of one install are spaced within the user's session instead.
#pragma once

#include <windows.h>

namespace quorventine {

struct Lock {
  HANDLE file;   // the lock file; INVALID_HANDLE_VALUE where none could be had
  HANDLE mutex;  // where no lock file could be had: the install's mutex in the user's session; null where none
};

// Waits, without limit, while the lock is held, then creates and keeps open the lock file; where none can be had
// here (a directory that cannot be written, a folder at the lock path, a leftover that cannot be deleted, a refusal
// that outlasts any pending delete), waits for and takes the install's mutex, named after its application's file.
[[nodiscard]] Lock wait_and_take_lock(const wchar_t* lock_path, const wchar_t* application);

// After a start: keeps the lock 3 s so that the next launcher starts no sooner, then releases it.
void hold_and_release_lock(const Lock& held, const wchar_t* lock_path);

// After a failed start: releases at once, so the next launcher need not wait.
void release_lock(const Lock& held, const wchar_t* lock_path);

}  // namespace quorventine
