// quorventine-check: the launcher's behaviour, checked on the Windows it runs on. It finds the launcher under test
// and the probe applications beside itself (or the launcher given with --launcher), runs every case in a new
// folder under %TEMP%, prints one line per case (passed; failed, with what it saw; skipped, with the reason) and a
// summary, and exits 0 only when no case failed. Whatever happens, it ends what it started and removes what it made.
//
//   quorventine-check [--launcher path\to\quorventine.exe] [--gtest_output=xml:report.xml] [--gtest_filter=...]
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>

#include "check.hpp"
#include "harness.hpp"

namespace quorventine::check {

namespace {

Run the_run;
std::wstring mapped_drive;  // the letter mapped to a folder of the run's own, as "X:"; empty where none is

[[nodiscard]] std::string utf8(const std::wstring& text) { return to_code_page(CP_UTF8, text); }

// Prints like printf, in UTF-8 to a file or a pipe, and as text to a console, whose code page is seldom UTF-8: paths
// under a user's name may hold any characters.
void say(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text(std::vsnprintf(nullptr, 0, format, arguments) + 1, '\0');
  va_end(arguments);
  va_start(arguments, format);
  text.resize(std::vsnprintf(text.data(), text.size(), format, arguments));
  va_end(arguments);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode, written;
  std::fflush(stdout);
  if (GetConsoleMode(out, &mode)) {
    const std::wstring wide = from_code_page(CP_UTF8, text);
    WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
}

[[nodiscard]] std::wstring directory_of_this_program() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path.substr(0, path.rfind(L'\\'));
}

[[nodiscard]] std::wstring full_long_path(const std::wstring& path) {
  std::wstring full(32768, L'\0');
  full.resize(GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
  const std::wstring long_path = long_form(full);
  return long_path.empty() ? full : long_path;
}

// A new folder under %TEMP% in its long form: a user name longer than eight letters gives a short %TEMP%, and the
// cases compare the paths the application receives with the long ones.
[[nodiscard]] std::wstring new_run_folder() {
  wchar_t temp[MAX_PATH + 1];
  const std::wstring temp_path(temp, GetTempPathW(MAX_PATH + 1, temp));
  const std::wstring base = full_long_path(temp_path) + L"quorventine-check-";
  for (DWORD serial = GetCurrentProcessId();; ++serial) {
    const std::wstring folder = base + std::to_wstring(serial);
    if (CreateDirectoryW(folder.c_str(), nullptr)) return folder;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return L"";
  }
}

[[nodiscard]] bool is_directory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Removes the run's drive letter, and says so where it stays.
void unmap_drive() {
  const std::wstring target = the_run.folder + L"\\drive";
  wchar_t device[MAX_PATH];
  DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE | DDD_NO_BROADCAST_SYSTEM, mapped_drive.c_str(),
                   target.c_str());
  if (QueryDosDeviceW(mapped_drive.c_str(), device, MAX_PATH) != 0) {
    say("could not unmap %s\n", utf8(mapped_drive).c_str());
  }
  mapped_drive.clear();
}

// A free drive letter mapped to a folder of the run's own, where a file made in the folder is seen through it:
// Wine accepts the mapping but resolves drive letters from its prefix alone. Otherwise another drive of this
// system that can be entered, or none.
[[nodiscard]] std::wstring find_other_drive(const std::wstring& folder) {
  const std::wstring target = folder + L"\\drive";
  CreateDirectoryW(target.c_str(), nullptr);
  CloseHandle(CreateFileW((target + L"\\seen").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  const DWORD in_use = GetLogicalDrives();
  wchar_t device[MAX_PATH];
  for (wchar_t letter = L'Z'; letter >= L'D'; --letter) {
    const std::wstring drive{letter, L':'};
    if ((in_use & (1u << (letter - L'A'))) != 0 || QueryDosDeviceW(drive.c_str(), device, MAX_PATH) != 0) continue;
    if (!DefineDosDeviceW(DDD_NO_BROADCAST_SYSTEM, drive.c_str(), target.c_str())) break;
    mapped_drive = drive;
    if (exists(drive + L"\\seen")) return drive + L"\\";
    unmap_drive();
    break;
  }
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    const std::wstring root{letter, L':', L'\\'};
    if ((in_use & (1u << (letter - L'A'))) != 0 && towupper(folder[0]) != letter &&
        GetDriveTypeW(root.c_str()) == DRIVE_FIXED && is_directory(root)) {
      return root;
    }
  }
  return L"";
}

// Removes a folder with all in it, read-only files included. Right after the job was ended, a process may still
// hold a file for a moment: a few attempts.
void remove_tree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName, path = folder + L"\\" + name;
      if (name == L"." || name == L"..") continue;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      const bool tree = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
      if (tree) {
        remove_tree(path);
      } else if (!DeleteFileW(path.c_str())) {
        RemoveDirectoryW(path.c_str());  // a link to a folder
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

// Ends every process the run started, unmaps its drive letter and removes its folder. Once only: Ctrl+C may come
// while the run ends by itself.
void clean_up() {
  static LONG done = 0;
  if (InterlockedExchange(&done, 1) != 0) return;
  TerminateJobObject(job_of_started(), 1);
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION job{};
  for (int waited = 0; waited < 20; ++waited, Sleep(50)) {
    if (!QueryInformationJobObject(job_of_started(), JobObjectBasicAccountingInformation, &job, sizeof job, nullptr) ||
        job.ActiveProcesses == 0) {
      break;
    }
  }
  if (!mapped_drive.empty()) unmap_drive();
  // Within the few seconds that Windows gives a closing console's handler.
  for (int attempt = 0; attempt < 20 && is_directory(the_run.folder); ++attempt, Sleep(100)) {
    remove_tree(the_run.folder);
  }
  if (is_directory(the_run.folder)) say("could not remove %s\n", utf8(the_run.folder).c_str());
}

BOOL WINAPI on_interrupt(DWORD) {
  say("\ninterrupted: ending what the check started and removing its folder\n");
  clean_up();
  ExitProcess(3);
}

// One line per case, and the summary: what to send with a report of a problem.
class LinePrinter : public testing::EmptyTestEventListener {
  std::string seen_;

  void OnTestPartResult(const testing::TestPartResult& part) override {
    if (part.failed() && part.file_name() != nullptr) seen_ += "    " + std::string(part.file_name()) + ":" +
                                                                 std::to_string(part.line_number()) + ":\n";
    std::string message = part.message();
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
  }

  void OnTestSuiteEnd(const testing::TestSuite& suite) override {
    if (suite.ad_hoc_test_result().Failed()) say("FAILED   %s, setting up\n", suite.name());
  }

  void OnTestProgramEnd(const testing::UnitTest& unit) override {
    if (kept_out_of_job) say("\nnote: Windows kept the processes that the check started out of its job\n");
    say("\n%d cases: %d passed, %d skipped, %d failed\n", unit.test_to_run_count(), unit.successful_test_count(),
        unit.skipped_test_count(), unit.failed_test_count());
  }
};

// What a report of a problem needs to say about where the check ran.
void print_where() {
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  const auto get_version = system_function<GetVersion>(L"ntdll.dll", "RtlGetVersion");
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (get_version != nullptr) get_version(&version);
  // A 32-bit program learns an ARM64 machine only from IsWow64Process2 (Windows 10 1709): elsewhere from the system.
  using Wow64Process2 = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
  const auto wow64_process2 = system_function<Wow64Process2>(L"kernel32.dll", "IsWow64Process2");
  USHORT process = 0, machine = 0;
  SYSTEM_INFO system;
  GetNativeSystemInfo(&system);
  if (wow64_process2 == nullptr || !wow64_process2(GetCurrentProcess(), &process, &machine)) {
    machine = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? IMAGE_FILE_MACHINE_AMD64 : 0;
  }
  const char* const architecture = machine == IMAGE_FILE_MACHINE_AMD64 ? "x64" : machine == 0xAA64 ? "ARM64" : "x86";
  using WineVersion = const char*(__cdecl*)();
  const auto wine = system_function<WineVersion>(L"ntdll.dll", "wine_get_version");
  WIN32_FILE_ATTRIBUTE_DATA launcher{};
  GetFileAttributesExW(the_run.launcher.c_str(), GetFileExInfoStandard, &launcher);
  say("quorventine-check\n  launcher:  %s (%lu bytes)\n  Windows:   %lu.%lu.%lu (%s%s%s), ANSI code page %u\n"
              "  folder:    %s\n  2nd drive: %s\n\n",
              utf8(the_run.launcher).c_str(), launcher.nFileSizeLow, version.dwMajorVersion, version.dwMinorVersion,
              version.dwBuildNumber, architecture, wine != nullptr ? "; Wine " : "", wine != nullptr ? wine() : "",
              GetACP(), utf8(the_run.folder).c_str(),
              the_run.other_drive.empty() ? "none" : utf8(the_run.other_drive).c_str());
}

// The launcher given, or the one beside the check, and the probes in x86\ and x64\ beside it.
[[nodiscard]] bool find_files(int argc, wchar_t** argv) {
  const std::wstring here = directory_of_this_program();
  the_run.launcher = here + L"\\quorventine.exe";
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--launcher") == 0 && i + 1 < argc) {
      the_run.launcher = full_long_path(argv[++i]);
    } else {
      say("usage: quorventine-check [--launcher path\\to\\quorventine.exe] [--gtest_output=xml:FILE]"
                  " [--gtest_filter=PATTERN]\nunknown argument: %s\n", utf8(argv[i]).c_str());
      return false;
    }
  }
  const wchar_t* const architectures[] = {L"\\x86\\", L"\\x64\\"};
  for (int kind : {x86, x64}) {
    the_run.probe[kind] = here + architectures[kind] + L"quorventine.exe";
    the_run.library[kind] = here + architectures[kind] + L"probe_lib.dll";
  }
  for (const std::wstring* file : {&the_run.launcher, &the_run.probe[x86], &the_run.library[x86], &the_run.probe[x64],
                                   &the_run.library[x64]}) {
    if (!exists(*file)) {
      say("missing: %s (unzip the whole folder, and name an existing launcher)\n", utf8(*file).c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

const Run& run() { return the_run; }

}  // namespace quorventine::check

int wmain(int argc, wchar_t** argv) {
  using namespace quorventine::check;
  testing::InitGoogleTest(&argc, argv);  // takes its own flags out
  if (!find_files(argc, argv)) return 2;
  the_run.folder = new_run_folder();
  if (the_run.folder.empty()) {
    say("cannot make a folder under %%TEMP%%\n");
    return 2;
  }
  SetConsoleCtrlHandler(on_interrupt, TRUE);
  the_run.other_drive = find_other_drive(the_run.folder);
  print_where();
  testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
  delete listeners.Release(listeners.default_result_printer());
  listeners.Append(new LinePrinter);
  const int failed = RUN_ALL_TESTS();
  clean_up();
  return failed == 0 ? 0 : 1;
}
