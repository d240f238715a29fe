// The launch lock: a file in the install directory whose existence spaces out launches made at nearly the same
// time. Launchers share nothing else. The file lives exactly as long as the handle of the launcher that holds it.
#pragma once

#include <windows.h>

namespace quorventine {

// Waits, without limit, while a lock file stands there, then creates and keeps open the lock file. Returns
// INVALID_HANDLE_VALUE when no lock can be had here (a directory that cannot be written, a folder at the lock path,
// a refusal that outlasts any pending delete): the launch goes on without one.
[[nodiscard]] HANDLE wait_and_take_lock(const wchar_t* path);

// After a start: keeps the lock 3 s so that the next launcher starts no sooner, then releases it.
void hold_and_release_lock(HANDLE held, const wchar_t* path);

// After a failed start: releases at once, so the next launcher need not wait.
void release_lock(HANDLE held, const wchar_t* path);

}  // namespace quorventine
