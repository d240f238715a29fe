// The launch lock: a file in the install directory whose existence spaces out launches made at nearly the same
// time. Launchers share nothing else.
#pragma once

#include <cstdio>
#include <string>

namespace quorventine {

// Waits, without limit, while another launcher holds the lock, then creates and keeps open the lock file.
// Returns nothing when no lock can be had here (for example a directory that cannot be written): the launch
// goes on without one.
[[nodiscard]] std::FILE* wait_and_take_lock(const std::wstring& path);

// After a start: keeps the lock 3 s so that the next launcher starts no sooner, then releases it.
void hold_and_release_lock(std::FILE* held, const std::wstring& path);

// After a failed start: releases at once, so the next launcher need not wait.
void release_lock(std::FILE* held, const std::wstring& path);

}  // namespace quorventine
