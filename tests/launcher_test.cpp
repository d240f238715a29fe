// The real launcher under Wine, started with exact command lines against a probe at bin\quorventine.exe that
// records what it received. Drive Q: is a scratch folder of the build tree. The program runs once in code page
// 1252 and once in 932; each launch case runs in the code page it is written for.
#include <windows.h>

#include <gtest/gtest.h>

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
[[nodiscard]] HANDLE start_launcher(const std::wstring& install, const std::wstring& arguments = L"") {
  return start_process(install + L"\\start.exe", L"\"" + install + L"\\start.exe\"" + arguments, install);
}

// The records of an install once its application has started, waiting up to 2 s for it.
[[nodiscard]] std::vector<Record> records_once_started(const std::wstring& install) {
  std::vector<Record> records;
  for (int waited = 0; records.empty() && waited < 2000; ++waited, Sleep(1)) records = read_records(install);
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

constexpr UINT wide = 0, typed = 1;  // callers other than CreateProcessA in an ANSI code page; both in 1252

struct LaunchCase {
  const char* name;
  UINT code_page;  // CreateProcessA in this ANSI code page; wide: CreateProcessW; typed: cmd /c, as a user types
  const wchar_t* install;
  std::wstring program;  // the launcher's path as the command line writes it
  const wchar_t* blanks;
  const wchar_t* arguments;
  // Where a reading of the command line as text alone looks: a tree with a launcher, an application and a
  // library, planted there (as anyone can), which must stay unused.
  const wchar_t* planted_tree = nullptr;
  const wchar_t* derived = L"@";  // null: the tree has no application, and the launcher must exit 1 at once
  const wchar_t* cwd = L"Q:\\launch";
  std::optional<std::wstring> old_path = L"C:\\W";
  const wchar_t* move_to = nullptr;  // where the application moves before it loads its library
  const wchar_t* hard_link = nullptr;  // the launcher started through this hard link to @\start.exe
};

// A library named like the application's own, in a lib below the directory that the application moves to.
const wchar_t* const planted = L"Q:\\planted";
const wchar_t* const downloads = L"Q:\\launch\\Downloads";

// With the library prefix added, the value is 32,766 characters: the most an environment variable holds.
const std::wstring long_path(32766 - wcslen(L"Q:\\launch\\long\\lib;"), L'p');

const LaunchCase launch_cases[] = {
    {"worked_example", 1252, L"Program Files\\Tools Q", L"\"@\\start.exe\"", L" ", L"notes.txt -x"},
    {"no_arguments", 1252, L"none", L"\"@\\start.exe\"", L"", L""},
    {"blanks_and_tabs", 1252, L"blanks", L"\"@\\start.exe\"", L" \t  ", L"a  b\t"},
    {"quotes_backslashes_high_bytes", 1252, L"bytes", L"\"@\\start.exe\"", L" ", L"\"x y\" \\\\srv\\\"q\\\" café ü\u00A0!"},
    {"unquoted_path", 1252, L"unquoted", L"@\\start.exe", L" ", L"a b"},
    {"doubled_backslash", 1252, L"doubled", L"\"@\\\\start.exe\"", L" ", L"y", nullptr, L"@\\"},
    {"relative_dot", 1252, L"dot", L"\".\\start.exe\"", L" ", L"z", nullptr, L".", L"@"},
    {"path_absent", 1252, L"absent", L"\"@\\start.exe\"", L" ", L"x", nullptr, L"@", L"Q:\\launch", std::nullopt},
    {"path_long", 1252, L"long", L"\"@\\start.exe\"", L" ", L"x", nullptr, L"@", L"Q:\\launch", long_path},
    {"application_missing", 1252, L"missing", L"\"@\\start.exe\"", L" ", L"a", nullptr, nullptr},
    {"only_backslashes", wide, L"backslashes", std::wstring(30000, L'\\'), L"", L"", nullptr, nullptr},
    // Text that no ANSI code page holds: letters of several scripts, a surrogate pair, fullwidth quotes that a
    // best-fit conversion would turn into real ones.
    {"any_characters", wide, L"Łukasz Привет 中文", L"\"@\\start.exe\"", L" ", L"Привет ż ∞ 😀 report＂ --evil ＂.txt",
     nullptr, L"@", L"Q:\\launch", L"C:\\Users\\Łukasz\\bin;D:\\Привет;E:\\中文 x"},
    {"bare_name_takes_own_directory", wide, L"bare ż", L"start.exe", L" ", L"a ż"},
    // Relative and driveless launcher paths give the application its own lib whatever directory it moves to.
    {"typed_relative_in_install", typed, L"My App", L".\\start.exe", L" ", L"x", nullptr, L".", L"@", L"C:\\W",
     planted},
    {"typed_relative_from_parent", typed, L"Your App", L"\"Your App\\start.exe\"", L" ", L"x", nullptr, L"Your App",
     L"Q:\\launch", L"C:\\W", L"Q:\\"},
    {"typed_rooted_without_drive", typed, L"Her App", L"\"\\launch\\Her App\\start.exe\"", L" ", L"x", nullptr,
     L"\\launch\\Her App", L"Q:\\launch", L"C:\\W", L"C:\\"},
    // The application started is the one beside the launcher, whatever the caller wrote: a path without quotes,
    // with '/', the document alone, a path relative to another directory; and its lib is one PATH entry.
    {"unquoted_path_with_blanks", 1252, L"u\\Program Files\\Q", L"@\\start.exe", L" ", L"doc.txt", L"Q:\\launch\\u"},
    // Windows runs start.exe for "start": without ".exe" added for the check, the application gets "Files\...".
    {"unquoted_path_with_blanks_without_exe", 1252, L"v\\Program Files\\Q", L"@\\start", L" ", L"doc.txt",
     L"Q:\\launch\\v"},
    {"slashes", 1252, L"s\\slashes\\Q", L"\"Q:\\launch\\s\\slashes/Q/start.exe\"", L" ", L"doc.txt", L"Q:\\launch\\s"},
    {"document_alone", wide, L"document", L"Q:\\launch\\Downloads\\doc.txt", L"", L"", downloads},
    {"relative_to_another_directory", 1252, L"r\\Q", L"Q\\start.exe", L" ", L"x", L"Q:\\launch\\Downloads\\Q", L"@",
     downloads},
    {"semicolon_in_install", 1252, L"a;b\\Q", L"\"@\\start.exe\"", L" ", L"x", L"Q:\\planted\\b\\Q", L"@",
     L"Q:\\launch", L"C:\\W", planted},
    // The written path counts where it names the launcher's own file by another name: here a hard link in
    // another tree, whose directory the application must come from.
    {"hard_link_keeps_its_directory", wide, L"second tree", L"\"@\\start.exe\"", L" ", L"x", L"Q:\\launch\\first tree",
     L"@", L"Q:\\launch", L"C:\\W", nullptr, L"Q:\\launch\\first tree\\launcher.exe"},
    // 0x5C is also a trail byte in code page 932: ソ is 83 5C, 表 is 95 5C.
    {"cp932_quoted", 932, L"ソフト", L"\"@\\表.exe\"", L" ", L"引数 \"ソ 表\" x"},
    {"cp932_unquoted", 932, L"表ソ", L"@\\表.exe", L" ", L"引数 \"ソ 表\" x"},
};

[[nodiscard]] std::wstring install_of(const LaunchCase& c) { return std::wstring(L"Q:\\launch\\") + c.install; }

[[nodiscard]] HANDLE start_case(const LaunchCase& c, const std::wstring& install, const std::wstring& environment) {
  const std::wstring command_line = expand(c.program, install) + c.blanks + c.arguments;
  const std::wstring cwd = expand(c.cwd, install);
  const std::wstring launcher = c.hard_link ? c.hard_link : install + L"\\start.exe";
  if (c.code_page == wide) return start_process(launcher, command_line, cwd, &environment);
  if (c.code_page == typed) {
    return start_process(L"C:\\windows\\system32\\cmd.exe", L"cmd /c " + command_line, cwd, &environment);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string line = to_code_page(CP_ACP, command_line);
  if (!CreateProcessA(to_code_page(CP_ACP, launcher).c_str(), line.data(), nullptr, nullptr, FALSE,
                      CREATE_UNICODE_ENVIRONMENT, const_cast<wchar_t*>(environment.data()), to_code_page(CP_ACP, cwd).c_str(),
                      &startup, &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

TEST(Launch, ApplicationReceivesArgumentsPathAndDirectory) {
  std::vector<const LaunchCase*> cases;
  std::vector<HANDLE> launchers;
  if (GetACP() == 1252) make_install(planted, false);
  for (const LaunchCase& c : launch_cases) {
    if ((c.code_page <= typed ? 1252 : c.code_page) != GetACP()) continue;
    const std::wstring install = install_of(c);
    make_install(install, c.derived != nullptr);
    if (c.planted_tree) make_install(c.planted_tree);
    ASSERT_TRUE(!c.hard_link || CreateHardLinkW(c.hard_link, (install + L"\\start.exe").c_str(), nullptr));
    cases.push_back(&c);
    launchers.push_back(start_case(c, install, environment_for(c.old_path, c.move_to)));
  }
  ASSERT_FALSE(cases.empty()) << "no case for code page " << GetACP();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const LaunchCase& c = *cases[i];
    SCOPED_TRACE(c.name);
    const std::wstring install = install_of(c);
    const Outcome outcome = finish(launchers[i]);
    const std::vector<Record> records = read_records(install);
    EXPECT_FALSE(exists(install + L"\\quorventine.lock"));
    EXPECT_TRUE(!c.planted_tree || read_records(c.planted_tree).empty()) << "the planted application ran";
    if (c.derived == nullptr) {
      EXPECT_EQ(outcome.exit_code, 1u);
      EXPECT_LT(outcome.run_ms, hold_ms - 1000) << "no hold after a failed start";
      continue;
    }
    EXPECT_EQ(outcome.exit_code, 0u);
    EXPECT_GE(outcome.run_ms, hold_ms - 10) << "exit 0 only after the hold";
    EXPECT_EQ(records.size(), 1u);
    if (records.size() != 1) continue;
    const std::wstring derived = expand(c.derived, install);
    const std::wstring expected = L"\"" + derived + L"\\bin\\quorventine.exe\" " + c.arguments;
    EXPECT_EQ(records[0].command_line, expected);
    if (c.code_page > typed) {
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
}

// ---------------------------------------------------------------------------------------------------------
// The launch lock. The burst's directory name is outside the code page, so that a lock file made through the
// ANSI API would land elsewhere and lock nothing.

// A program has the lock file open with delete sharing across the first release, as a virus scanner or the search
// indexer does: the launchers still start one at a time, and no lock is left once it lets go.
TEST(Lock, BurstStartsOneAtATimeWithAScannerAcrossARelease) {
  const std::wstring install = L"Q:\\lock\\Łódź 中";
  const std::wstring lock = install + L"\\quorventine.lock";
  make_install(install);
  std::vector<HANDLE> launchers;
  for (int i = 0; i < 4; ++i) launchers.push_back(start_launcher(install, L" burst"));
  const std::vector<Record> first = records_once_started(install);
  ASSERT_EQ(first.size(), 1u);
  HANDLE scanner = CreateFileW(lock.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(scanner, INVALID_HANDLE_VALUE);
  // The release comes 3 s after the start returns, a little after the application's creation.
  const auto since_start = static_cast<LONGLONG>((now() - first[0].created) / ticks_per_ms);
  if (since_start < 3500) Sleep(static_cast<DWORD>(3500 - since_start));
  CloseHandle(scanner);
  for (HANDLE launcher : launchers) EXPECT_EQ(finish(launcher).exit_code, 0u);
  const std::vector<Record> records = read_records(install);
  ASSERT_EQ(records.size(), launchers.size());
  expect_spaced(records);
  EXPECT_FALSE(exists(lock));
}

// What stands at the lock path and is no lock: a directory, a link to a file that does not exist (both made by the
// test's runner: Wine cannot make links), and files left from before the system started, one of them read-only. The
// first launch starts at once and the others one hold apart, on a lock file or, where none can be had, within the
// session. Only the leftover that can be deleted goes; a take that opened the path for writing without create-new
// would make a file through the link.
TEST(Lock, WhatIsNoLockIsLeftAloneOrRemovedAndLaunchesAreStillSpaced) {
  const struct { std::wstring install; DWORD leftover, left_behind; } cases[] = {
      {L"Q:\\lock\\directory", 0, FILE_ATTRIBUTE_DIRECTORY},
      {L"Q:\\lock\\link", 0, INVALID_FILE_ATTRIBUTES},
      {L"Q:\\lock\\read-only leftover", FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
      {L"Q:\\lock\\leftover", FILE_ATTRIBUTE_NORMAL, INVALID_FILE_ATTRIBUTES},
  };
  const SYSTEMTIME year_2001{2001, 1, 1, 1, 0, 0, 0, 0};
  FILETIME old;
  ASSERT_TRUE(SystemTimeToFileTime(&year_2001, &old));
  std::vector<HANDLE> launchers;
  std::vector<ULONGLONG> started;
  for (const auto& c : cases) {
    const std::wstring lock = c.install + L"\\quorventine.lock";
    make_install(c.install);
    const HANDLE file = CreateFileW(lock.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_EQ(file == INVALID_HANDLE_VALUE, c.leftover == 0) << "the runner made what stands there";
    if (c.leftover != 0) {
      ASSERT_TRUE(SetFileTime(file, &old, &old, &old) && CloseHandle(file) && SetFileAttributesW(lock.c_str(), c.leftover));
    }
    started.push_back(now());
    for (int i = 0; i < 3; ++i) launchers.push_back(start_launcher(c.install));
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::vector<Record> first = records_once_started(cases[i].install);
    EXPECT_TRUE(!first.empty() && (first[0].created - started[i]) / ticks_per_ms < 1000) << "at once: " << i;
  }
  EXPECT_FALSE(exists(L"Q:\\lock\\link\\elsewhere")) << "made through the link and held";
  for (HANDLE launcher : launchers) EXPECT_EQ(finish(launcher).exit_code, 0u);
  for (const auto& c : cases) {
    const std::vector<Record> records = read_records(c.install);
    EXPECT_EQ(records.size(), 3u);
    expect_spaced(records);
    EXPECT_EQ(GetFileAttributesW((c.install + L"\\quorventine.lock").c_str()), c.left_behind);
  }
}

// Timed, so it runs alone: an existing lock (here an empty file, as left by hand) holds the launcher until it
// is removed; then the launcher takes it within a poll and starts the application right after.
TEST(LockHandoff, ExistingLockMakesTheLauncherWaitUntilItIsRemoved) {
  const std::wstring install = L"Q:\\lock\\wait";
  const std::wstring lock = install + L"\\quorventine.lock";
  make_install(install);
  CloseHandle(CreateFileW(lock.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  HANDLE launcher = start_launcher(install, L" go");
  Sleep(1500);
  EXPECT_EQ(WaitForSingleObject(launcher, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "it must wait";
  EXPECT_TRUE(read_records(install).empty());
  ASSERT_TRUE(delete_by_hand(lock));
  const ULONGLONG removed = now();
  for (int waited = 0; !exists(lock) && waited < 5000; ++waited) Sleep(1);
  const ULONGLONG retaken = now();
  EXPECT_EQ(finish(launcher).exit_code, 0u);
  const std::vector<Record> records = read_records(install);
  ASSERT_EQ(records.size(), 1u);
  // One poll is 100 ms; a process start under Wine in an emulator alone costs about 150 ms.
  EXPECT_LT((retaken - removed) / ticks_per_ms, 250u);
  EXPECT_LT((records[0].created - retaken) / ticks_per_ms, 250u);
}

// Timed: a launcher ended while it holds the lock (End task, a job closed with kill-on-close, a crash) takes the
// lock with it, the lock file or the session's: the launcher that waits for it starts the application within a poll
// and a process start.
TEST(LockHandoff, TerminatedHolderLeavesNoLock) {
  for (const bool folder_at_lock_path : {false, true}) {
    const std::wstring install = folder_at_lock_path ? L"Q:\\lock\\terminated in session" : L"Q:\\lock\\terminated";
    SCOPED_TRACE(install);
    make_install(install);
    ASSERT_TRUE(!folder_at_lock_path || CreateDirectoryW((install + L"\\quorventine.lock").c_str(), nullptr));
    HANDLE holder = start_launcher(install);
    ASSERT_EQ(records_once_started(install).size(), 1u);
    HANDLE next = start_launcher(install);
    Sleep(1000);  // past its own start, into its wait; the holder has 2 s of its hold left
    const ULONGLONG killed = now();
    TerminateProcess(holder, 9);
    EXPECT_EQ(finish(holder).exit_code, 9u);
    EXPECT_EQ(finish(next).exit_code, 0u);
    const std::vector<Record> records = read_records(install);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_LT((records[1].created - killed) / ticks_per_ms, 100u + 250u) << "a poll and a process start";
  }
}

}  // namespace
