// The check runner's part in each case: install trees and their first starts, how each kind of caller starts the
// launcher, bounded waits on the clock, and what this system does for the rows that need what not every system does.
#include <windows.h>
#include <aclapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cwchar>

#include "check.hpp"
#include "harness.hpp"

namespace quorventine::check {

bool selected(const char* row) {
  const testing::TestSuite* const suite = testing::UnitTest::GetInstance()->current_test_suite();
  for (int i = 0; i < suite->total_test_count(); ++i) {
    const std::string name = suite->GetTestInfo(i)->name();
    if (name.substr(name.rfind('/') + 1) == row) return suite->GetTestInfo(i)->should_run();
  }
  return false;
}

namespace {

// Windows' text for an error, in English where this Windows has it, as the rest of the check's output is.
[[nodiscard]] std::string error_text(DWORD error) {
  wchar_t* text = nullptr;
  for (const DWORD language : {DWORD{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)}, DWORD{0}}) {
    if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, language, reinterpret_cast<wchar_t*>(&text), 0, nullptr) != 0) {
      break;
    }
  }
  std::wstring message = text != nullptr ? text : L"";
  LocalFree(text);
  while (!message.empty() && static_cast<unsigned>(message.back()) <= L' ') message.pop_back();
  for (std::size_t at; (at = message.find(L"%1")) != std::wstring::npos;) message.replace(at, 2, L"the program");
  return "error " + std::to_string(error) + (message.empty() ? "" : ": " + to_code_page(CP_UTF8, message));
}

[[nodiscard]] std::string utf8(const std::wstring& text) { return to_code_page(CP_UTF8, text); }

// Every case needs the programs to start: one that Windows refuses ends the check, saying what is in the way. A copy
// that is no image this Windows can start names the file it was copied from: the launcher given is no program (the
// check cannot run), or a probe whose machine's programs this Windows runs is damaged (a failure).
[[noreturn]] void refused(const std::wstring& copy, const std::wstring& original) {
  const DWORD error = GetLastError();
  const bool no_image =
      error == ERROR_BAD_EXE_FORMAT || error == ERROR_EXE_MACHINE_TYPE_MISMATCH || error == ERROR_BAD_FORMAT;
  if (no_image && original == run().launcher) {
    stop(exit_cannot_run, utf8(original) + " is not a program that this Windows can start (" + error_text(error) +
                              "): name a launcher built for Windows with --launcher");
  }
  for (int machine = 0; no_image && machine < architectures; ++machine) {
    if (original != run().probe[machine]) continue;
    stop(exit_failed, utf8(original) + " does not start (" + error_text(error) + "), though this Windows runs " +
                          machine_name[machine] + " programs: the file is damaged; unzip the check again");
  }
  stop(exit_cannot_run, "Windows refused to start " + utf8(copy) + " (" + error_text(error) +
                            "). Common causes: a policy that allows no programs in this folder (AppLocker, Windows "
                            "Defender Application Control, Smart App Control, a software restriction policy) or an "
                            "antivirus. The check cannot run here; run it from a folder that they allow.");
}

[[nodiscard]] HANDLE started(HANDLE process, const std::wstring& copy, const std::wstring& original) {
  if (process == nullptr) refused(copy, original);
  return process;
}

// Every launcher that the cases start is a copy of the one under test.
[[nodiscard]] HANDLE started(HANDLE process, const std::wstring& launcher) {
  return started(process, launcher, run().launcher);
}

}  // namespace

bool lay_out(const std::vector<Install>& installs) {
  std::vector<std::pair<HANDLE, std::wstring>> first_starts;
  const auto wait_for_all = [&first_starts] {
    for (const auto& [process, tree] : first_starts) finish_in(process, 60000, tree);
    first_starts.clear();
  };
  for (const Install& install : installs) {
    if (!make_install(install.dir, run().launcher, L"", run().library[install.probe])) return false;
    first_starts.emplace_back(start_launcher(install.dir), install.dir);
  }
  wait_for_all();
  std::wstring environment;
  for (const Install& install : installs) {
    if (!install.with_application) continue;
    const std::wstring application = install.dir + L"\\bin\\quorventine.exe";
    if (!copy_bytes(run().probe[install.probe], application)) return false;
    environment = environment_for(install.dir + L"\\lib", L"");
    const HANDLE probe = start_process(application, L"probe", install.dir, &environment);
    first_starts.emplace_back(started(probe, application, run().probe[install.probe]), install.dir);
  }
  wait_for_all();
  for (const Install& install : installs) {
    const std::wstring records = install.dir + L"\\records";
    for (const std::wstring& name : names_in(records)) DeleteFileW((records + L"\\" + name).c_str());
    RemoveDirectoryW(records.c_str());
  }
  return true;
}

HANDLE start_as(Caller caller, const std::wstring& launcher, const std::wstring& command_line, const std::wstring& cwd,
                const std::wstring& environment) {
  if (caller == Caller::wide) return started(start_process(launcher, command_line, cwd, &environment), launcher);
  // /d: no AutoRun command of the user's (one that changes PATH, say) runs first; /s: the command between the outer
  // quotes is taken as it stands, whatever characters the folder's path holds.
  if (caller == Caller::typed) {
    wchar_t shell[MAX_PATH];
    GetEnvironmentVariableW(L"ComSpec", shell, MAX_PATH);
    return started(start_process(shell, L"cmd /d /s /c \"" + command_line + L"\"", cwd, &environment), shell, shell);
  }
  const std::string program = to_code_page(CP_ACP, launcher), directory = to_code_page(CP_ACP, cwd);
  std::string line = to_code_page(CP_ACP, command_line);
  return started(start_in_job([&](DWORD flags, PROCESS_INFORMATION& process) {
                   STARTUPINFOA startup{};
                   startup.cb = sizeof startup;
                   return CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, flags,
                                         const_cast<wchar_t*>(environment.data()), directory.c_str(), &startup,
                                         &process) != 0;
                 }),
                 launcher);
}

HANDLE start_launcher(const std::wstring& install) {
  const std::wstring launcher = install + L"\\start.exe";
  return started(start_process(launcher, L"\"" + launcher + L"\"", install), launcher);
}

std::wstring environment_for(const std::optional<std::wstring>& path, const std::wstring& move_to) {
  std::wstring block;
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    if (_wcsnicmp(entry, L"PATH=", 5) != 0) block.append(entry).push_back(L'\0');
  }
  FreeEnvironmentStringsW(strings);
  if (path) block.append(L"PATH=" + *path).push_back(L'\0');
  if (!move_to.empty()) block.append(L"QV_MOVE_TO=" + move_to).push_back(L'\0');
  return block;
}

void end_processes_in(const std::vector<std::wstring>& folders) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    const HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    std::wstring image(32768, L'\0');
    DWORD size = static_cast<DWORD>(image.size());
    image.resize(QueryFullProcessImageNameW(process, 0, image.data(), &size) ? size : 0);
    for (const std::wstring& folder : folders) {
      const bool inside = !folder.empty() && image.size() > folder.size() && image[folder.size()] == L'\\' &&
                          CompareStringOrdinal(image.data(), static_cast<int>(folder.size()), folder.data(),
                                               static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
      if (inside && entry.th32ProcessID != GetCurrentProcessId()) TerminateProcess(process, 1);
    }
    CloseHandle(process);
  }
  CloseHandle(snapshot);
}

DWORD left_until(ULONGLONG deadline) {
  const ULONGLONG at = now();
  return at < deadline ? static_cast<DWORD>((deadline - at) / ticks_per_ms) : 0;
}

Outcome finish_in(HANDLE process, DWORD wait_ms, const std::wstring& tree) {
  const Outcome outcome = finish(process, wait_ms);
  if (outcome.timed_out) end_processes_in({tree});
  return outcome;
}

std::vector<Record> records_once_started(const std::wstring& install) {
  std::vector<Record> records;
  for (const ULONGLONG since = now(); records.empty() && ms_after(since, now()) < LONGLONG{hold_ms}; Sleep(1)) {
    records = read_records(install);
  }
  return records;
}

std::wstring long_form(const std::wstring& path) {
  // Wine's GetLongPathNameW writes a longer path into a buffer of 1024 units, past its end; no path of the check's
  // own is that long.
  if (path.size() >= 1024) return path;
  std::wstring long_path(32768, L'\0');
  long_path.resize(GetLongPathNameW(path.c_str(), long_path.data(), 32768));
  return long_path;
}

std::wstring short_form(const std::wstring& path) {
  std::wstring short_path(32768, L'\0');
  short_path.resize(GetShortPathNameW(path.c_str(), short_path.data(), 32768));
  return short_path.empty() ? path : short_path;
}

bool same_path(const std::wstring& path, const std::wstring& expected) {
  return path == expected || long_form(path) == expected;
}

std::set<std::wstring> names_in(const std::wstring& folder) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0) {
      names.insert(found.cFileName);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

std::string cannot_call(Caller caller) {
  if (caller != Caller::ansi_1252 && caller != Caller::ansi_932) return "";
  const UINT code_page = caller == Caller::ansi_932 ? 932 : 1252;
  if (GetACP() == code_page) return "";
  return "its point is the bytes of the ANSI code page " + std::to_string(code_page) + "; this system's is " +
         std::to_string(GetACP());
}

namespace {

// What the probe records when started directly from a directory that holds a library of its name (with the current
// directory taken out of this program's DLL search for that start, where asked); none where it did not run, and
// Windows' error where it could not be started at all.
[[nodiscard]] std::optional<Record> probe_started_directly(Architecture probe, bool without_current_directory,
                                                           DWORD& start_error) {
  static int serial = 0;
  const std::wstring install = run().folder + L"\\platform\\" + std::to_wstring(++serial), cwd = install + L"\\cwd";
  if (!make_install(install, L"", run().probe[probe]) || !CreateDirectoryW(cwd.c_str(), nullptr) ||
      !copy_bytes(run().library[probe], cwd + L"\\probe_lib.dll")) {
    return std::nullopt;
  }
  const std::wstring application = install + L"\\bin\\quorventine.exe";
  if (without_current_directory) SetDllDirectoryW(L"");
  const HANDLE process = start_process(application, L"probe", cwd);
  start_error = process == nullptr ? GetLastError() : ERROR_SUCCESS;
  if (without_current_directory) SetDllDirectoryW(nullptr);
  const bool ran = finish_in(process, 30000, install).exit_code == 0;
  const std::vector<Record> records = read_records(install);
  if (!ran || records.empty()) return std::nullopt;
  return records[0];
}

}  // namespace

const SystemAnswers& system_answers() {
  static const SystemAnswers answers = [] {
    SystemAnswers found;
    using MachineAttributes = HRESULT(WINAPI*)(USHORT, DWORD*);  // Windows 11
    if (const auto attributes_of = system_function<MachineAttributes>(L"kernel32.dll", "GetMachineTypeAttributes")) {
      for (int machine = 0; machine < architectures; ++machine) {
        DWORD attributes = 0;
        if (SUCCEEDED(attributes_of(machine_number[machine], &attributes))) found.machine_attributes[machine] = attributes;
      }
    }
    using Wow64Process2 = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);  // Windows 10 1709
    USHORT process = 0, native = 0;
    const auto wow64_process2 = system_function<Wow64Process2>(L"kernel32.dll", "IsWow64Process2");
    if (wow64_process2 != nullptr && wow64_process2(GetCurrentProcess(), &process, &native)) found.native_machine = native;
    SYSTEM_INFO system;
    GetNativeSystemInfo(&system);
    found.processor = system.wProcessorArchitecture;
    return found;
  }();
  return answers;
}

std::string cannot_start(Architecture probe) { return cannot_run(probe, system_answers()); }

std::string does_not_pass_dll_search_on() {
  static const std::optional<Record> probe = [] {
    DWORD error = ERROR_SUCCESS;
    std::optional<Record> record = probe_started_directly(x86, true, error);
    if (error != ERROR_SUCCESS) {
      SetLastError(error);
      refused(run().probe[x86], run().probe[x86]);
    }
    return record;
  }();
  if (!probe || probe->library.empty()) return "";
  return "this system does not pass a program's DLL search setting (SetDllDirectoryW) on to the programs it starts: "
         "here the application loads a DLL beside the document, whatever the launcher does";
}

std::string cannot_link(const std::wstring& link, const wchar_t* target) {
  // Before Windows 10, the flag that asks for a link without the right to make one is refused.
  bool made = false;
  for (const DWORD flags : {DWORD{SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE}, DWORD{0}}) {
    if ((made = CreateSymbolicLinkW(link.c_str(), target, flags) != 0)) break;
  }
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "";
  if (made) return "this system reported a symbolic link made, and none can be read back";
  return "this user may not make symbolic links (Windows lets them with Developer Mode on, or with the right to "
         "create symbolic links, which administrators have)";
}

std::string does_not_deny_creating(const std::wstring& folder) {
  PACL old = nullptr, denied = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  EXPLICIT_ACCESSW deny{};
  deny.grfAccessPermissions = FILE_ADD_FILE;
  deny.grfAccessMode = DENY_ACCESS;
  deny.grfInheritance = NO_INHERITANCE;
  const bool set =
      GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old,
                            nullptr, &descriptor) == ERROR_SUCCESS &&
      AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone) &&
      (BuildTrusteeWithSidW(&deny.Trustee, everyone), SetEntriesInAclW(1, &deny, old, &denied) == ERROR_SUCCESS) &&
      SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, denied, nullptr) == ERROR_SUCCESS;
  LocalFree(denied);
  LocalFree(descriptor);
  if (everyone != nullptr) FreeSid(everyone);
  if (!set) return "the folder's access list could not be set";
  const HANDLE tried = CreateFileW((folder + L"\\tried").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (tried == INVALID_HANDLE_VALUE) return "";
  CloseHandle(tried);
  return "this system let a file be made in a folder whose access list denies it: it does not hold this user to "
         "access lists";
}

}  // namespace quorventine::check
