// quorventine-check: the launcher's behaviour, checked on the Windows it runs on. It finds the launcher under test
// and the probe applications beside itself (or the launcher given with --launcher), runs every case in new folders
// of its own, prints one line per case (passed; failed, with what it saw; skipped, with the reason) and a summary.
// Whatever happens, it ends what it started and removes what it made; what a run killed from outside leaves, the
// next run removes.
//
//   quorventine-check [--launcher path\to\quorventine.exe] [--must-run=row,row...] [--gtest_output=xml:report.xml]
//                     [--gtest_filter=...] [--gtest_list_tests]
//
// --must-run names rows that must run and pass on this Windows: a skip of one of them is a failure.
//
// Exit codes: 0 passed (at least one case, and none failed); 1 a case failed, or the run stopped early (a probe that
// does not start where this Windows runs its machine's programs, among others); 2 the check cannot run here (a start
// that Windows refuses, a launcher that is no program, a filter that selects no case or leaves out a row that must
// run, a row name that is none of the check's, every case skipped); 3 interrupted.
//
// The cases run in a second process of this program, which tells this one what it made and where it stands. A
// crash can take a process's own handlers with it (a buffer overrun that overwrites them): this one then says where
// the cases stopped, ends what they started, removes what they made, and exits 1.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "check_build.hpp"
#include "runner.hpp"

namespace quorventine::check {

namespace {

// In the environment of the process that runs the cases: the handle of the file where it tells what it made and where
// it stands, in lines: "folder <path>", "drive <X:>", "at <where>", "ended <exit code>".
constexpr wchar_t status_variable[] = L"QV_CHECK_STATUS";

Run the_run;
std::wstring mapped_drive;             // "X:"; empty where none is
std::vector<std::wstring> folders;     // every folder that the run made, each with its marker
std::vector<HANDLE> markers;           // held open while the run lives
HANDLE status = INVALID_HANDLE_VALUE;  // where the cases' process tells its supervisor
std::string where = "before its first case";
std::set<std::string> rows_to_run;     // --must-run

[[nodiscard]] std::string utf8(const std::wstring& text) { return to_code_page(CP_UTF8, text); }

// Writes UTF-8 text to standard output as it stands, to a file or a pipe; to a console as text, since its code page
// is seldom UTF-8 and paths under a user's name may hold any characters.
void write_out(const std::string& text) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode, written;
  if (GetConsoleMode(out, &mode)) {
    const std::wstring wide = from_code_page(CP_UTF8, text);
    WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
  } else {
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

// Prints like printf.
void say(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text(std::vsnprintf(nullptr, 0, format, arguments) + 1, '\0');
  va_end(arguments);
  va_start(arguments, format);
  text.resize(std::vsnprintf(text.data(), text.size(), format, arguments));
  va_end(arguments);
  write_out(text);
}

void tell(const char* what, const std::string& text) {
  const std::string line = std::string(what) + " " + text + "\n";
  DWORD written;
  if (status != INVALID_HANDLE_VALUE) WriteFile(status, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

[[nodiscard]] std::wstring this_program() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

[[nodiscard]] std::wstring full_long_path(const std::wstring& path) {
  std::wstring full(32768, L'\0');
  full.resize(GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
  const std::wstring long_path = long_form(full);
  return long_path.empty() ? full : long_path;
}

const char* meaning(Exit code) {
  switch (code) {
    case exit_passed: return "passed";
    case exit_failed: return "a case failed, or the run stopped early";
    case exit_cannot_run: return "the check cannot run here";
    case exit_interrupted: return "interrupted";
  }
  return "";
}

// Ends what the cases started and removes what they made, from the process that ran them or, where that one ended
// before it could, from its supervisor.
void clean_up(const std::vector<std::wstring>& made, const std::vector<std::wstring>& drives) {
  std::vector<std::wstring> started_from = made;
  started_from.insert(started_from.end(), drives.begin(), drives.end());
  for (int round = 0; round < 10; ++round, Sleep(50)) end_processes_in(started_from);
  for (const std::wstring& folder : made) {
    for (const std::wstring& drive : unmap_drives_into(folder)) say("could not unmap %s\n", utf8(drive).c_str());
  }
  for (const std::wstring& folder : made) {
    if (!remove_tree(folder)) say("could not remove %s\n", utf8(folder).c_str());
  }
}

// ---- The supervisor.

// Copies the cases' output to ours, line by line, so that a line's UTF-8 is never split.
void relay(HANDLE from) {
  std::string pending(4096, '\0');
  std::size_t held = 0;
  for (DWORD read; ReadFile(from, pending.data() + held, static_cast<DWORD>(pending.size() - held), &read, nullptr) &&
                   read != 0;) {
    held += read;
    const std::size_t lines = pending.rfind('\n', held - 1) + 1;
    if (lines == 0 && held < pending.size()) continue;
    const std::size_t shown = lines != 0 ? lines : held;
    write_out(pending.substr(0, shown));
    pending.erase(0, shown).resize(4096);
    held -= shown;
  }
  if (held != 0) write_out(pending.substr(0, held));
}

[[nodiscard]] std::string status_lines(HANDLE file) {
  std::string text(GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  if (!ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) read = 0;
  text.resize(read);
  return text;
}

// Ctrl+C and a closing console are the cases' to handle: they end what they started and exit 3.
BOOL WINAPI leave_to_the_cases(DWORD) { return TRUE; }

int supervise() {
  SetConsoleCtrlHandler(leave_to_the_cases, TRUE);
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  wchar_t temp[MAX_PATH + 1];
  const std::wstring status_path = std::wstring(temp, GetTempPathW(MAX_PATH + 1, temp)) + L"quorventine-check-" +
                                   std::to_wstring(GetCurrentProcessId()) + L".status";
  const HANDLE status_file =
      CreateFileW(status_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  HANDLE output_read, output_write;
  if (status_file == INVALID_HANDLE_VALUE || !CreatePipe(&output_read, &output_write, &inherited, 0)) {
    say("cannot make a file under %%TEMP%%\n");
    return exit_cannot_run;
  }
  SetHandleInformation(output_read, HANDLE_FLAG_INHERIT, 0);
  SetEnvironmentVariableW(status_variable, std::to_wstring(reinterpret_cast<std::uintptr_t>(status_file)).c_str());
  // In this process's job, so that it ends with this one, however this one is ended, and all it started with it.
  // That job lets what the cases start break away, into the cases' own job: Windows 7 puts no process in two jobs.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  SetInformationJobObject(job_of_started(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
  std::wstring command_line = GetCommandLineW();
  const HANDLE cases = start_in_job([&](DWORD flags, PROCESS_INFORMATION& process) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output_write;
    return CreateProcessW(this_program().c_str(), command_line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                          nullptr, &startup, &process) != 0;
  });
  SetEnvironmentVariableW(status_variable, nullptr);
  CloseHandle(output_write);
  if (cases == nullptr) {
    say("cannot start the check's own cases (error %lu)\n", GetLastError());
    return exit_cannot_run;
  }
  relay(output_read);
  DWORD code = 0;
  WaitForSingleObject(cases, INFINITE);
  GetExitCodeProcess(cases, &code);
  std::vector<std::wstring> made, drives;
  std::string stood = "before its first case";
  const std::string lines = status_lines(status_file);
  for (std::size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = lines.substr(at, end - at), what = line.substr(0, line.find(' ')),
                      text = line.substr(std::min(line.size(), what.size() + 1));
    if (what == "ended") return std::atoi(text.c_str());
    if (what == "folder") made.push_back(from_code_page(CP_UTF8, text));
    if (what == "drive") drives.push_back(from_code_page(CP_UTF8, text));
    if (what == "at") stood = text;
  }
  say("\nstopped %s: the cases' process ended abruptly (exit code 0x%08lx)\n", stood.c_str(), code);
  clean_up(made, drives);
  say("exit code %d: %s\n", exit_failed, meaning(exit_failed));
  return exit_failed;
}

// ---- The cases.

// A folder's full long path, ending with '\\'; empty for none.
[[nodiscard]] std::wstring parent_folder(const std::wstring& path) {
  std::wstring full = path.empty() ? L"" : full_long_path(path);
  if (!full.empty() && full.back() != L'\\') full += L'\\';
  return full;
}

[[nodiscard]] std::wstring environment_value(const wchar_t* name) {
  std::wstring value(32768, L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
  return value;
}

// A path that a row can put on a command line unquoted, and that an ANSI caller can write: no blank, and nothing that
// the system's ANSI code page lacks.
[[nodiscard]] bool is_plain(const std::wstring& path) {
  return !path.empty() && path.find_first_of(L" \t") == std::wstring::npos &&
         from_code_page(CP_ACP, to_code_page(CP_ACP, path)) == path;
}

[[nodiscard]] std::wstring new_folder_under(const std::wstring& parent, bool private_one = false) {
  HANDLE marker = INVALID_HANDLE_VALUE;
  const std::wstring folder = new_marked_folder(parent, marker, private_one);
  if (folder.empty()) return folder;
  markers.push_back(marker);
  folders.push_back(folder);
  tell("folder", utf8(folder));
  return folder;
}

// Another drive of this system that can be entered, where no letter could be mapped.
[[nodiscard]] std::wstring another_drive(const std::wstring& folder) {
  const DWORD in_use = GetLogicalDrives();
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    const std::wstring root{letter, L':', L'\\'};
    const DWORD attributes = GetFileAttributesW(root.c_str());
    if ((in_use & (1u << (letter - L'A'))) != 0 && towupper(folder[0]) != letter &&
        GetDriveTypeW(root.c_str()) == DRIVE_FIXED && attributes != INVALID_FILE_ATTRIBUTES) {
      return root;
    }
  }
  return L"";
}

// The run's folders: its own under %TEMP%, a plain one where that is not, and the second drive.
[[nodiscard]] bool make_folders() {
  wchar_t temp[MAX_PATH + 1];
  const std::wstring temp_parent = parent_folder(std::wstring(temp, GetTempPathW(MAX_PATH + 1, temp)));
  const std::wstring program_data = parent_folder(environment_value(L"ProgramData"));
  for (const std::wstring& parent : {temp_parent, program_data}) {
    if (parent.empty()) continue;
    for (const std::wstring& folder : remove_abandoned(parent)) {
      say("removed %s, left by a run that was killed\n", utf8(folder).c_str());
    }
  }
  the_run.folder = new_folder_under(temp_parent);
  if (the_run.folder.empty()) return false;
  mapped_drive = map_drive(the_run.folder);
  if (!mapped_drive.empty()) tell("drive", utf8(mapped_drive));
  if (is_plain(the_run.folder)) {
    the_run.plain_folder = the_run.folder;
  } else if (is_plain(program_data)) {
    the_run.plain_folder = new_folder_under(program_data, true);
  }
  if (the_run.plain_folder.empty()) the_run.plain_folder = mapped_drive;
  the_run.other_drive = !mapped_drive.empty() ? mapped_drive + L"\\" : another_drive(the_run.folder);
  return true;
}

// Ends every process the run started, unmaps its drive letter and removes its folders. Once only: Ctrl+C may come
// while the run ends by itself.
void clean_up() {
  static LONG done = 0;
  if (InterlockedExchange(&done, 1) != 0) return;
  TerminateJobObject(job_of_started(), 1);
  for (HANDLE marker : markers) CloseHandle(marker);
  clean_up(folders, mapped_drive.empty() ? std::vector<std::wstring>{} : std::vector<std::wstring>{mapped_drive});
}

void end(Exit code) {
  say("exit code %d: %s\n", code, meaning(code));
  tell("ended", std::to_string(code));
}

BOOL WINAPI on_interrupt(DWORD) { stop(exit_interrupted, "interrupted"); }

// One line per case, and the summary: what to send with a report of a problem.
class LinePrinter : public testing::EmptyTestEventListener {
  std::string seen_;
  std::map<std::string, int> skipped_by_reason_;

  static void stand(const std::string& at) {
    where = at;
    tell("at", at);
  }

  void OnTestSuiteStart(const testing::TestSuite& suite) override {
    stand(std::string("while setting up ") + suite.name());
  }

  void OnTestStart(const testing::TestInfo& test) override {
    stand(std::string("in ") + test.test_suite_name() + "." + test.name());
  }

  void OnTestPartResult(const testing::TestPartResult& part) override {
    std::string message = part.message();
    while (!message.empty() && message.back() == '\n') message.pop_back();  // some GoogleTest versions end it so
    if (part.skipped()) ++skipped_by_reason_[message];
    if (part.failed() && part.file_name() != nullptr) seen_ += "    " + std::string(part.file_name()) + ":" +
                                                                 std::to_string(part.line_number()) + ":\n";
    for (std::size_t at = 0; (at = message.find('\n', at)) != std::string::npos; at += 5) {
      message.replace(at, 1, "\n    ");
    }
    seen_ += "    " + message + "\n";
  }

  void OnTestEnd(const testing::TestInfo& test) override {
    const testing::TestResult& result = *test.result();
    const std::string name = std::string(test.test_suite_name()) + "." + test.name();
    if (result.Skipped()) {
      say("skipped  %s:\n%s", name.c_str(), seen_.c_str());
    } else if (result.Failed()) {
      say("FAILED   %s, having seen:\n%s", name.c_str(), seen_.c_str());
    } else {
      say("passed   %s (%.1f s)\n", name.c_str(), static_cast<double>(result.elapsed_time()) / 1000);
    }
    seen_.clear();
    stand("after " + name);
  }

  void OnTestSuiteEnd(const testing::TestSuite& suite) override {
    if (suite.ad_hoc_test_result().Failed()) say("FAILED   %s, setting up\n", suite.name());
  }

  void OnTestProgramEnd(const testing::UnitTest& unit) override {
    if (job_join == JobJoin::kept_out) {
      say("\nnote: Windows kept the processes that the check started out of its job (Windows 7 in a job that allows "
          "no other); they were ended by their program's path instead\n");
    }
    say("\n%d cases: %d passed, %d skipped, %d failed\n", unit.test_to_run_count(), unit.successful_test_count(),
        unit.skipped_test_count(), unit.failed_test_count());
    for (const auto& [reason, count] : skipped_by_reason_) say("  skipped %d: %s\n", count, reason.c_str());
    stand("after its summary");
  }
};

// The file's SHA-256 in hex, which tells one build of the launcher from another where their sizes agree.
[[nodiscard]] std::string sha256_of(const std::wstring& path) {
  const std::string content = read_file(path);
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  BYTE digest[32];
  DWORD size = sizeof digest;
  std::string hex = "unknown";
  if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
      CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
      CryptHashData(hash, reinterpret_cast<const BYTE*>(content.data()), static_cast<DWORD>(content.size()), 0) &&
      CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
    hex.clear();
    for (const BYTE byte : digest) hex += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
  }
  if (hash != 0) CryptDestroyHash(hash);
  if (provider != 0) CryptReleaseContext(provider, 0);
  return hex;
}

// What a report of a problem needs to say about what was checked and where.
void print_where() {
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  const auto get_version = system_function<GetVersion>(L"ntdll.dll", "RtlGetVersion");
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (get_version != nullptr) get_version(&version);
  // A 32-bit program learns an ARM64 machine only from IsWow64Process2 (Windows 10 1709): elsewhere from the system.
  const SystemAnswers& answers = system_answers();
  const char* architecture = machine_name[x86];
  for (const Architecture machine : {x64, arm64}) {
    if (answers.native_machine ? *answers.native_machine == machine_number[machine]
                               : answers.processor == processor_architecture[machine]) {
      architecture = machine_name[machine];
    }
  }
  using WineVersion = const char*(__cdecl*)();
  const auto wine = system_function<WineVersion>(L"ntdll.dll", "wine_get_version");
  WIN32_FILE_ATTRIBUTE_DATA launcher{};
  GetFileAttributesExW(the_run.launcher.c_str(), GetFileExInfoStandard, &launcher);
  say("quorventine-check, built from %s\n", QUORVENTINE_CHECK_COMMIT);
  say("  launcher:     %s\n                %lu bytes, SHA-256 %s\n", utf8(the_run.launcher).c_str(),
      launcher.nFileSizeLow, sha256_of(the_run.launcher).c_str());
  say("  Windows:      %lu.%lu.%lu (%s%s%s), ANSI code page %u\n", version.dwMajorVersion, version.dwMinorVersion,
      version.dwBuildNumber, architecture, wine != nullptr ? "; Wine " : "", wine != nullptr ? wine() : "", GetACP());
  say("  folder:       %s\n", utf8(the_run.folder).c_str());
  if (the_run.plain_folder != the_run.folder) {
    const bool program_data = !the_run.plain_folder.empty() && the_run.plain_folder != mapped_drive;
    say("  plain folder: %s (for paths without quotes, or in the ANSI code page%s)\n",
        the_run.plain_folder.empty() ? "none" : utf8(the_run.plain_folder).c_str(),
        program_data ? "; no one but this user, SYSTEM and Administrators may change it" : "");
  }
  say("  2nd drive:    %s\n\n", the_run.other_drive.empty() ? "none" : utf8(the_run.other_drive).c_str());
}

// The launcher given, or the one beside the check, and the probes in x86\, x64\ and arm64\ beside it.
[[nodiscard]] bool find_files(int argc, wchar_t** argv) {
  const std::wstring program = this_program(), here = program.substr(0, program.rfind(L'\\'));
  the_run.launcher = here + L"\\quorventine.exe";
  for (int i = 1; i < argc; ++i) {
    const std::string argument = utf8(argv[i]);
    if (argument == "--launcher" && i + 1 < argc) {
      the_run.launcher = full_long_path(argv[++i]);
    } else if (argument.rfind("--must-run=", 0) == 0) {
      for (std::size_t at = 11, end; at <= argument.size(); at = end + 1) {
        end = std::min(argument.find(',', at), argument.size());
        if (end > at) rows_to_run.insert(argument.substr(at, end - at));
      }
    } else {
      say("usage: quorventine-check [--launcher path\\to\\quorventine.exe] [--must-run=ROW,ROW...]"
          " [--gtest_output=xml:FILE] [--gtest_filter=PATTERN] [--gtest_list_tests]\nunknown argument: %s\n",
          argument.c_str());
      return false;
    }
  }
  const wchar_t* const folder_of[architectures] = {L"\\x86\\", L"\\x64\\", L"\\arm64\\"};
  std::vector<const std::wstring*> files = {&the_run.launcher};
  for (int kind = 0; kind < architectures; ++kind) {
    the_run.probe[kind] = here + folder_of[kind] + L"quorventine.exe";
    the_run.library[kind] = here + folder_of[kind] + L"probe_lib.dll";
    files.insert(files.end(), {&the_run.probe[kind], &the_run.library[kind]});
  }
  for (const std::wstring* file : files) {
    if (!exists(*file)) {
      say("missing: %s (unzip the whole folder, and name an existing launcher)\n", utf8(*file).c_str());
      return false;
    }
  }
  return true;
}

// How a run that got to its summary ends.
[[nodiscard]] Exit outcome_of(bool none_failed, const testing::UnitTest& unit) {
  if (!none_failed) return exit_failed;
  if (unit.test_to_run_count() == 0) {
    say("no case ran: the filter selects none\n");
    return exit_cannot_run;
  }
  if (unit.successful_test_count() == 0) {
    say("every case was skipped: this system can show none of them\n");
    return exit_cannot_run;
  }
  return exit_passed;
}

// Before the first case, once the filter is applied: every row that must run is one of the check's, and selected.
class RowsToRun : public testing::Environment {
  void SetUp() override {
    std::set<std::string> rows, selected;
    const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
    for (int suite = 0; suite < unit.total_test_suite_count(); ++suite) {
      for (int test = 0; test < unit.GetTestSuite(suite)->total_test_count(); ++test) {
        const testing::TestInfo& info = *unit.GetTestSuite(suite)->GetTestInfo(test);
        const std::string name = info.name(), row = name.substr(name.rfind('/') + 1);
        rows.insert(row);
        if (info.should_run()) selected.insert(row);
      }
    }
    for (const std::string& row : rows_to_run) {
      if (rows.count(row) == 0) stop(exit_cannot_run, "--must-run names " + row + ", which is no row of the check");
      if (selected.count(row) == 0) stop(exit_cannot_run, "--must-run names " + row + ", which the filter leaves out");
    }
  }
};

// A crash whose handlers still run ends the process at once; the supervisor says where and cleans up. No dialog
// waits for a user who is not there.
LONG WINAPI on_crash(EXCEPTION_POINTERS* exception) {
  TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

int run_cases(int argc, wchar_t** argv) {
  SetUnhandledExceptionFilter(on_crash);
  testing::InitGoogleTest(&argc, argv);  // takes its own flags out
  Exit code = exit_cannot_run;
  if (GTEST_FLAG_GET(list_tests)) {
    code = RUN_ALL_TESTS() == 0 ? exit_passed : exit_failed;  // the rows' names, and nothing run
  } else if (GTEST_FLAG_GET(repeat) != 1) {
    say("--gtest_repeat is not supported: run the check again instead\n");
  } else if (!find_files(argc, argv)) {
  } else if (!make_folders()) {
    say("cannot make a folder under %%TEMP%%\n");
  } else {
    SetConsoleCtrlHandler(on_interrupt, TRUE);
    print_where();
    testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new LinePrinter);
    testing::AddGlobalTestEnvironment(new RowsToRun);
    const bool none_failed = RUN_ALL_TESTS() == 0;
    clean_up();
    code = outcome_of(none_failed, *testing::UnitTest::GetInstance());
  }
  end(code);
  return code;
}

}  // namespace

const Run& run() { return the_run; }

bool must_run(const std::string& row) { return rows_to_run.count(row) != 0; }

void stop(Exit code, const std::string& why) {
  static LONG stopping = 0;
  if (InterlockedExchange(&stopping, 1) != 0) Sleep(INFINITE);  // the first to stop ends the process
  say("\nstopped %s: %s\n", where.c_str(), why.c_str());
  clean_up();
  end(code);
  // No destructors and no handlers of a run that broke off.
  TerminateProcess(GetCurrentProcess(), code);
  ExitProcess(code);
}

}  // namespace quorventine::check

int wmain(int argc, wchar_t** argv) {
  using namespace quorventine::check;
  wchar_t handle[32];
  if (GetEnvironmentVariableW(status_variable, handle, 32) == 0) return supervise();
  status = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::wcstoull(handle, nullptr, 10)));
  SetEnvironmentVariableW(status_variable, nullptr);  // not for the programs that the cases start
  return run_cases(argc, argv);
}
