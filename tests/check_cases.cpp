// The check's cases: the real launcher, started with exact command lines, against a probe at bin\quorventine.exe
// that records what it received. Each table's rows start side by side in its set-up, as every successful launch
// holds 3 s; each row is then a case of its own. A row that this system cannot show is skipped, saying why, as
// decided by what the system does when asked, never by which system it is.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "harness.hpp"
#include "record.hpp"

namespace {

using namespace quorventine;
using namespace quorventine::check;

[[nodiscard]] const std::wstring& folder() { return run().folder; }

// A row that this system cannot show is skipped, saying why; one that must run here (--must-run) fails instead.
#define SKIP_UNLESS_IT_MUST_RUN(row, reason) \
  if (!must_run(row)) GTEST_SKIP() << (reason); \
  else FAIL() << "must run here (--must-run), but " << (reason)

// A text in a failure's message, cut short: a wrong launcher may hand the probe a PATH of 32,767 characters.
[[nodiscard]] std::string shown(const std::wstring& text) {
  constexpr std::size_t most = 160;
  if (text.size() <= most) return "\"" + to_code_page(CP_UTF8, text) + "\"";
  return "\"" + to_code_page(CP_UTF8, text.substr(0, most)) + "...\" (" + std::to_string(text.size()) + " characters)";
}

// Whether a path that the probe reported names the expected one, as it stands or in another form.
[[nodiscard]] testing::AssertionResult names(const std::wstring& path, const std::wstring& expected) {
  if (same_path(path, expected)) return testing::AssertionSuccess();
  return testing::AssertionFailure() << shown(path) << " does not name " << shown(expected);
}

// Application starts one hold apart at least, less a little for the clocks' granularity.
void expect_spaced(const std::vector<Record>& records) {
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_GE(ms_after(records[i - 1].created, records[i].created), LONGLONG{hold_ms} - 100) << "start " << i;
  }
}

// ---------------------------------------------------------------------------------------------------------
// Launches: what the application receives, and which library it gets when it loads its own by name after a move
// to another directory. In the rows' texts '@' stands for the install directory, '^' for the same without its drive,
// '$' for the row's folder and '*' for the root of another drive. A row lays its tree in the run's plain folder where
// its text names that tree unquoted or goes through an ANSI code page: a blank or a letter that the code page lacks
// in the user's folder would otherwise decide the row.

using enum Caller;

struct LaunchCase {
  const char* name;
  Caller caller = ansi;
  Architecture probe = x86;                     // the application's
  const wchar_t* install;                       // below $\launch
  std::wstring program = L"\"@\\start.exe\"";  // the launcher's path as the command line writes it
  const wchar_t* blanks = L" ";
  const wchar_t* arguments = L"x";
  // Where a reading of the command line as text alone looks: a tree with a launcher, an application and a
  // library, planted there (as anyone can), which must stay unused.
  const wchar_t* planted_tree = nullptr;
  const wchar_t* derived = L"@";  // null: the tree has no application, and the launcher must exit 1 at once
  const wchar_t* cwd = L"$\\launch";
  std::optional<std::wstring> old_path = L"C:\\W";  // the caller's PATH; none: no PATH at all
  bool longest_path = false;           // a PATH that, with the lib entry, is the most a variable holds
  const wchar_t* move_to = nullptr;    // where the application moves before it loads its library
  const wchar_t* hard_link = nullptr;  // the launcher started through this hard link to @\start.exe
  bool library_in_cwd = false;         // a library named like the application's own in the caller's directory
};

void PrintTo(const LaunchCase& c, std::ostream* out) { *out << c.name; }

const LaunchCase launch_cases[] = {
    {.name = "worked_example", .install = L"Program Files\\Tools Q", .arguments = L"notes.txt -x"},
    {.name = "no_arguments", .install = L"none", .blanks = L"", .arguments = L""},
    {.name = "blanks_and_tabs", .install = L"blanks", .blanks = L" \t  ", .arguments = L"a  b\t"},
    {.name = "quotes_backslashes_high_bytes", .caller = ansi_1252, .install = L"bytes", .arguments = L"\"x y\" \\\\srv\\\"q\\\" café ü\u00A0!"},
    {.name = "unquoted_path", .install = L"unquoted", .program = L"@\\start.exe", .arguments = L"a b"},
    {.name = "doubled_backslash", .install = L"doubled", .program = L"\"@\\\\start.exe\"", .arguments = L"y",
     .derived = L"@\\"},
    {.name = "path_absent", .install = L"absent", .old_path = std::nullopt},
    {.name = "path_longest", .install = L"long", .longest_path = true},
    {.name = "application_missing", .install = L"missing", .arguments = L"a", .derived = nullptr},
    {.name = "only_backslashes", .caller = wide, .install = L"backslashes", .program = std::wstring(30000, L'\\'),
     .blanks = L"", .arguments = L"", .derived = nullptr},
    // Text that no ANSI code page holds: letters of several scripts, a surrogate pair, fullwidth quotes that a
    // best-fit conversion would turn into real ones.
    {.name = "any_characters", .caller = wide, .install = L"Łukasz Привет 中文",
     .arguments = L"Привет ż ∞ 😀 report＂ --evil ＂.txt", .old_path = L"C:\\Users\\Łukasz\\bin;D:\\Привет;E:\\中文 x"},
    {.name = "bare_name_takes_own_directory", .caller = wide, .install = L"bare ż", .program = L"start.exe",
     .arguments = L"a ż"},
    // Relative and driveless launcher paths give the application its own lib whatever directory it moves to: for the
    // driveless one, a directory on another drive.
    {.name = "typed_relative_in_install", .caller = typed, .install = L"My App", .program = L".\\start.exe",
     .derived = L".", .cwd = L"@", .move_to = L"$\\planted"},
    {.name = "typed_relative_from_parent", .caller = typed, .install = L"Your App",
     .program = L"\"Your App\\start.exe\"", .derived = L"Your App", .move_to = L"$"},
    {.name = "typed_rooted_without_drive", .caller = typed, .install = L"Her App", .program = L"\"^\\start.exe\"",
     .derived = L"^", .move_to = L"*"},
    // The application started is the one beside the launcher, whatever the caller wrote: a path without quotes,
    // with '/', the document alone, a path relative to another directory; and its lib is one PATH entry.
    {.name = "unquoted_path_with_blanks", .install = L"u\\Program Files\\Q", .program = L"@\\start.exe",
     .arguments = L"doc.txt", .planted_tree = L"$\\launch\\u"},
    // Windows runs start.exe for "start": without ".exe" added for the check, the application gets "Files\...".
    {.name = "unquoted_path_with_blanks_without_exe", .install = L"v\\Program Files\\Q", .program = L"@\\start",
     .arguments = L"doc.txt", .planted_tree = L"$\\launch\\v"},
    {.name = "slashes", .install = L"s\\slashes\\Q", .program = L"\"$\\launch\\s\\slashes/Q/start.exe\"",
     .arguments = L"doc.txt", .planted_tree = L"$\\launch\\s"},
    {.name = "document_alone", .caller = wide, .install = L"document", .program = L"$\\launch\\Downloads\\doc.txt",
     .blanks = L"", .arguments = L"", .planted_tree = L"$\\launch\\Downloads"},
    {.name = "relative_to_another_directory", .install = L"r\\Q", .program = L"Q\\start.exe",
     .planted_tree = L"$\\launch\\Downloads\\Q", .cwd = L"$\\launch\\Downloads"},
    {.name = "semicolon_in_install", .install = L"a;b\\Q", .planted_tree = L"$\\planted\\b\\Q", .move_to = L"$\\planted"},
    // The written path counts where it names the launcher's own file by another name: here a hard link in
    // another tree, whose directory the application must come from.
    {.name = "hard_link_keeps_its_directory", .caller = wide, .install = L"second tree",
     .planted_tree = L"$\\launch\\first tree", .hard_link = L"$\\launch\\first tree\\launcher.exe"},
    // A library planted beside the document that the launcher is opened with is not loaded: the launcher takes the
    // current directory out of the application's DLL search.
    {.name = "library_beside_the_document", .caller = wide, .install = L"dll", .cwd = L"$\\launch\\Documents",
     .library_in_cwd = true},
    // The commonest real application is a 64-bit one, which sees the environment of a 64-bit program although
    // this launcher is a 32-bit one, and loads its own 64-bit library from lib.
    {.name = "x64_any_characters", .caller = wide, .probe = x64, .install = L"x64 Łukasz 中文",
     .arguments = L"Привет ż 😀 \"a b\"", .move_to = L"$\\planted"},
    {.name = "x64_unquoted_path_with_blanks", .probe = x64, .install = L"w\\Program Files\\Q", .program = L"@\\start.exe",
     .arguments = L"doc.txt", .planted_tree = L"$\\launch\\w"},
    // ARM64 laptops run Windows 11 and ARM64 applications, which this launcher starts from its x86 emulation.
    {.name = "arm64_any_characters", .caller = wide, .probe = arm64, .install = L"arm64 Łukasz 中文",
     .arguments = L"Привет ż 😀 \"a b\"", .move_to = L"$\\planted"},
    {.name = "arm64_unquoted_path_with_blanks", .probe = arm64, .install = L"a64\\Program Files\\Q",
     .program = L"@\\start.exe", .arguments = L"doc.txt", .planted_tree = L"$\\launch\\a64"},
    // 0x5C is also a trail byte in code page 932: ソ is 83 5C, 表 is 95 5C.
    {.name = "cp932_quoted", .caller = ansi_932, .install = L"ソフト", .program = L"\"@\\表.exe\"",
     .arguments = L"引数 \"ソ 表\" x"},
    {.name = "cp932_unquoted", .caller = ansi_932, .install = L"表ソ", .program = L"@\\表.exe",
     .arguments = L"引数 \"ソ 表\" x"},
};

[[nodiscard]] const std::wstring& folder_of(const LaunchCase& c) {
  const bool ansi_caller = c.caller != wide && c.caller != typed;
  const bool unquoted = c.program[0] != L'"' && c.program.find_first_of(L"@$") != std::wstring::npos;
  return ansi_caller || unquoted ? run().plain_folder : folder();
}

[[nodiscard]] std::wstring install_of(const LaunchCase& c) { return folder_of(c) + L"\\launch\\" + c.install; }

[[nodiscard]] std::wstring expand(const std::wstring& text, const LaunchCase& c) {
  const std::wstring install = install_of(c);
  const std::wstring marks = L"@^$*", by[] = {install, install.substr(2), folder_of(c), run().other_drive};
  std::wstring expanded;
  for (const wchar_t unit : text) {
    const std::size_t mark = marks.find(unit);
    expanded += mark == std::wstring::npos ? std::wstring(1, unit) : by[mark];
  }
  return expanded;
}

[[nodiscard]] std::optional<std::wstring> old_path_of(const LaunchCase& c) {
  if (!c.longest_path) return c.old_path;
  return std::wstring(32766 - (install_of(c) + L"\\lib;").size(), L'p');
}

// Why the row cannot be shown here, or nothing where it can.
[[nodiscard]] std::string reason_to_skip(const LaunchCase& c) {
  std::string reason = cannot_call(c.caller);
  if (reason.empty() && folder_of(c).empty()) {
    reason = "no folder could be had whose path holds no blank and only letters of this ANSI code page (under "
             "%TEMP%, a private one under %ProgramData%, or a mapped drive letter)";
  }
  if (reason.empty()) reason = cannot_start(c.probe);
  if (reason.empty() && c.library_in_cwd) reason = does_not_pass_dll_search_on();
  if (reason.empty() && c.move_to && std::wstring(c.move_to) == L"*" && run().other_drive.empty()) {
    reason = "this system has no second drive to move the application to, and no drive letter could be mapped";
  }
  return reason;
}

class Launch : public testing::TestWithParam<LaunchCase> {
 protected:
  // Every launch holds 3 s: all of them start side by side before the first row is checked.
  static void SetUpTestSuite() {
    std::vector<const LaunchCase*> rows;
    std::vector<Install> installs;
    for (const LaunchCase& c : launch_cases) {
      if (!selected(c.name) || !(skipped[c.name] = reason_to_skip(c)).empty()) continue;
      rows.push_back(&c);
      installs.push_back({install_of(c), c.probe, c.derived != nullptr});
    }
    ASSERT_TRUE(lay_out(installs));
    for (const LaunchCase* row : rows) {
      const LaunchCase& c = *row;
      const std::wstring install = install_of(c);
      if (c.planted_tree) {
        ASSERT_TRUE(make_install(expand(c.planted_tree, c), run().launcher, run().probe[x86], run().library[x86]));
      }
      if (c.move_to) CreateDirectoryW(expand(c.move_to, c).c_str(), nullptr);
      if (c.library_in_cwd) {
        CreateDirectoryW(expand(c.cwd, c).c_str(), nullptr);
        ASSERT_TRUE(copy_bytes(run().library[c.probe], expand(c.cwd, c) + L"\\probe_lib.dll"));
      }
      if (short_form(install + L"\\lib").find(L';') != std::wstring::npos) {
        skipped[c.name] = "this volume keeps no short (8.3) names, so lib, whose path holds ';', is left out of PATH";
        continue;
      }
      const std::wstring launcher = c.hard_link ? expand(c.hard_link, c) : install + L"\\start.exe";
      if (c.hard_link && !CreateHardLinkW(launcher.c_str(), (install + L"\\start.exe").c_str(), nullptr)) {
        skipped[c.name] = "this volume cannot make a hard link";
        continue;
      }
      launchers[c.name] = start_as(c.caller, launcher, expand(c.program, c) + c.blanks + c.arguments,
                                   expand(c.cwd, c), environment_for(old_path_of(c), c.move_to ? expand(c.move_to, c) : L""));
    }
    deadline = now() + 120000 * ticks_per_ms;
  }
  static inline std::map<std::string, HANDLE> launchers;
  static inline std::map<std::string, std::string> skipped;
  static inline ULONGLONG deadline;
};

TEST_P(Launch, Receives) {
  const LaunchCase& c = GetParam();
  if (!skipped[c.name].empty()) { SKIP_UNLESS_IT_MUST_RUN(c.name, skipped[c.name]); }
  const std::wstring install = install_of(c);
  const Outcome outcome = finish_in(launchers[c.name], left_until(deadline), install);
  const std::vector<Record> records = read_records(install);
  EXPECT_FALSE(exists(install + L"\\quorventine.lock"));
  EXPECT_TRUE(!c.planted_tree || read_records(expand(c.planted_tree, c)).empty()) << "the planted application ran";
  if (c.derived == nullptr) {
    EXPECT_EQ(outcome.exit_code, 1u);
    EXPECT_LT(outcome.run_ms, hold_ms - 1000) << "no hold after a failed start";
    return;
  }
  EXPECT_EQ(outcome.exit_code, 0u);
  EXPECT_GE(outcome.run_ms, hold_ms - clock_lag_ms) << "exit 0 only after the hold";
  ASSERT_EQ(records.size(), 1u);
  const Record& received = records[0];
  const std::wstring expected = L"\"" + expand(c.derived, c) + L"\\bin\\quorventine.exe\" " + c.arguments;
  EXPECT_EQ(received.command_line, expected);
  if (c.caller == ansi || c.caller == ansi_1252 || c.caller == ansi_932) {
    EXPECT_EQ(received.ansi_command_line, to_code_page(CP_ACP, expected));
  }
  // However the launcher's path was written, lib stands in PATH as one entry, a full path (in its short form
  // where the long one holds a ';'), before the old value.
  const std::size_t entry_end = received.path.find(L';');
  EXPECT_TRUE(names(received.path.substr(0, entry_end), install + L"\\lib")) << "PATH's first entry";
  EXPECT_EQ(received.path.substr(entry_end + 1), old_path_of(c).value_or(L""));
  EXPECT_EQ(received.current_directory, expand(c.cwd, c));
  EXPECT_TRUE(names(received.library, install + L"\\lib\\probe_lib.dll")) << "the library loaded";
  // A 64-bit application sees the environment of its own kind, although the launcher is a 32-bit program.
  if (c.probe != x86) {
    EXPECT_NE(received.architecture, L"x86");
    EXPECT_EQ(received.program_files, received.program_w6432);
  }
  if (c.probe == arm64) {
    EXPECT_EQ(received.architecture, L"ARM64");
  }
}

INSTANTIATE_TEST_SUITE_P(, Launch, testing::ValuesIn(launch_cases), [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------------------
// The launch lock. Each row starts three launchers on one install at once, by what stands at its lock path and
// whether the user may create files in the install folder (a per-machine install under Program Files, for a
// standard user). The first launch starts at once and the others one hold apart: on a lock file, or where none can
// be had, within the session. A program (a virus scanner, the search indexer) opens the lock file that a launcher
// takes, sharing delete, and keeps it 1 s past its release: it is then a pending delete on Windows (a file that
// still opens under Wine), and the next launcher starts only once the scanner lets go. Nothing is ever left in the
// install folder that was not there before, and a link there is not followed. Where the application is no program,
// every start fails and each launcher exits 1 at once: none waits a hold. A link, to a missing file or to one made
// during this boot, is no lock file to be had.

enum class Stands { nothing, folder, link, link_to_file, leftover, read_only_leftover };

struct LockCase {
  const char* name;
  const wchar_t* install;
  Stands stands;
  bool denies_create = false;  // the install folder denies creating files in it, not inherited
  bool starts = true;          // false: bin\quorventine.exe is not a program, so every start fails
};

void PrintTo(const LockCase& c, std::ostream* out) { *out << c.name; }

// In a folder whose name is outside the code page: a lock file made through the ANSI API would land elsewhere.
const LockCase lock_cases[] = {
    {"lock_file", L"Łódź 中", Stands::nothing},
    {"folder", L"folder", Stands::folder},
    {"link", L"link", Stands::link},
    {"link_to_file", L"link to file", Stands::link_to_file},
    {"leftover", L"leftover", Stands::leftover},
    {"read_only_leftover", L"read-only leftover", Stands::read_only_leftover},
    {"no_create", L"no create", Stands::nothing, true},
    {"failed_start_no_create", L"failed no create", Stands::nothing, true, false},
    {"failed_start_folder", L"failed folder", Stands::folder, false, false},
};

// A leftover last written on 1 January 2001, before any system of today started.
void leave_leftover(const std::wstring& lock, DWORD attributes) {
  const FILETIME old{0xC89DC000, 0x01C07385};
  const HANDLE file = CreateFileW(lock.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_TRUE(SetFileTime(file, &old, &old, &old) && CloseHandle(file) && SetFileAttributesW(lock.c_str(), attributes));
}

// Whether the row's launchers take a lock file of their own, which they hold and release.
[[nodiscard]] bool holds_lock_file(const LockCase& c) {
  return c.starts && !c.denies_create && (c.stands == Stands::nothing || c.stands == Stands::leftover);
}

struct LockRun {
  std::string skipped;
  std::set<std::wstring> names_before;
  DWORD attributes_before = INVALID_FILE_ATTRIBUTES;
  bool ready = false;
  ULONGLONG started = 0, scanned_taken = 0, scanner_closed = 0;  // the scanned lock taken, the scanner closed
  HANDLE scanner = INVALID_HANDLE_VALUE;
  std::vector<HANDLE> launchers;
  std::vector<Outcome> outcomes;
};

[[nodiscard]] std::wstring install_of(const LockCase& c) { return folder() + L"\\lock\\" + c.install; }

// Makes what stands at the row's lock path; why it cannot be shown here, or nothing.
[[nodiscard]] std::string set_up(const LockCase& c, LockRun& run) {
  const std::wstring install = install_of(c), lock = install + L"\\quorventine.lock";
  CreateDirectoryW((install + L"\\records").c_str(), nullptr);  // the probe records there, as the folder may deny it
  if (!c.starts) {
    const HANDLE text = CreateFileW((install + L"\\bin\\quorventine.exe").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, 0, nullptr);
    CloseHandle(text);  // an empty file: no program
  }
  if (c.stands == Stands::folder) CreateDirectoryW(lock.c_str(), nullptr);
  if (c.stands == Stands::leftover) leave_leftover(lock, FILE_ATTRIBUTE_NORMAL);
  if (c.stands == Stands::read_only_leftover) leave_leftover(lock, FILE_ATTRIBUTE_READONLY);
  std::string reason;
  if (c.stands == Stands::link) reason = cannot_link(lock, L"elsewhere");
  if (c.stands == Stands::link_to_file) {
    CloseHandle(CreateFileW((install + L"\\made this boot").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    reason = cannot_link(lock, L"made this boot");
  }
  if (reason.empty() && c.denies_create) reason = does_not_deny_creating(install);
  if (!reason.empty()) return reason;
  run.names_before = names_in(install);
  run.attributes_before = GetFileAttributesW(lock.c_str());
  return "";
}

class Lock : public testing::TestWithParam<LockCase> {
 protected:
  static void SetUpTestSuite() {
    std::vector<Install> installs;
    for (const LockCase& c : lock_cases) {
      if (selected(c.name)) installs.push_back({install_of(c), x86, c.starts});
    }
    ASSERT_TRUE(lay_out(installs));
    for (const LockCase& c : lock_cases) {
      LockRun& run = runs[c.name];
      run.ready = selected(c.name) && (run.skipped = set_up(c, run)).empty();
    }
    const ULONGLONG deadline = now() + 120000 * ticks_per_ms;
    // Starting a burst of processes takes seconds under an emulator: the scanner looks for the first lock of each
    // row between the starts of the next rows.
    for (const LockCase& c : lock_cases) {
      LockRun& run = runs[c.name];
      if (!run.ready) continue;
      run.started = now();
      for (int i = 0; i < 3; ++i) run.launchers.push_back(start_launcher(install_of(c)));
      scan_taken_locks();
    }
    while (now() < deadline && scan_taken_locks()) Sleep(1);
    for (const LockCase& c : lock_cases) {
      LockRun& run = runs[c.name];
      if (run.scanner == INVALID_HANDLE_VALUE) continue;
      Sleep(left_until(run.scanned_taken + (hold_ms + 1000) * ticks_per_ms));
      run.scanner_closed = now();
      CloseHandle(run.scanner);
    }
    for (const LockCase& c : lock_cases) {
      LockRun& run = runs[c.name];
      for (HANDLE launcher : run.launchers) {
        run.outcomes.push_back(finish_in(launcher, left_until(deadline), install_of(c)));
      }
    }
  }
  // Opens, as a scanner would, each row's lock file that a launcher took since the burst began (not a leftover that
  // stood there before); says whether a row is still waited for, up to a hold.
  static bool scan_taken_locks() {
    bool waiting = false;
    for (const LockCase& c : lock_cases) {
      LockRun& run = runs[c.name];
      if (run.launchers.empty() || !holds_lock_file(c) || run.scanner != INVALID_HANDLE_VALUE) continue;
      const HANDLE scanner =
          CreateFileW((install_of(c) + L"\\quorventine.lock").c_str(), GENERIC_READ,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
      BY_HANDLE_FILE_INFORMATION file{};
      if (scanner != INVALID_HANDLE_VALUE && GetFileInformationByHandle(scanner, &file) &&
          ms_after(run.started, ticks(file.ftLastWriteTime)) >= -clock_lag_ms) {
        run.scanner = scanner;
        run.scanned_taken = ticks(file.ftLastWriteTime);  // written once, when taken: a new file of a name just deleted
                                                          // may get the old one's creation time
        continue;
      }
      if (scanner != INVALID_HANDLE_VALUE) CloseHandle(scanner);
      waiting = waiting || ms_after(run.started, now()) < LONGLONG{hold_ms};
    }
    return waiting;
  }
  static inline std::map<std::string, LockRun> runs;
};

TEST_P(Lock, Spaced) {
  const LockCase& c = GetParam();
  const LockRun& run = runs[c.name];
  if (!run.skipped.empty()) { SKIP_UNLESS_IT_MUST_RUN(c.name, run.skipped); }
  const std::wstring install = install_of(c), lock = install + L"\\quorventine.lock";
  const std::vector<Record> records = read_records(install);
  for (const Outcome& outcome : run.outcomes) {
    EXPECT_EQ(outcome.exit_code, c.starts ? 0u : 1u);
    // A launcher that waits when it should not waits a hold at least, or a refusal's bound.
    if (!c.starts) {
      EXPECT_LT(outcome.run_ms, hold_ms - 1000) << "a failed start's lock held, or waited for";
    }
  }
  if (c.starts) {
    ASSERT_EQ(records.size(), 3u);
    // A first launcher that waits, waits a hold at least: a start under one is not late, however slow the machine.
    EXPECT_LT(ms_after(run.started, records[0].created), LONGLONG{hold_ms}) << "the first start came a hold late";
    expect_spaced(records);
    if (holds_lock_file(c)) {
      // The start after that of the launcher whose lock the scanner kept.
      const auto holder = std::find_if(records.begin(), records.end(), [&](const Record& record) {
        return ms_after(run.scanned_taken, record.created) >= -clock_lag_ms;
      });
      ASSERT_LT(holder - records.begin(), 2) << "the scanner came too late";
      const auto next = holder + 1;
      EXPECT_GE(ms_after(run.scanner_closed, next->created), -clock_lag_ms)
          << "started while the scanner kept the released lock";
      // Within a poll and a process start of the scanner's close, well within a hold: a launcher that waits out a
      // refusal's 30 s bound, then goes on without a lock file, starts far later.
      EXPECT_LT(ms_after(run.scanner_closed, next->created), LONGLONG{hold_ms})
          << "started a hold or more after the scanner let go";
    }
  } else {
    EXPECT_TRUE(records.empty());
  }
  const std::set<std::wstring> names_after = names_in(install);
  EXPECT_TRUE(std::includes(run.names_before.begin(), run.names_before.end(), names_after.begin(), names_after.end()))
      << "a name was left in the install folder, or made through the link";
  // Only a lock file goes, and a leftover that can be deleted; a link is not followed, and stays.
  const bool stays = c.stands == Stands::folder || c.stands == Stands::link || c.stands == Stands::link_to_file ||
                     c.stands == Stands::read_only_leftover;
  EXPECT_EQ(GetFileAttributesW(lock.c_str()), stays ? run.attributes_before : INVALID_FILE_ATTRIBUTES);
}

INSTANTIATE_TEST_SUITE_P(, Lock, testing::ValuesIn(lock_cases), [](const auto& info) { return info.param.name; });

// Timed, so its rows run one after another. A launcher waits while the lock is held: by a lock file of this boot
// made by hand, or by a launcher in its hold, on the lock file or (a folder at the lock path) on the session's lock.
// Once the lock goes (deleted by hand; its holder ended by End task, a job closed with kill-on-close, a crash), the
// launcher starts the application within a poll and a process start, well before the end of the hold that the
// holder had left (about 2 s), even on a shared machine that is slow for a moment.
class LockHandoff : public testing::TestWithParam<std::string> {};

TEST_P(LockHandoff, StartsOnceTheLockGoes) {
  const std::string held_by = GetParam();
  const std::wstring install = folder() + L"\\handoff\\" + std::wstring(held_by.begin(), held_by.end());
  const std::wstring lock = install + L"\\quorventine.lock";
  ASSERT_TRUE(lay_out({{install}}));
  HANDLE holder = nullptr;
  if (held_by == "hand_made_file") {
    CloseHandle(CreateFileW(lock.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  } else {
    ASSERT_TRUE(held_by == "launcher" || CreateDirectoryW(lock.c_str(), nullptr));
    holder = start_launcher(install);
    ASSERT_EQ(records_once_started(install).size(), 1u);
  }
  HANDLE next = start_launcher(install);
  Sleep(1000);  // past its own start, into its wait; a holder has 2 s of its hold left
  const ULONGLONG ended = now();
  ASSERT_TRUE(holder ? TerminateProcess(holder, 9) && finish_in(holder, 10000, install).exit_code == 9
                     : delete_by_hand(lock));
  EXPECT_EQ(finish_in(next, 60000, install).exit_code, 0u);
  const std::vector<Record> records = read_records(install);
  ASSERT_EQ(records.size(), holder ? 2u : 1u);
  // Not before the lock went, whatever a probe's start takes; within a poll and a process start of it.
  EXPECT_GE(ms_after(ended, records.back().created), -clock_lag_ms) << "started before the lock went";
  EXPECT_LT(ms_after(ended, records.back().created), 1000) << "a poll and a process start";
}

INSTANTIATE_TEST_SUITE_P(, LockHandoff, testing::Values("hand_made_file", "launcher", "launcher_in_session"),
                         [](const auto& info) { return info.param; });

}  // namespace
