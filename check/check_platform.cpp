// The check runner's part in each case: how each kind of caller starts the launcher, bounded waits on the clock,
// and what this system does for the rows that need what not every system does.
#include <windows.h>
#include <aclapi.h>

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

HANDLE start_as(Caller caller, const std::wstring& launcher, const std::wstring& command_line, const std::wstring& cwd,
                const std::wstring& environment) {
  if (caller == Caller::wide) return start_process(launcher, command_line, cwd, &environment);
  // /d: no AutoRun command of the user's (one that changes PATH, say) runs first; /s: the command between the outer
  // quotes is taken as it stands, whatever characters the folder's path holds.
  if (caller == Caller::typed) {
    wchar_t shell[MAX_PATH];
    GetEnvironmentVariableW(L"ComSpec", shell, MAX_PATH);
    return start_process(shell, L"cmd /d /s /c \"" + command_line + L"\"", cwd, &environment);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string line = to_code_page(CP_ACP, command_line);
  if (!CreateProcessA(to_code_page(CP_ACP, launcher).c_str(), line.data(), nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, const_cast<wchar_t*>(environment.data()),
                      to_code_page(CP_ACP, cwd).c_str(), &startup, &process)) {
    return nullptr;
  }
  return run_in_job(process);
}

HANDLE start_launcher(const std::wstring& install) {
  return start_process(install + L"\\start.exe", L"\"" + install + L"\\start.exe\"", install);
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

LONGLONG ms_after(ULONGLONG from, ULONGLONG to) {
  return (static_cast<LONGLONG>(to) - static_cast<LONGLONG>(from)) / static_cast<LONGLONG>(ticks_per_ms);
}

DWORD left_until(ULONGLONG deadline) {
  const ULONGLONG at = now();
  return at < deadline ? static_cast<DWORD>((deadline - at) / ticks_per_ms) : 0;
}

std::vector<Record> records_once_started(const std::wstring& install) {
  std::vector<Record> records;
  for (const ULONGLONG since = now(); records.empty() && ms_after(since, now()) < LONGLONG{hold_ms}; Sleep(1)) {
    records = read_records(install);
  }
  return records;
}

std::wstring long_form(const std::wstring& path) {
  std::wstring long_path(32768, L'\0');
  long_path.resize(GetLongPathNameW(path.c_str(), long_path.data(), 32768));
  return long_path;
}

std::wstring short_form(const std::wstring& path) {
  std::wstring short_path(32768, L'\0');
  short_path.resize(GetShortPathNameW(path.c_str(), short_path.data(), 32768));
  return short_path.empty() ? path : short_path;
}

std::set<std::wstring> names_in(const std::wstring& folder) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do names.insert(found.cFileName);
  while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

std::string cannot_call(Caller caller) {
  if (caller != Caller::ansi_1252 && caller != Caller::ansi_932) return "";
  const UINT code_page = caller == Caller::ansi_932 ? 932 : 1252;
  if (GetACP() != code_page) {
    return "its caller uses the ANSI code page " + std::to_string(code_page) + "; this system's is " +
           std::to_string(GetACP());
  }
  if (from_code_page(CP_ACP, to_code_page(CP_ACP, run().folder)) != run().folder) {
    return "the check's folder under %TEMP% holds characters that the ANSI code page lacks";
  }
  return "";
}

namespace {

// What the probe loads when started directly from a directory that holds a library of its name (with the current
// directory taken out of this program's DLL search for that start, where asked); none where it did not run.
[[nodiscard]] std::optional<Record> probe_started_directly(Architecture probe, bool without_current_directory) {
  static int serial = 0;
  const std::wstring install = run().folder + L"\\platform\\" + std::to_wstring(++serial), cwd = install + L"\\cwd";
  if (!make_install(install, run().launcher, run().probe[probe]) || !CreateDirectoryW(cwd.c_str(), nullptr) ||
      !CopyFileW(run().library[probe].c_str(), (cwd + L"\\probe_lib.dll").c_str(), FALSE)) {
    return std::nullopt;
  }
  if (without_current_directory) SetDllDirectoryW(L"");
  const HANDLE started = start_process(install + L"\\bin\\quorventine.exe", L"probe", cwd);
  if (without_current_directory) SetDllDirectoryW(nullptr);
  const bool ran = finish(started, 30000).exit_code == 0;
  const std::vector<Record> records = read_records(install);
  if (!ran || records.empty()) return std::nullopt;
  return records[0];
}

}  // namespace

std::string cannot_start_x64() {
  static const bool starts = probe_started_directly(x64, false).has_value();
  return starts ? "" : "this system cannot start an x64 program";
}

std::string does_not_pass_dll_search_on() {
  static const std::optional<Record> probe = probe_started_directly(x86, true);
  if (!probe || probe->library.empty()) return "";
  return "this system does not pass a program's DLL search setting (SetDllDirectoryW) on to the programs it starts "
         "(Wine does not): here the application loads a DLL beside the document, whatever the launcher does";
}

std::string cannot_link(const std::wstring& link, const wchar_t* target) {
  // Before Windows 10, the flag that asks for a link without the right to make one is refused.
  for (const DWORD flags : {DWORD{SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE}, DWORD{0}}) {
    if (CreateSymbolicLinkW(link.c_str(), target, flags)) break;
  }
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "";
  return "no symbolic link could be made here (Windows needs Developer Mode or the right to make them; Wine 8 "
         "reports one made and makes none)";
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
  return "this system let a file be made in a folder whose access list denies it (Wine run as root does not hold "
         "to access lists)";
}

}  // namespace quorventine::check
