// A stand-in for the real application at bin\quorventine.exe: it records what it received (command line, PATH,
// current directory, when it was created and when its code began to run, what Windows says of its architecture) and
// which copy of its library it gets by name, in <install>\records, and exits. Built for 32 and 64 bits.
#include <windows.h>

#include <cstdio>
#include <string>

#include "harness.hpp"
#include "record.hpp"

namespace {

using quorventine::to_code_page;

// Read wide: Wine's GetEnvironmentVariableA cuts values that hold double-byte characters.
[[nodiscard]] std::wstring environment_value(const wchar_t* name) {
  std::wstring value(GetEnvironmentVariableW(name, nullptr, 0), L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
  return value;
}

[[nodiscard]] std::wstring current_directory() {
  std::wstring value(GetCurrentDirectoryW(0, nullptr), L'\0');
  value.resize(GetCurrentDirectoryW(static_cast<DWORD>(value.size()), value.data()));
  return value;
}

[[nodiscard]] ULONGLONG creation_time() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  return quorventine::ticks(created);
}

// The file of the library that loading probe_lib.dll by name gives, as after a file dialog that changed the
// current directory (to QV_MOVE_TO, where the tests set it): empty when none was found.
[[nodiscard]] std::wstring library_found() {
  const std::wstring move_to = environment_value(L"QV_MOVE_TO");
  if (!move_to.empty()) SetCurrentDirectoryW(move_to.c_str());
  const HMODULE library = LoadLibraryW(L"probe_lib.dll");
  if (library == nullptr) return L"";
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(library, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

// <install>\records\, two levels above this file (<install>\bin\quorventine.exe).
[[nodiscard]] std::wstring records_folder() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  for (int level = 0; level < 2; ++level) path.resize(path.find_last_of(L'\\'));
  return path + L"\\records\\";
}

}  // namespace

int main() {
  const ULONGLONG entered = quorventine::now();
  const std::string fields[] = {GetCommandLineA(), to_code_page(CP_UTF8, GetCommandLineW()),
                                to_code_page(CP_UTF8, environment_value(L"PATH")),
                                to_code_page(CP_UTF8, current_directory()), std::to_string(creation_time()),
                                std::to_string(entered), to_code_page(CP_UTF8, library_found()),
                                to_code_page(CP_UTF8, environment_value(L"PROCESSOR_ARCHITECTURE")),
                                to_code_page(CP_UTF8, environment_value(L"ProgramFiles")),
                                to_code_page(CP_UTF8, environment_value(L"ProgramW6432"))};
  const std::wstring folder = records_folder();
  const std::wstring name = folder + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  // Written aside and renamed, so that a reader never sees half a record.
  std::FILE* file = _wfopen((name + L".tmp").c_str(), L"wb");
  if (file == nullptr) return 2;
  for (const std::string& field : fields) std::fwrite(field.c_str(), 1, field.size() + 1, file);
  std::fclose(file);
  return MoveFileW((name + L".tmp").c_str(), (name + L".rec").c_str()) ? 0 : 2;
}
