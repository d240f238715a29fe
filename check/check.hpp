// What the check program's runner gives its cases (tests/check_cases.cpp): the files under test, a folder of the
// run's own and a second drive; starting the launcher as each kind of caller does; waiting, bounded, for what the
// application records; and, for the rows that need what not every system does, whether this one does it, found
// out by asking it, never by which system it is.
#pragma once

#include <windows.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "record.hpp"

namespace quorventine::check {

enum Architecture { x86, x64 };

struct Run {
  std::wstring launcher;     // the launcher under test: the one beside the check, or --launcher
  std::wstring probe[2];     // the probe application, by architecture
  std::wstring library[2];   // its library, by architecture
  std::wstring folder;       // a new folder under %TEMP%, in its long form, removed with all in it at the end
  std::wstring other_drive;  // the root of a drive other than the folder's; empty where there is none
};

[[nodiscard]] const Run& run();

// Whether the test filter lets this row of the running table run: a trace of one launch shows that launch alone.
[[nodiscard]] bool selected(const char* row);

// ---- Starting the launcher.

enum class Caller {
  ansi_1252,  // CreateProcessA in code page 1252
  ansi_932,   // CreateProcessA in code page 932
  wide,       // CreateProcessW, for text that no code page holds
  typed,      // %ComSpec% /c, as a user types the command
};

// Starts the launcher with this command line as the caller does, with the given environment block (wide); null where
// it could not be started.
[[nodiscard]] HANDLE start_as(Caller caller, const std::wstring& launcher, const std::wstring& command_line,
                              const std::wstring& cwd, const std::wstring& environment);

// Started by its full path, quoted, as the shell does.
[[nodiscard]] HANDLE start_launcher(const std::wstring& install);

// Our environment with PATH replaced, or removed where there is no value, and where the probe moves before it loads
// its library (QV_MOVE_TO), where given.
[[nodiscard]] std::wstring environment_for(const std::optional<std::wstring>& path, const std::wstring& move_to);

// ---- Waiting and reading what happened, on the system clock.

constexpr ULONGLONG hold_ms = 3000;
// Windows stamps a process's creation and a file's times with the clock of its last tick, up to 16 ms before the
// precise clock, and a virtual machine's timer may come late: two ticks.
constexpr LONGLONG clock_lag_ms = 32;

// Milliseconds from one time to another, negative where the other is earlier.
[[nodiscard]] LONGLONG ms_after(ULONGLONG from, ULONGLONG to);

// Milliseconds left until a deadline, for waits that share one bound.
[[nodiscard]] DWORD left_until(ULONGLONG deadline);

// The records of an install once its application has started, waiting for them up to a hold.
[[nodiscard]] std::vector<Record> records_once_started(const std::wstring& install);

[[nodiscard]] std::wstring long_form(const std::wstring& path);
[[nodiscard]] std::wstring short_form(const std::wstring& path);  // the path itself where it has none
[[nodiscard]] std::set<std::wstring> names_in(const std::wstring& folder);

// ---- What this system does, for the rows that need it: each says why it cannot show the row, or nothing.

[[nodiscard]] std::string cannot_call(Caller caller);  // an ANSI caller needs its own code page
[[nodiscard]] std::string cannot_start_x64();
// Windows passes a program's DLL search setting (SetDllDirectoryW) on to the programs it starts; Wine does not.
[[nodiscard]] std::string does_not_pass_dll_search_on();
// Makes a symbolic link to a file (relative to the link's folder), and reads it back.
[[nodiscard]] std::string cannot_link(const std::wstring& link, const wchar_t* target);
// Denies everyone the creation of files in the folder itself, not inherited, as Program Files does for a standard
// user, and tries to create one there.
[[nodiscard]] std::string does_not_deny_creating(const std::wstring& folder);

}  // namespace quorventine::check
