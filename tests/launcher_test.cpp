// The real launcher, started under Wine with exact command lines through CreateProcessA, against a probe at
// bin\quorventine.exe that records what it received. Drive Q: is a scratch folder of the build tree.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "harness.hpp"
#include "record.hpp"

namespace {

using quorventine::Record;

constexpr ULONGLONG hold_ms = 3000;

using quorventine::exists;
using quorventine::finish;
using quorventine::now;
using quorventine::Outcome;
using quorventine::ticks_per_ms;

const std::string launcher_exe = quorventine::full_path_from_environment("QV_LAUNCHER");
const std::string probe_exe = quorventine::full_path_from_environment("QV_PROBE");

void make_install(const std::string& dir, bool with_application = true) {
  ASSERT_TRUE(quorventine::make_install(dir, launcher_exe, with_application ? probe_exe : "")) << dir;
}

[[nodiscard]] HANDLE start_launcher(const std::string& executable, const std::string& command_line,
                                    const std::string& cwd, const std::string* environment = nullptr) {
  HANDLE process = quorventine::start_process(executable, command_line, cwd, environment);
  if (process == nullptr) ADD_FAILURE() << "CreateProcessA failed with " << GetLastError() << " for " << command_line;
  return process;
}

// The current environment with PATH replaced, or removed when there is no value.
[[nodiscard]] std::string environment_with_path(const std::optional<std::string>& path) {
  std::string block;
  char* strings = GetEnvironmentStringsA();
  for (const char* entry = strings; *entry != '\0'; entry += std::strlen(entry) + 1) {
    if (_strnicmp(entry, "PATH=", 5) != 0) block.append(entry).push_back('\0');
  }
  FreeEnvironmentStringsA(strings);
  if (path) block.append("PATH=" + *path).push_back('\0');
  block.push_back('\0');
  return block;
}

// ---------------------------------------------------------------------------------------------------------
// Started launches: what the application receives. '@' in a case stands for the install directory.

struct StartCase {
  const char* name;
  const char* install;        // below Q:\start\<name>
  const char* program;        // the program's path as the command line writes it
  std::string after_program;  // separating blanks and the argument text
  const char* arguments;      // what the application must get behind its own quoted path
  const char* derived;        // the install directory the launcher derives
  bool run_in_install;        // else in Q:\start, away from the install directory
  std::optional<std::string> old_path;
};

[[nodiscard]] std::string expand(std::string text, const std::string& install) {
  for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, install);
  return text;
}

// With the library prefix added, the value is 32,766 characters: the most an environment variable holds.
const std::string long_path(32766 - std::strlen("Q:\\start\\path_long\\Q\\lib;"), 'p');

const StartCase start_cases[] = {
    {"worked_example", "Tools\\Q", "\"@\\start.exe\"", " notes.txt -x", "notes.txt -x", "@", false, "C:\\W"},
    {"no_arguments", "Q", "\"@\\start.exe\"", "", "", "@", false, "C:\\W"},
    {"blanks_and_tabs", "Q", "\"@\\start.exe\"", " \t  a  b\t", "a  b\t", "@", false, "C:\\W"},
    {"quotes_backslashes_high_bytes", "Q", "\"@\\start.exe\"", " \"x y\" \\\\srv\\\"q\\\" caf\xE9 \xFC\xA0!",
     "\"x y\" \\\\srv\\\"q\\\" caf\xE9 \xFC\xA0!", "@", false, "C:\\W"},
    {"unquoted_path", "Q", "@\\start.exe", " a b", "a b", "@", false, "C:\\W"},
    {"spaces_in_directories", "Program Files\\Q", "\"@\\start.exe\"", " x", "x", "@", false, "C:\\W"},
    {"doubled_backslash", "Q", "\"@\\\\start.exe\"", " y", "y", "@\\", false, "C:\\W"},
    {"relative_dot", "Q", "\".\\start.exe\"", " z", "z", ".", true, "C:\\W"},
    {"path_absent", "Q", "\"@\\start.exe\"", " x", "x", "@", false, std::nullopt},
    {"path_long", "Q", "\"@\\start.exe\"", " x", "x", "@", false, long_path},
};

TEST(Launch, ApplicationReceivesArgumentsPathAndDirectory) {
  const std::string root = "Q:\\start";
  std::vector<HANDLE> launchers;
  std::vector<std::string> environments;
  environments.reserve(std::size(start_cases));
  for (const StartCase& c : start_cases) {
    const std::string install = root + "\\" + c.name + "\\" + c.install;
    make_install(install);
    environments.push_back(environment_with_path(c.old_path));
    launchers.push_back(start_launcher(install + "\\start.exe", expand(c.program, install) + c.after_program,
                                       c.run_in_install ? install : root, &environments.back()));
  }
  for (std::size_t i = 0; i < launchers.size(); ++i) {
    const StartCase& c = start_cases[i];
    SCOPED_TRACE(c.name);
    const std::string install = root + "\\" + c.name + "\\" + c.install;
    const Outcome outcome = finish(launchers[i]);
    EXPECT_EQ(outcome.exit_code, 0u);
    EXPECT_GE(outcome.run_ms, hold_ms - 10) << "exit 0 only after the hold";
    const std::vector<Record> records = quorventine::read_records(install);
    ASSERT_EQ(records.size(), 1u);
    const std::string derived = expand(c.derived, install);
    EXPECT_EQ(records[0].command_line, "\"" + derived + "\\bin\\quorventine.exe\" " + c.arguments);
    EXPECT_EQ(records[0].path, derived + "\\lib;" + c.old_path.value_or(""));
    EXPECT_EQ(records[0].current_directory, c.run_in_install ? install : root);
    EXPECT_FALSE(exists(install + "\\quorventine.lock"));
  }
}

// ---------------------------------------------------------------------------------------------------------
// Runs that must end in exit code 1 at once, touching nothing.

struct NotStartedCase {
  const char* name;
  const char* command_line;  // '@' stands for the install directory
  bool with_application;
  bool run_in_install;
};

const NotStartedCase not_started_cases[] = {
    {"application_missing", "\"@\\start.exe\" a", false, false},
    {"bare_file_name", "start.exe a", true, true},
    {"unquoted_root_path", "\\start.exe a", true, true},
};

TEST(Launch, NotStartedExitsOneAtOnceAndLeavesNoLock) {
  std::vector<HANDLE> launchers;
  for (const NotStartedCase& c : not_started_cases) {
    const std::string install = std::string("Q:\\fail\\") + c.name;
    make_install(install, c.with_application);
    launchers.push_back(start_launcher(install + "\\start.exe", expand(c.command_line, install),
                                       c.run_in_install ? install : "Q:\\fail"));
  }
  for (std::size_t i = 0; i < launchers.size(); ++i) {
    const NotStartedCase& c = not_started_cases[i];
    SCOPED_TRACE(c.name);
    const std::string install = std::string("Q:\\fail\\") + c.name;
    const Outcome outcome = finish(launchers[i]);
    EXPECT_EQ(outcome.exit_code, 1u);
    EXPECT_LT(outcome.run_ms, hold_ms - 1000) << "no hold after a failed start";
    EXPECT_TRUE(quorventine::read_records(install).empty());
    EXPECT_FALSE(exists(install + "\\quorventine.lock"));
  }
}

// Any byte string as the command line ends in 0 or 1. The random lines run in Q:\bad, so that whatever
// directory they name stays in the scratch drive.
TEST(BadInput, AnyCommandLineEndsInZeroOrOne) {
  const std::string root = "Q:\\bad";
  make_install(root);
  std::vector<std::string> lines = {"\"", "\"\"", "\\", "\"\\", "\\\\\\", "\t\t", "\xFF\xFE\x81", std::string(30000, '\\'),
                                    std::string(30000, '"'), "\"" + root + "\\start.exe"};
  std::mt19937 random(20261206);
  std::uniform_int_distribution<int> length(1, 64), byte(1, 255), pick(0, 5);
  const char alphabet[] = "\\\" \tQ:";
  while (lines.size() < 40) {
    std::string line(static_cast<std::size_t>(length(random)), '\0');
    for (char& b : line) b = static_cast<char>(pick(random) == 0 ? byte(random) : alphabet[pick(random)]);
    lines.push_back(line);
  }
  std::vector<HANDLE> launchers;
  for (const std::string& line : lines) launchers.push_back(start_launcher(root + "\\start.exe", line, root));
  for (std::size_t i = 0; i < launchers.size(); ++i) {
    const DWORD exit_code = finish(launchers[i]).exit_code;
    EXPECT_TRUE(exit_code == 0 || exit_code == 1) << "exit " << exit_code << " for line " << i;
  }
}

// ---------------------------------------------------------------------------------------------------------
// The launch lock.

TEST(LockHandoff, ExistingLockMakesTheLauncherWaitUntilItIsRemoved) {
  const std::string install = "Q:\\lock\\wait";
  make_install(install);
  const std::string lock = install + "\\quorventine.lock";
  CloseHandle(CreateFileA(lock.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));  // empty, as by hand
  HANDLE launcher = start_launcher(install + "\\start.exe", "\"" + install + "\\start.exe\" go", install);
  Sleep(1500);
  EXPECT_EQ(WaitForSingleObject(launcher, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "it must wait";
  EXPECT_TRUE(quorventine::read_records(install).empty());
  ASSERT_TRUE(quorventine::delete_by_hand(lock));
  const ULONGLONG removed = now();
  for (int waited = 0; !exists(lock) && waited < 5000; ++waited) Sleep(1);
  const ULONGLONG retaken = now();
  EXPECT_EQ(finish(launcher).exit_code, 0u);
  const std::vector<Record> records = quorventine::read_records(install);
  ASSERT_EQ(records.size(), 1u);
  // The lock is taken within one poll interval (100 ms) and the application started right after it. Under
  // Wine in an emulator, CreateProcessA alone takes about 150 ms; the bounds catch a slower poll or a delay.
  EXPECT_LT((retaken - removed) / ticks_per_ms, 250u);
  EXPECT_LT((records[0].created - retaken) / ticks_per_ms, 250u);
  EXPECT_FALSE(exists(lock));
}

TEST(Lock, BurstOfLaunchersStartsOneAtATime) {
  const std::string install = "Q:\\lock\\burst";
  make_install(install);
  const std::string command_line = "\"" + install + "\\start.exe\" burst";
  std::vector<HANDLE> launchers;
  for (int i = 0; i < 4; ++i) launchers.push_back(start_launcher(install + "\\start.exe", command_line, install));
  for (HANDLE launcher : launchers) EXPECT_EQ(finish(launcher).exit_code, 0u);
  const std::vector<Record> records = quorventine::read_records(install);
  ASSERT_EQ(records.size(), launchers.size());
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_GE((records[i].created - records[i - 1].created) / ticks_per_ms, hold_ms - 100) << "start " << i;
  }
  EXPECT_FALSE(exists(install + "\\quorventine.lock")) << "releases while others poll must not leave the lock";
}

// A waiting launcher's read test, held open across the release (as by a slow poller): a release that deletes
// only once leaves the lock behind for good.
TEST(Lock, ReleaseOutlastsAReadTestThatHasTheFileOpen) {
  const std::string install = "Q:\\lock\\release";
  make_install(install);
  const std::string lock = install + "\\quorventine.lock";
  HANDLE launcher = start_launcher(install + "\\start.exe", "\"" + install + "\\start.exe\"", install);
  std::vector<Record> records;
  for (int waited = 0; records.empty() && waited < 2000; ++waited, Sleep(1)) records = quorventine::read_records(install);
  ASSERT_EQ(records.size(), 1u);
  // The release comes 3 s after the start returns, a little after the application's creation.
  const auto since_start = static_cast<LONGLONG>((now() - records[0].created) / ticks_per_ms);
  if (since_start < 2500) Sleep(static_cast<DWORD>(2500 - since_start));
  HANDLE reader = CreateFileA(lock.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  Sleep(900);  // from before the release until well after it; the launcher retries for about a second
  CloseHandle(reader);
  EXPECT_EQ(finish(launcher).exit_code, 0u);
  EXPECT_FALSE(exists(lock));
}

// The documented fault: a launcher ended while holding the lock leaves the file, and the next one waits until
// somebody removes it.
TEST(Lock, LauncherEndedWhileHoldingLeavesTheLockUntilRemoved) {
  const std::string install = "Q:\\lock\\ended";
  make_install(install);
  const std::string lock = install + "\\quorventine.lock";
  const std::string command_line = "\"" + install + "\\start.exe\"";
  HANDLE first = start_launcher(install + "\\start.exe", command_line, install);
  for (int waited = 0; quorventine::read_records(install).empty() && waited < 2000; ++waited) Sleep(1);
  TerminateProcess(first, 9);
  EXPECT_EQ(finish(first).exit_code, 9u);
  EXPECT_TRUE(exists(lock));
  HANDLE second = start_launcher(install + "\\start.exe", command_line, install);
  Sleep(hold_ms + 500);
  EXPECT_EQ(WaitForSingleObject(second, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the stale lock must hold it";
  EXPECT_EQ(quorventine::read_records(install).size(), 1u);
  ASSERT_TRUE(quorventine::delete_by_hand(lock));
  EXPECT_EQ(finish(second).exit_code, 0u);
  EXPECT_EQ(quorventine::read_records(install).size(), 2u);
  EXPECT_FALSE(exists(lock));
}

TEST(Lock, LockThatCannotBeCreatedStillStarts) {
  const std::string install = "Q:\\lock\\uncreatable";
  make_install(install);
  ASSERT_TRUE(CreateDirectoryA((install + "\\quorventine.lock").c_str(), nullptr));
  const Outcome outcome = finish(start_launcher(install + "\\start.exe", "\"" + install + "\\start.exe\"", install));
  EXPECT_EQ(outcome.exit_code, 0u);
  EXPECT_EQ(quorventine::read_records(install).size(), 1u);
  EXPECT_EQ(GetFileAttributesA((install + "\\quorventine.lock").c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

// ---------------------------------------------------------------------------------------------------------
// Code page 932, where 0x5C is also a trail byte: ソ is 83 5C, 表 is 95 5C, 引数 is 88 F8 90 94.

TEST(Cp932, DoubleByteNamesAndArgumentsPassThrough) {
  if (GetACP() != 932) GTEST_SKIP() << "needs the ANSI code page 932 (LC_ALL=ja_JP.UTF-8)";
  const std::string install = "Q:\\cp932\\\x83\x5C\x83\x74\x83\x67";  // ソフト
  make_install(install);
  const std::string launcher = install + "\\\x95\x5C.exe";              // 表.exe
  ASSERT_TRUE(CopyFileA(launcher_exe.c_str(), launcher.c_str(), FALSE));
  const std::string arguments = "\x88\xF8\x90\x94 \"\x83\x5C \x95\x5C\" x";
  const std::vector<std::string> lines = {"\"" + launcher + "\" " + arguments, launcher + " " + arguments};
  std::vector<HANDLE> launchers;
  for (const std::string& line : lines) launchers.push_back(start_launcher(launcher, line, install));
  for (HANDLE process : launchers) EXPECT_EQ(finish(process).exit_code, 0u);
  const std::vector<Record> records = quorventine::read_records(install);
  ASSERT_EQ(records.size(), lines.size());
  for (const Record& record : records) {
    EXPECT_EQ(record.command_line, "\"" + install + "\\bin\\quorventine.exe\" " + arguments);
    EXPECT_EQ(record.path.substr(0, install.size() + 5), install + "\\lib;");
  }
}

}  // namespace
