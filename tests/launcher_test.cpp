// The real launcher under Wine, started with exact command lines against a probe at bin\quorventine.exe that
// records what it received. Drive Q: is a scratch folder of the build tree. The program runs once in code page
// 1252 and once in 932; each launch case runs in the code page of its caller.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "harness.hpp"
#include "record.hpp"

namespace {

using namespace quorventine;

constexpr ULONGLONG hold_ms = 3000;
const std::wstring launcher_exe = full_path_from_environment(L"QV_LAUNCHER");
const std::wstring probe_exe = full_path_from_environment(L"QV_PROBE");
const std::wstring library_dll = full_path_from_environment(L"QV_LIBRARY");

void make_install(const std::wstring& dir, bool with_application = true) {
  ASSERT_TRUE(quorventine::make_install(dir, launcher_exe, with_application ? probe_exe : L"", library_dll));
}

// Started by its full path, quoted, as the shell does.
[[nodiscard]] HANDLE start_launcher(const std::wstring& install) {
  return start_process(install + L"\\start.exe", L"\"" + install + L"\\start.exe\"", install);
}

// The records of an install once its application has started, waiting for it up to a hold.
[[nodiscard]] std::vector<Record> records_once_started(const std::wstring& install) {
  std::vector<Record> records;
  for (const ULONGLONG since = now(); records.empty() && (now() - since) / ticks_per_ms < hold_ms; Sleep(1))
    records = read_records(install);
  return records;
}

// Application starts one hold apart at least, less a little for the clocks' granularity.
void expect_spaced(const std::vector<Record>& records) {
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_GE((records[i].created - records[i - 1].created) / ticks_per_ms, hold_ms - 100) << "start " << i;
  }
}

[[nodiscard]] std::wstring long_form(const std::wstring& path) {
  wchar_t long_path[32768];
  return std::wstring(long_path, GetLongPathNameW(path.c_str(), long_path, 32768));
}

[[nodiscard]] std::wstring expand(std::wstring text, const std::wstring& install) {
  for (std::size_t at; (at = text.find(L'@')) != std::wstring::npos;) text.replace(at, 1, install);
  return text;
}

// Our environment with PATH replaced, or removed when there is no value, and where to the application moves.
[[nodiscard]] std::wstring environment_for(const std::optional<std::wstring>& path, const wchar_t* move_to) {
  std::wstring block;
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
    if (_wcsnicmp(entry, L"PATH=", 5) != 0) block.append(entry).push_back(L'\0');
  }
  FreeEnvironmentStringsW(strings);
  if (path) block.append(L"PATH=" + *path).push_back(L'\0');
  if (move_to) block.append(std::wstring(L"QV_MOVE_TO=") + move_to).push_back(L'\0');
  return block;
}

// ---------------------------------------------------------------------------------------------------------
// Launches: what the application receives, and which library it gets when it loads its own by name after a
// move to another directory. '@' stands for the install directory, Q:\launch\<install>.

enum class Caller {
  ansi_1252,  // CreateProcessA in code page 1252
  ansi_932,   // CreateProcessA in code page 932
  wide,       // CreateProcessW, for text that no code page holds
  typed,      // cmd /c, as a user types the command
};
using enum Caller;

struct LaunchCase {
  const char* name;
  Caller caller = ansi_1252;
  const wchar_t* install;                       // below Q:\launch
  std::wstring program = L"\"@\\start.exe\"";  // the launcher's path as the command line writes it
  const wchar_t* blanks = L" ";
  const wchar_t* arguments = L"x";
  // Where a reading of the command line as text alone looks: a tree with a launcher, an application and a
  // library, planted there (as anyone can), which must stay unused.
  const wchar_t* planted_tree = nullptr;
  const wchar_t* derived = L"@";  // null: the tree has no application, and the launcher must exit 1 at once
  const wchar_t* cwd = L"Q:\\launch";
  std::optional<std::wstring> old_path = L"C:\\W";
  const wchar_t* move_to = nullptr;    // where the application moves before it loads its library
  const wchar_t* hard_link = nullptr;  // the launcher started through this hard link to @\start.exe
};

void PrintTo(const LaunchCase& c, std::ostream* out) { *out << c.name; }

// A library named like the application's own, in a lib below the directory that the application moves to.
const wchar_t* const planted = L"Q:\\planted";
const wchar_t* const downloads = L"Q:\\launch\\Downloads";

// With the library prefix added, the value is 32,766 characters: the most an environment variable holds.
const std::wstring long_path(32766 - wcslen(L"Q:\\launch\\long\\lib;"), L'p');

const LaunchCase launch_cases[] = {
    {.name = "worked_example", .install = L"Program Files\\Tools Q", .arguments = L"notes.txt -x"},
    {.name = "no_arguments", .install = L"none", .blanks = L"", .arguments = L""},
    {.name = "blanks_and_tabs", .install = L"blanks", .blanks = L" \t  ", .arguments = L"a  b\t"},
    {.name = "quotes_backslashes_high_bytes", .install = L"bytes", .arguments = L"\"x y\" \\\\srv\\\"q\\\" café ü\u00A0!"},
    {.name = "unquoted_path", .install = L"unquoted", .program = L"@\\start.exe", .arguments = L"a b"},
    {.name = "doubled_backslash", .install = L"doubled", .program = L"\"@\\\\start.exe\"", .arguments = L"y",
     .derived = L"@\\"},
    {.name = "relative_dot", .install = L"dot", .program = L"\".\\start.exe\"", .arguments = L"z",
     .derived = L".", .cwd = L"@"},
    {.name = "path_absent", .install = L"absent", .old_path = std::nullopt},
    {.name = "path_long", .install = L"long", .old_path = long_path},
    {.name = "application_missing", .install = L"missing", .arguments = L"a", .derived = nullptr},
    {.name = "only_backslashes", .caller = wide, .install = L"backslashes", .program = std::wstring(30000, L'\\'),
     .blanks = L"", .arguments = L"", .derived = nullptr},
    // Text that no ANSI code page holds: letters of several scripts, a surrogate pair, fullwidth quotes that a
    // best-fit conversion would turn into real ones.
    {.name = "any_characters", .caller = wide, .install = L"Łukasz Привет 中文",
     .arguments = L"Привет ż ∞ 😀 report＂ --evil ＂.txt", .old_path = L"C:\\Users\\Łukasz\\bin;D:\\Привет;E:\\中文 x"},
    {.name = "bare_name_takes_own_directory", .caller = wide, .install = L"bare ż", .program = L"start.exe",
     .arguments = L"a ż"},
    // Relative and driveless launcher paths give the application its own lib whatever directory it moves to.
    {.name = "typed_relative_in_install", .caller = typed, .install = L"My App", .program = L".\\start.exe",
     .derived = L".", .cwd = L"@", .move_to = planted},
    {.name = "typed_relative_from_parent", .caller = typed, .install = L"Your App",
     .program = L"\"Your App\\start.exe\"", .derived = L"Your App", .move_to = L"Q:\\"},
    {.name = "typed_rooted_without_drive", .caller = typed, .install = L"Her App",
     .program = L"\"\\launch\\Her App\\start.exe\"", .derived = L"\\launch\\Her App", .move_to = L"C:\\"},
    // The application started is the one beside the launcher, whatever the caller wrote: a path without quotes,
    // with '/', the document alone, a path relative to another directory; and its lib is one PATH entry.
    {.name = "unquoted_path_with_blanks", .install = L"u\\Program Files\\Q", .program = L"@\\start.exe",
     .arguments = L"doc.txt", .planted_tree = L"Q:\\launch\\u"},
    // Windows runs start.exe for "start": without ".exe" added for the check, the application gets "Files\...".
    {.name = "unquoted_path_with_blanks_without_exe", .install = L"v\\Program Files\\Q", .program = L"@\\start",
     .arguments = L"doc.txt", .planted_tree = L"Q:\\launch\\v"},
    {.name = "slashes", .install = L"s\\slashes\\Q", .program = L"\"Q:\\launch\\s\\slashes/Q/start.exe\"",
     .arguments = L"doc.txt", .planted_tree = L"Q:\\launch\\s"},
    {.name = "document_alone", .caller = wide, .install = L"document", .program = L"Q:\\launch\\Downloads\\doc.txt",
     .blanks = L"", .arguments = L"", .planted_tree = downloads},
    {.name = "relative_to_another_directory", .install = L"r\\Q", .program = L"Q\\start.exe",
     .planted_tree = L"Q:\\launch\\Downloads\\Q", .cwd = downloads},
    {.name = "semicolon_in_install", .install = L"a;b\\Q", .planted_tree = L"Q:\\planted\\b\\Q", .move_to = planted},
    // The written path counts where it names the launcher's own file by another name: here a hard link in
    // another tree, whose directory the application must come from.
    {.name = "hard_link_keeps_its_directory", .caller = wide, .install = L"second tree",
     .planted_tree = L"Q:\\launch\\first tree", .hard_link = L"Q:\\launch\\first tree\\launcher.exe"},
    // 0x5C is also a trail byte in code page 932: ソ is 83 5C, 表 is 95 5C.
    {.name = "cp932_quoted", .caller = ansi_932, .install = L"ソフト", .program = L"\"@\\表.exe\"",
     .arguments = L"引数 \"ソ 表\" x"},
    {.name = "cp932_unquoted", .caller = ansi_932, .install = L"表ソ", .program = L"@\\表.exe",
     .arguments = L"引数 \"ソ 表\" x"},
};

// The program runs once in each code page, with the rows of its callers.
[[nodiscard]] std::vector<LaunchCase> cases_in_this_code_page() {
  std::vector<LaunchCase> cases;
  for (const LaunchCase& c : launch_cases) {
    if ((c.caller == ansi_932 ? 932u : 1252u) == GetACP()) cases.push_back(c);
  }
  return cases;
}

[[nodiscard]] std::wstring install_of(const LaunchCase& c) { return std::wstring(L"Q:\\launch\\") + c.install; }

[[nodiscard]] HANDLE start_case(const LaunchCase& c, const std::wstring& install, const std::wstring& environment) {
  const std::wstring command_line = expand(c.program, install) + c.blanks + c.arguments;
  const std::wstring cwd = expand(c.cwd, install);
  const std::wstring launcher = c.hard_link ? c.hard_link : install + L"\\start.exe";
  if (c.caller == wide) return start_process(launcher, command_line, cwd, &environment);
  if (c.caller == typed) {
    return start_process(L"C:\\windows\\system32\\cmd.exe", L"cmd /c " + command_line, cwd, &environment);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string line = to_code_page(CP_ACP, command_line);
  if (!CreateProcessA(to_code_page(CP_ACP, launcher).c_str(), line.data(), nullptr, nullptr, FALSE,
                      CREATE_UNICODE_ENVIRONMENT, const_cast<wchar_t*>(environment.data()), to_code_page(CP_ACP, cwd).c_str(),
                      &startup, &process)) return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

class Launch : public testing::TestWithParam<LaunchCase> {
 protected:
  // Every launch holds 3 s: all of them start side by side before the first row is checked.
  static void SetUpTestSuite() {
    if (GetACP() == 1252) make_install(planted, false);
    for (const LaunchCase& c : cases_in_this_code_page()) {
      const std::wstring install = install_of(c);
      make_install(install, c.derived != nullptr);
      if (c.planted_tree) make_install(c.planted_tree);
      ASSERT_TRUE(!c.hard_link || CreateHardLinkW(c.hard_link, (install + L"\\start.exe").c_str(), nullptr));
      launchers[c.name] = start_case(c, install, environment_for(c.old_path, c.move_to));
    }
  }
  static inline std::map<std::string, HANDLE> launchers;
};

TEST_P(Launch, ApplicationReceivesArgumentsPathAndDirectory) {
  const LaunchCase& c = GetParam();
  const std::wstring install = install_of(c);
  const Outcome outcome = finish(launchers[c.name]);
  const std::vector<Record> records = read_records(install);
  EXPECT_FALSE(exists(install + L"\\quorventine.lock"));
  EXPECT_TRUE(!c.planted_tree || read_records(c.planted_tree).empty()) << "the planted application ran";
  if (c.derived == nullptr) {
    EXPECT_EQ(outcome.exit_code, 1u);
    EXPECT_LT(outcome.run_ms, hold_ms - 1000) << "no hold after a failed start";
    return;
  }
  EXPECT_EQ(outcome.exit_code, 0u);
  EXPECT_GE(outcome.run_ms, hold_ms - 10) << "exit 0 only after the hold";
  ASSERT_EQ(records.size(), 1u);
  const std::wstring expected = L"\"" + expand(c.derived, install) + L"\\bin\\quorventine.exe\" " + c.arguments;
  EXPECT_EQ(records[0].command_line, expected);
  if (c.caller == ansi_1252 || c.caller == ansi_932) {
    EXPECT_EQ(records[0].ansi_command_line, to_code_page(CP_ACP, expected));
  }
  // However the launcher's path was written, lib stands in PATH as one entry, a full path (in its short form
  // where the long one holds a ';'), before the old value.
  const std::size_t entry_end = records[0].path.find(L';');
  EXPECT_EQ(long_form(records[0].path.substr(0, entry_end)), install + L"\\lib");
  EXPECT_EQ(records[0].path.substr(entry_end + 1), c.old_path.value_or(L""));
  EXPECT_EQ(records[0].current_directory, expand(c.cwd, install));
  EXPECT_EQ(long_form(records[0].library), install + L"\\lib\\sample_lib.dll");
}

INSTANTIATE_TEST_SUITE_P(InThisCodePage, Launch, testing::ValuesIn(cases_in_this_code_page()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------------------
// The launch lock. Each row starts three launchers on one install at once. What stands at its lock path: nothing
// (in a directory whose name is outside the code page, so that a lock file made through the ANSI API would land
// elsewhere), a directory or a link to a file that does not exist (both made by the test's runner: Wine cannot make
// links), or files left from before the system started, one of them read-only. The first launch starts at once and
// the others one hold apart: on a lock file, or where none can be had, within the session; even with a program (a
// virus scanner, the search indexer) holding what stands there open, with delete sharing, across the first release.
// Only a lock file goes, and a leftover that can be deleted; a take that opened the path for writing without
// create-new would make a file through the link.
TEST(Lock, LaunchesAreSpacedWhateverStandsAtTheLockPath) {
  const struct { std::wstring install; DWORD leftover; bool opened; DWORD left_behind; } cases[] = {
      {L"Q:\\lock\\Łódź 中", 0, true, INVALID_FILE_ATTRIBUTES},
      {L"Q:\\lock\\directory", 0, false, FILE_ATTRIBUTE_DIRECTORY},
      {L"Q:\\lock\\link", 0, false, INVALID_FILE_ATTRIBUTES},
      {L"Q:\\lock\\read-only leftover", FILE_ATTRIBUTE_READONLY, true, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
      {L"Q:\\lock\\leftover", FILE_ATTRIBUTE_NORMAL, true, INVALID_FILE_ATTRIBUTES},
  };
  FILETIME old{0xC89DC000, 0x01C07385};  // 1 January 2001
  std::vector<HANDLE> launchers, scanners;
  std::vector<ULONGLONG> started;
  for (const auto& c : cases) {
    const std::wstring lock = c.install + L"\\quorventine.lock";
    make_install(c.install);
    if (c.leftover != 0) {
      const HANDLE file = CreateFileW(lock.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
      ASSERT_TRUE(SetFileTime(file, &old, &old, &old) && CloseHandle(file) && SetFileAttributesW(lock.c_str(), c.leftover));
    } else if (!c.opened) {
      ASSERT_FALSE(CreateDirectoryW(lock.c_str(), nullptr)) << "made by the runner";
    }
    started.push_back(now());
    for (int i = 0; i < 3; ++i) launchers.push_back(start_launcher(c.install));
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::vector<Record> first = records_once_started(cases[i].install);
    // A launcher that waits when it should not waits a hold at least, or a refusal's bound. Well short of that, a
    // start counts as at once even on a shared machine that a burst of Wine processes slows for a second.
    EXPECT_LT(first.empty() ? hold_ms : (first[0].created - started[i]) / ticks_per_ms, hold_ms - 1000) << cases[i].install;
    scanners.push_back(CreateFileW((cases[i].install + L"\\quorventine.lock").c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(scanners.back() != INVALID_HANDLE_VALUE, cases[i].opened) << cases[i].install;
  }
  EXPECT_FALSE(exists(L"Q:\\lock\\link\\elsewhere")) << "made through the link and held";
  Sleep(3500);  // past the first releases, 3 s after the starts that the loop above saw
  for (HANDLE scanner : scanners) CloseHandle(scanner);
  for (HANDLE launcher : launchers) EXPECT_EQ(finish(launcher).exit_code, 0u);
  for (const auto& c : cases) {
    const std::vector<Record> records = read_records(c.install);
    EXPECT_EQ(records.size(), 3u) << c.install;
    expect_spaced(records);
    EXPECT_EQ(GetFileAttributesW((c.install + L"\\quorventine.lock").c_str()), c.left_behind) << c.install;
  }
}

// Timed, so it runs alone. A launcher waits while the lock is held: by a lock file of this boot made by hand, or by
// a launcher in its hold, on the lock file or (a folder at the lock path) on the session's lock. Once the lock goes
// (deleted by hand; its holder ended by End task, a job closed with kill-on-close, a crash), the launcher starts the
// application within a poll and a process start: about 150 ms under Wine, and well before the end of the hold that
// the holder had left (about 2 s), even on a shared machine that is slow for a moment.
TEST(LockHandoff, WaitingLauncherStartsOnceTheLockGoes) {
  for (const std::wstring held_by : {L"hand-made file", L"launcher", L"launcher in session"}) {
    const std::wstring install = L"Q:\\lock\\" + held_by, lock = install + L"\\quorventine.lock";
    SCOPED_TRACE(install);
    make_install(install);
    HANDLE holder = nullptr;
    if (held_by == L"hand-made file") {
      CloseHandle(CreateFileW(lock.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    } else {
      ASSERT_TRUE(held_by == L"launcher" || CreateDirectoryW(lock.c_str(), nullptr));
      holder = start_launcher(install);
      ASSERT_EQ(records_once_started(install).size(), 1u);
    }
    HANDLE next = start_launcher(install);
    Sleep(1000);  // past its own start, into its wait; a holder has 2 s of its hold left
    EXPECT_EQ(read_records(install).size(), holder ? 1u : 0u) << "it must wait";
    const ULONGLONG ended = now();
    ASSERT_TRUE(holder ? TerminateProcess(holder, 9) && finish(holder).exit_code == 9 : delete_by_hand(lock));
    EXPECT_EQ(finish(next).exit_code, 0u);
    const std::vector<Record> records = read_records(install);
    ASSERT_FALSE(records.empty());
    EXPECT_LT((records.back().created - ended) / ticks_per_ms, 1000u) << "a poll and a process start";
  }
}

}  // namespace
