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

// Milliseconds from one time to another, negative where the other is earlier.
[[nodiscard]] inline LONGLONG ms_after(ULONGLONG from, ULONGLONG to) {
  return (static_cast<LONGLONG>(to) - static_cast<LONGLONG>(from)) / static_cast<LONGLONG>(ticks_per_ms);
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

// Copies a file's bytes alone. CopyFileW copies its alternate data streams too, among them the Mark of the Web
// (Zone.Identifier) of a file unpacked from a downloaded zip, with which Windows treats every copy as downloaded.
[[nodiscard]] inline bool copy_bytes(const std::wstring& from, const std::wstring& to) {
  const HANDLE in = CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  const HANDLE out = CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  bool copied = out != INVALID_HANDLE_VALUE;
  std::string buffer(1 << 16, '\0');
  for (DWORD read = 0, written = 0;
       copied && ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) && read != 0;) {
    copied = WriteFile(out, buffer.data(), read, &written, nullptr) && written == read;
  }
  CloseHandle(in);
  if (out != INVALID_HANDLE_VALUE) copied = CloseHandle(out) && copied;
  return copied;
}

// Makes every directory of the path, with the launcher, the application and its library (each where given) as
// start.exe, bin\quorventine.exe and lib\probe_lib.dll.
[[nodiscard]] inline bool make_install(const std::wstring& dir, const std::wstring& launcher,
                                       const std::wstring& application, const std::wstring& library = L"") {
  for (std::size_t at = dir.find(L'\\', 3); at != std::wstring::npos; at = dir.find(L'\\', at + 1)) {
    CreateDirectoryW(dir.substr(0, at).c_str(), nullptr);
  }
  for (const wchar_t* sub : {L"", L"\\bin", L"\\lib"}) CreateDirectoryW((dir + sub).c_str(), nullptr);
  return (launcher.empty() || copy_bytes(launcher, dir + L"\\start.exe")) &&
         (application.empty() || copy_bytes(application, dir + L"\\bin\\quorventine.exe")) &&
         (library.empty() || copy_bytes(library, dir + L"\\lib\\probe_lib.dll"));
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

// How the programs started here join the job. Windows 8 nests jobs. Windows 7 cannot put a process into a second
// job: where this program runs in one already (a build agent's, a terminal's), a program is started outside that job
// (a breakaway) where the job allows it, and otherwise stays out of ours, and is ended by other means.
enum class JobJoin { assigned, broken_away, kept_out };
inline JobJoin job_join = JobJoin::assigned;

// Starts a program with create(flags, process), created suspended, put in the job before it runs, then let run;
// null where it could not be started, with Windows' error for that start.
template <typename Create>
[[nodiscard]] HANDLE start_in_job(const Create& create) {
  const DWORD breakaway = job_join == JobJoin::broken_away ? CREATE_BREAKAWAY_FROM_JOB : 0;
  PROCESS_INFORMATION process{};
  if (!create(CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | breakaway, process)) {
    // A job that allows no breakaway refuses the start that asks for one: no refusal of the program itself.
    if (breakaway == 0 || GetLastError() != ERROR_ACCESS_DENIED) return nullptr;
    job_join = JobJoin::kept_out;
    return start_in_job(create);
  }
  if (!AssignProcessToJobObject(job_of_started(), process.hProcess) && job_join != JobJoin::kept_out) {
    TerminateProcess(process.hProcess, 1);  // it has not run: started again outside the other job, or kept out
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    job_join = job_join == JobJoin::assigned ? JobJoin::broken_away : JobJoin::kept_out;
    return start_in_job(create);
  }
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Starts a program with exactly this command line, and the given environment block (wide) or ours; null when
// it could not be started.
[[nodiscard]] inline HANDLE start_process(const std::wstring& executable, std::wstring command_line,
                                          const std::wstring& cwd, const std::wstring* environment = nullptr) {
  return start_in_job([&](DWORD flags, PROCESS_INFORMATION& process) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    void* block = environment != nullptr ? const_cast<wchar_t*>(environment->data()) : nullptr;
    return CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr, FALSE, flags, block, cwd.c_str(),
                          &startup, &process) != 0;
  });
}

struct Outcome {
  DWORD exit_code = ~0UL;
  ULONGLONG run_ms = 0;  // from the process's creation to its exit
  bool timed_out = false;
};

// Waits for the process to end, at most wait_ms: then it is ended, so that a launcher that waits for ever does not
// outlive the case that started it.
inline Outcome finish(HANDLE process, DWORD wait_ms = 120000) {
  Outcome outcome;
  if (process == nullptr) return outcome;
  if (WaitForSingleObject(process, wait_ms) != WAIT_OBJECT_0) {
    outcome.timed_out = true;
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
