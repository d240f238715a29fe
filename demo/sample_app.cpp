// A stand-in for the real application at bin\quorventine.exe: it records what it received (command line, PATH,
// current directory, when it was created and when its code began to run) in <install>\records and exits.
#include <windows.h>

#include <cstdio>
#include <string>

#include "harness.hpp"

namespace {

[[nodiscard]] std::string to_ansi(const std::wstring& wide) {
  const int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), ansi.data(), size, nullptr, nullptr);
  return ansi;
}

// Read through the wide API: Wine's GetEnvironmentVariableA cuts values that hold double-byte characters.
[[nodiscard]] std::string environment_value(const wchar_t* name) {
  std::wstring value(GetEnvironmentVariableW(name, nullptr, 0), L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
  return to_ansi(value);
}

[[nodiscard]] std::string current_directory() {
  std::wstring value(GetCurrentDirectoryW(0, nullptr), L'\0');
  value.resize(GetCurrentDirectoryW(static_cast<DWORD>(value.size()), value.data()));
  return to_ansi(value);
}

[[nodiscard]] ULONGLONG creation_time() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  return quorventine::ticks(created);
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
  const std::string fields[] = {GetCommandLineA(), environment_value(L"PATH"), current_directory(),
                                std::to_string(creation_time()), std::to_string(entered)};
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
