// Helpers for the programs that drive the launcher under Windows (tests, benchmark): install trees, starting
// a launcher with an exact command line, and the system clock.
#pragma once

#include <windows.h>

#include <cstring>
#include <optional>
#include <string>

namespace quorventine {

constexpr ULONGLONG ticks_per_ms = 10000;  // FILETIME units

[[nodiscard]] inline ULONGLONG ticks(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

[[nodiscard]] inline ULONGLONG now() {
  FILETIME time;
  GetSystemTimePreciseAsFileTime(&time);
  return ticks(time);
}

[[nodiscard]] inline bool exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A path handed over in the environment (a Unix path under Wine), made a full Windows path.
[[nodiscard]] inline std::string full_path_from_environment(const char* name) {
  char value[MAX_PATH] = {}, full[MAX_PATH] = {};
  GetEnvironmentVariableA(name, value, MAX_PATH);
  GetFullPathNameA(value, MAX_PATH, full, nullptr);
  return full;
}

// Makes every directory of the path, with the launcher as start.exe and the application (when given) as
// bin\quorventine.exe.
[[nodiscard]] inline bool make_install(const std::string& dir, const std::string& launcher,
                                       const std::string& application) {
  for (std::size_t at = dir.find('\\', 3); at != std::string::npos; at = dir.find('\\', at + 1)) {
    CreateDirectoryA(dir.substr(0, at).c_str(), nullptr);
  }
  for (const char* sub : {"", "\\bin", "\\lib"}) CreateDirectoryA((dir + sub).c_str(), nullptr);
  return CopyFileA(launcher.c_str(), (dir + "\\start.exe").c_str(), FALSE) &&
         (application.empty() || CopyFileA(application.c_str(), (dir + "\\bin\\quorventine.exe").c_str(), FALSE));
}

// Starts a program with exactly this command line; null when it could not be started.
[[nodiscard]] inline HANDLE start_process(const std::string& executable, std::string command_line,
                                          const std::string& cwd, const std::string* environment = nullptr) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  void* block = environment != nullptr ? const_cast<char*>(environment->data()) : nullptr;
  if (!CreateProcessA(executable.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, block, cwd.c_str(),
                      &startup, &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

struct Outcome {
  DWORD exit_code = ~0UL;
  ULONGLONG run_ms = 0;  // from the process's creation to its exit
};

inline Outcome finish(HANDLE process) {
  Outcome outcome;
  if (process == nullptr || WaitForSingleObject(process, 120000) != WAIT_OBJECT_0) return outcome;
  FILETIME created, exited, kernel, user;
  GetExitCodeProcess(process, &outcome.exit_code);
  GetProcessTimes(process, &created, &exited, &kernel, &user);
  outcome.run_ms = (ticks(exited) - ticks(created)) / ticks_per_ms;
  CloseHandle(process);
  return outcome;
}

// Deletes as a person would, repeating while a launcher's read test has the file open.
[[nodiscard]] inline bool delete_by_hand(const std::string& path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (DeleteFileA(path.c_str())) return true;
    Sleep(5);
  }
  return false;
}

}  // namespace quorventine
