// What the check program's runner gives its cases (tests/check_cases.cpp): the files under test, folders of the
// run's own and a second drive; install trees whose programs have had their first start; starting the launcher as
// each kind of caller does; waiting, bounded, for what the application records; and, for the rows that need what
// not every system does, whether this one does it, found out by asking it, never by which system it is.
#pragma once

#include <windows.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "harness.hpp"
#include "machines.hpp"
#include "record.hpp"

namespace quorventine::check {

struct Run {
  std::wstring launcher;                   // the launcher under test: the one beside the check, or --launcher
  std::wstring probe[architectures];       // the probe application, by architecture
  std::wstring library[architectures];     // its library, by architecture
  std::wstring folder;                     // a new folder under %TEMP%, in its long form
  // Where the rows lay their trees whose paths an ANSI caller writes, or that stand unquoted on a command line: a
  // path with no blank and nothing that the ANSI code page lacks. The folder itself where its path is such a one;
  // otherwise a new folder under %ProgramData%, or the mapped drive letter ("X:"); empty where there is none.
  std::wstring plain_folder;
  std::wstring other_drive;                // the root of a drive other than the folder's; empty where there is none
};

[[nodiscard]] const Run& run();

// How the check ends: in its README, and in the line after its summary.
enum Exit { exit_passed = 0, exit_failed = 1, exit_cannot_run = 2, exit_interrupted = 3 };

// Ends the run at once, with a line that says why and where it stood; what it started is ended and what it made is
// removed first.
[[noreturn]] void stop(Exit code, const std::string& why);

// Whether the test filter lets this row of the running table run: a trace of one launch shows that launch alone.
[[nodiscard]] bool selected(const char* row);

// Whether --must-run names this row: where this system cannot show it, that is a failure, not a skip.
[[nodiscard]] bool must_run(const std::string& row);

// ---- Install trees.

struct Install {
  std::wstring dir;
  Architecture probe = x86;
  bool with_application = true;  // false: no bin\quorventine.exe
};

// Lays out each install (every directory of its path, start.exe, bin\quorventine.exe and lib\probe_lib.dll), and
// starts each program copy once before anything is timed: a virus scanner looks at a program at its first start,
// which may take seconds. Staged so that it does no harm: each launcher before its application is there (it exits 1
// at once), each application on its own with lib in PATH, so that its library is loaded too; what the applications
// record is removed. A start that Windows refuses stops the check: a launcher that is no program, or a probe that
// does not start where this Windows runs its machine's programs (a damaged file), as well as a policy's refusal.
// False where a file could not be made.
[[nodiscard]] bool lay_out(const std::vector<Install>& installs);

// ---- Starting the launcher. Where Windows refuses a start, the check stops at once: it cannot run here.

enum class Caller {
  ansi,       // CreateProcessA in the system's own ANSI code page, whatever it is
  ansi_1252,  // the same, for text whose point is code page 1252's bytes: only where that is the system's
  ansi_932,   // the same for code page 932
  wide,       // CreateProcessW, for text that no code page holds
  typed,      // %ComSpec% /c, as a user types the command
};

// Starts the launcher with this command line as the caller does, with the given environment block (wide).
[[nodiscard]] HANDLE start_as(Caller caller, const std::wstring& launcher, const std::wstring& command_line,
                              const std::wstring& cwd, const std::wstring& environment);

// Started by its full path, quoted, as the shell does.
[[nodiscard]] HANDLE start_launcher(const std::wstring& install);

// Our environment with PATH replaced, or removed where there is no value, and where the probe moves before it loads
// its library (QV_MOVE_TO), where given.
[[nodiscard]] std::wstring environment_for(const std::optional<std::wstring>& path, const std::wstring& move_to);

// Ends every process whose program lies in one of these folders: everything that the check starts is a copy in its
// own folders, so this reaches what a job could not hold.
void end_processes_in(const std::vector<std::wstring>& folders);

// ---- Waiting and reading what happened, on the system clock.

constexpr ULONGLONG hold_ms = 3000;
// Windows stamps a process's creation and a file's times with the clock of its last tick, up to 16 ms before the
// precise clock, and a virtual machine's timer may come late: two ticks.
constexpr LONGLONG clock_lag_ms = 32;

// Milliseconds left until a deadline, for waits that share one bound.
[[nodiscard]] DWORD left_until(ULONGLONG deadline);

// Waits for a process of a case as finish does; where it has to end it, it ends whatever else runs from the case's
// tree too (a launcher that cmd started, where Windows kept them out of the job).
Outcome finish_in(HANDLE process, DWORD wait_ms, const std::wstring& tree);

// The records of an install once its application has started, waiting for them up to a hold.
[[nodiscard]] std::vector<Record> records_once_started(const std::wstring& install);

[[nodiscard]] std::wstring long_form(const std::wstring& path);   // the path itself where it is too long to ask
[[nodiscard]] std::wstring short_form(const std::wstring& path);  // the path itself where it has none
// Whether a path that the probe reported names the expected one, as it stands or in another form (a short name).
[[nodiscard]] bool same_path(const std::wstring& path, const std::wstring& expected);
[[nodiscard]] std::set<std::wstring> names_in(const std::wstring& folder);

// ---- What this system does, for the rows that need it: each says why it cannot show the row, or nothing.

[[nodiscard]] std::string cannot_call(Caller caller);  // a pinned code page that is not the system's
// What this Windows answers about the machines whose programs it runs, asked once.
[[nodiscard]] const SystemAnswers& system_answers();
// Only where this Windows says that it runs no programs of the probe's machine, asked before anything is laid out.
[[nodiscard]] std::string cannot_start(Architecture probe);
// Windows passes a program's DLL search setting (SetDllDirectoryW) on to the programs it starts; Wine does not.
[[nodiscard]] std::string does_not_pass_dll_search_on();
// Makes a symbolic link to a file (relative to the link's folder), and reads it back.
[[nodiscard]] std::string cannot_link(const std::wstring& link, const wchar_t* target);
// Denies everyone the creation of files in the folder itself, not inherited, as Program Files does for a standard
// user, and tries to create one there.
[[nodiscard]] std::string does_not_deny_creating(const std::wstring& folder);

}  // namespace quorventine::check
