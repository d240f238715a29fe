// The NSIS sample's update and removal against launches made while they run. The test build of the sample stops at
// two gates that this program opens: after the hold is taken, and after the launchers are ended (before the files
// are replaced). Waiting launchers poll without a queue, so which of them is waiting at a given instant is chance;
// the gates make each launch's moment known.
//   1. Version 1 installed silently.
//   2. The update to version 2: four launches at gate 1 and two at gate 2. No version 1 starts; exactly the two of
//      gate 2 start version 2, a hold apart, after the release; no lock is left.
//   3. An update ended from outside at gate 1: the launch waiting on its hold goes on at once.
//   4. One more update: the launcher that the first one put aside is gone.
//   5. The removal (its uninstaller runs again from %TEMP% and returns at once): nothing of the product is left.
// usage: nsis_upgrade <folder with quorventine-setup-v1.exe and -v2.exe, where the gates are made> per-user|per-machine
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.hpp"
#include "record.hpp"

namespace {

using namespace quorventine;

constexpr LONGLONG hold_ms = 3000, clock_lag_ms = 32;
int failures = 0;

void expect(bool holds, const std::string& what) {
  std::printf("%s  %s\n", holds ? "ok    " : "FAILED", what.c_str());
  failures += holds ? 0 : 1;
}

std::wstring here, install;

void touch(const std::wstring& path) {
  CloseHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

// Whether a condition comes to hold within a minute.
template <typename Condition>
[[nodiscard]] bool comes(const Condition& holds) {
  for (const ULONGLONG since = now(); !holds(); Sleep(10)) {
    if (now() - since > 60000 * ticks_per_ms) return false;
  }
  return true;
}

[[nodiscard]] bool appears(const std::wstring& path) {
  return comes([&] { return exists(path); });
}

// Starts a setup with its gates closed (or open, for a run without pauses).
[[nodiscard]] HANDLE setup(const wchar_t* version, bool gates_open) {
  for (const wchar_t* gate : {L"\\gate1", L"\\gate2"}) {
    DeleteFileW((here + gate + L".reached").c_str());
    if (gates_open) touch(here + gate + L".open");
    else DeleteFileW((here + gate + L".open").c_str());
  }
  const std::wstring program = here + L"\\quorventine-setup-" + version + L".exe";
  return start_process(program, L"\"" + program + L"\" /S /D=" + install, here);
}

[[nodiscard]] HANDLE launch() {
  const std::wstring launcher = install + L"\\quorventine.exe";
  return start_process(launcher, L"\"" + launcher + L"\" doc.txt", here);
}

[[nodiscard]] std::vector<Record> started_since(ULONGLONG since, const char* version) {
  std::vector<Record> started;
  for (const Record& record : read_records(install)) {
    if (record.created + clock_lag_ms * ticks_per_ms >= since && record.version == version) started.push_back(record);
  }
  return started;
}

// The names in the install directory that match a pattern.
[[nodiscard]] std::vector<std::wstring> names_matching(const std::wstring& pattern) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((install + L"\\" + pattern).c_str(), &found);
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
    names.push_back(found.cFileName);
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  return names;
}

// Whether every process started here has ended, the uninstaller's copy of itself in %TEMP% among them.
[[nodiscard]] bool all_ended() {
  return comes([] {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION job{};
    const JOBOBJECTINFOCLASS accounting = JobObjectBasicAccountingInformation;
    return QueryInformationJobObject(job_of_started(), accounting, &job, sizeof job, nullptr) &&
           job.ActiveProcesses == 0;
  });
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  here = argv[1];
  install = here + L"\\Programs\\Quorventine Łódź";
  const std::wstring lock = install + L"\\quorventine.lock";

  expect(finish(setup(L"v1", true), 60000).exit_code == 0, "version 1 installed");

  HANDLE update = setup(L"v2", false);
  expect(appears(here + L"\\gate1.reached") && exists(lock), "the update holds launches");
  std::vector<HANDLE> ended;
  for (int i = 0; i < 4; ++i) ended.push_back(launch());
  touch(here + L"\\gate1.open");
  expect(appears(here + L"\\gate2.reached") && exists(lock), "the update still holds launches, its launchers ended");
  const HANDLE during[] = {launch(), launch()};
  const ULONGLONG replacing = now();
  touch(here + L"\\gate2.open");
  expect(finish(update, 60000).exit_code == 0, "version 2 installed");
  for (HANDLE launcher : during) expect(finish(launcher, 30000).exit_code == 0, "a launch made at gate 2 started");
  for (HANDLE launcher : ended) expect(finish(launcher, 30000).exit_code == 1, "a launch made at gate 1 was ended");
  const std::vector<Record> v2 = started_since(replacing, "2");
  const std::size_t v1 = started_since(0, "1").size();
  expect(v1 == 0, "no version 1 start after version 1 was installed (" + std::to_string(v1) + ")");
  expect(v2.size() == 2,
         "exactly the two launches made at gate 2 started version 2 (" + std::to_string(v2.size()) + ")");
  expect(v2.size() == 2 && ms_after(v2[0].created, v2[1].created) >= hold_ms - 100, "a hold apart");
  expect(!exists(lock), "no lock file left, and no hold");
  const std::vector<std::wstring> first_aside = names_matching(L"quorventine.exe.*.old");
  expect(first_aside.size() == 1, "the running launcher was put aside");

  update = setup(L"v2", false);
  expect(appears(here + L"\\gate1.reached"), "the next update holds launches");
  const std::size_t before = read_records(install).size();
  const HANDLE waiting = launch();
  Sleep(500);
  expect(read_records(install).size() == before, "a launch waits on its hold");
  const ULONGLONG killed = now();
  expect(TerminateProcess(update, 9) && finish(update, 10000).exit_code == 9, "the update ended from outside");
  expect(finish(waiting, 30000).exit_code == 0, "the launch that waited on its hold started");
  const std::vector<Record> after_kill = started_since(killed, "2");
  expect(after_kill.size() == 1 && ms_after(killed, after_kill[0].created) < 1000,
         "it started within a poll and a process start of the end");

  expect(finish(setup(L"v2", true), 60000).exit_code == 0, "one more update");
  const std::vector<std::wstring> second_aside = names_matching(L"quorventine.exe.*.old");
  expect(second_aside.size() == 1 && second_aside != first_aside, "it removed the launcher put aside before");

  for (const std::wstring& name : names_matching(L"records\\*.rec")) {
    DeleteFileW((install + L"\\records\\" + name).c_str());
  }
  RemoveDirectoryW((install + L"\\records").c_str());
  const std::wstring uninstaller = install + L"\\uninstall.exe";
  const HANDLE removal = start_process(uninstaller, L"\"" + uninstaller + L"\" /S", here);
  expect(finish(removal, 60000).exit_code == 0 && all_ended(), "removed");
  HKEY key, root = std::wstring(argv[2]) == L"per-machine" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  const wchar_t* const entry = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorventine";
  expect(!exists(install) && RegOpenKeyExW(root, entry, 0, KEY_READ, &key) != ERROR_SUCCESS, "nothing of it is left");
  std::printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
