// Helpers for the programs that drive the launcher under Windows (the check, the benchmark, the demo): install trees,
// starting a program with an exact command line, and the system clock. Wide throughout, so that any name works.
// Nothing here needs more than Windows 7: the check runs there too.
#pragma once

#include <windows.h>

#include <string>

namespace quorventine {

constexpr ULONGLONG ticks_per_ms = 10000;  // FILETIME units

[[nodiscard]] inline ULONGLONG ticks(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// A function that not every Windows these programs run on has, looked up at run time; null where it has none.
template <typename Function>
[[nodiscard]] Function system_function(const wchar_t* module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(module), name)));
}

// The system clock, as precisely as this Windows gives it: the precise one came with Windows 8.
[[nodiscard]] inline ULONGLONG now() {
  using Clock = void(WINAPI*)(FILETIME*);
  static const auto precise = system_function<Clock>(L"kernel32.dll", "GetSystemTimePreciseAsFileTime");
  FILETIME time;
  (precise != nullptr ? precise : GetSystemTimeAsFileTime)(&time);
  return ticks(time);
}

[[nodiscard]] inline bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A path handed over in the environment (a Unix path under Wine), made a full Windows path.
[[nodiscard]] inline std::wstring full_path_from_environment(const wchar_t* name) {
  wchar_t value[MAX_PATH] = {}, full[MAX_PATH] = {};
  GetEnvironmentVariableW(name, value, MAX_PATH);
  GetFullPathNameW(value, MAX_PATH, full, nullptr);
  return full;
}

// Makes every directory of the path, with the launcher as start.exe, and the application and its library (each
// when given) as bin\quorventine.exe and lib\probe_lib.dll.
[[nodiscard]] inline bool make_install(const std::wstring& dir, const std::wstring& launcher,
                                       const std::wstring& application, const std::wstring& library = L"") {
  for (std::size_t at = dir.find(L'\\', 3); at != std::wstring::npos; at = dir.find(L'\\', at + 1)) {
    CreateDirectoryW(dir.substr(0, at).c_str(), nullptr);
  }
  for (const wchar_t* sub : {L"", L"\\bin", L"\\lib"}) CreateDirectoryW((dir + sub).c_str(), nullptr);
  return CopyFileW(launcher.c_str(), (dir + L"\\start.exe").c_str(), FALSE) &&
         (application.empty() || CopyFileW(application.c_str(), (dir + L"\\bin\\quorventine.exe").c_str(), FALSE)) &&
         (library.empty() || CopyFileW(library.c_str(), (dir + L"\\lib\\probe_lib.dll").c_str(), FALSE));
}

// One job holds every program started here, and the programs they start: it ends them all when this process ends,
// however it ends, so nothing outlives a run that fails, hangs or is stopped.
[[nodiscard]] inline HANDLE job_of_started() {
  static const HANDLE job = [] {
    const HANDLE made = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return made;
  }();
  return job;
}

// Set where Windows kept a process out of the job: Windows 7 cannot put a process in a second job, so where this
// program runs in one already (under a scheduler or a build agent), the bounded waits alone end what it started.
inline bool kept_out_of_job = false;

// A process created suspended, put in the job before it runs, then let run.
[[nodiscard]] inline HANDLE run_in_job(const PROCESS_INFORMATION& process) {
  if (!AssignProcessToJobObject(job_of_started(), process.hProcess)) kept_out_of_job = true;
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Starts a program with exactly this command line, and the given environment block (wide) or ours; null when
// it could not be started.
[[nodiscard]] inline HANDLE start_process(const std::wstring& executable, std::wstring command_line,
                                          const std::wstring& cwd, const std::wstring* environment = nullptr) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  void* block = environment != nullptr ? const_cast<wchar_t*>(environment->data()) : nullptr;
  if (!CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, block, cwd.c_str(), &startup, &process)) {
    return nullptr;
  }
  return run_in_job(process);
}

struct Outcome {
  DWORD exit_code = ~0UL;
  ULONGLONG run_ms = 0;  // from the process's creation to its exit
};

// Waits for the process to end, at most wait_ms: then it is ended, so that a launcher that waits for ever does not
// outlive the case that started it.
inline Outcome finish(HANDLE process, DWORD wait_ms = 120000) {
  Outcome outcome;
  if (process == nullptr) return outcome;
  if (WaitForSingleObject(process, wait_ms) != WAIT_OBJECT_0) {
    TerminateProcess(process, outcome.exit_code);
    CloseHandle(process);
    return outcome;
  }
  FILETIME created, exited, kernel, user;
  GetExitCodeProcess(process, &outcome.exit_code);
  GetProcessTimes(process, &created, &exited, &kernel, &user);
  outcome.run_ms = (ticks(exited) - ticks(created)) / ticks_per_ms;
  CloseHandle(process);
  return outcome;
}

// Deletes as a person would, repeating while a launcher's read test has the file open.
[[nodiscard]] inline bool delete_by_hand(const std::wstring& path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (DeleteFileW(path.c_str())) return true;
    Sleep(5);
  }
  return false;
}

}  // namespace quorventine
