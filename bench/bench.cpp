// Measures the launcher under Wine: its start time against a floor (a launcher that does nothing but start the
// application) and against a direct start, the hand-off when a lock is removed, and bursts of launchers, on the
// lock file and where none can be had. Writes
// a Markdown table and an SVG timeline of the 16-launcher burst. (Wine reports no CPU times for other
// processes, so tools/bench.sh measures the CPU of a waiting launcher from the Linux side.)
//
// usage: bench <output directory>   (QV_LAUNCHER, QV_FLOOR and QV_PROBE name the launcher, the floor program
// and the probe; QV_PREVIOUS, where set, an earlier launcher measured in the same rounds)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "harness.hpp"
#include "record.hpp"

namespace {

using quorventine::now;
using quorventine::read_records;
using quorventine::ticks_per_ms;

const std::wstring launcher_exe = quorventine::full_path_from_environment(L"QV_LAUNCHER");
const std::wstring floor_exe = quorventine::full_path_from_environment(L"QV_FLOOR");
const std::wstring probe_exe = quorventine::full_path_from_environment(L"QV_PROBE");
const std::wstring previous_exe = quorventine::full_path_from_environment(L"QV_PREVIOUS");
const std::wstring root = L"Q:\\bench";

[[nodiscard]] double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

[[nodiscard]] double max_of(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

[[nodiscard]] double ms_between(ULONGLONG from, ULONGLONG to) { return static_cast<double>(to - from) / ticks_per_ms; }

// An install tree with the launcher as start.exe, the floor as floor.exe, an earlier launcher (where given) as
// previous.exe and the probe.
[[nodiscard]] std::wstring fresh_install(const std::wstring& name) {
  static int serial = 0;
  const std::wstring dir = root + L"\\" + name + L"-" + std::to_wstring(++serial);
  if (!quorventine::make_install(dir, launcher_exe, probe_exe) ||
      !CopyFileW(floor_exe.c_str(), (dir + L"\\floor.exe").c_str(), FALSE) ||
      (!previous_exe.empty() && !CopyFileW(previous_exe.c_str(), (dir + L"\\previous.exe").c_str(), FALSE))) {
    std::fprintf(stderr, "cannot make %ls\n", dir.c_str());
  }
  return dir;
}

// Milliseconds from the call that starts the program to the application's main function. Every program here
// lasts until the application has written its record: the application itself, and the floor and the launcher,
// which stay 3 s.
[[nodiscard]] double time_to_application(const std::wstring& executable, const std::wstring& install) {
  const ULONGLONG called = now();
  quorventine::finish(quorventine::start_process(executable, L"\"" + executable + L"\" x", install));
  const std::vector<quorventine::Record> records = read_records(install);
  return records.empty() ? -1 : ms_between(called, records.back().entered);
}

struct StartTimes {
  std::vector<double> direct, floor, launcher, in_session, previous;
};

// The application started directly, through the floor, through the launcher, through the launcher where no lock
// file can be had (a folder at the lock path: it takes the install's mutex in the session instead), and through the
// earlier launcher where given, in turn, each round in another order; the first round warms the caches and is not
// counted.
[[nodiscard]] StartTimes measure_start(int rounds) {
  StartTimes times;
  const int kinds = previous_exe.empty() ? 4 : 5;
  for (int round = -1; round < rounds; ++round) {
    const std::wstring install = fresh_install(L"start"), no_lock_file = fresh_install(L"session");
    CreateDirectoryW((no_lock_file + L"\\quorventine.lock").c_str(), nullptr);
    for (int k = 0; k < kinds; ++k) {
      const int which = (round + kinds + k) % kinds;
      const wchar_t* const file[] = {L"\\bin\\quorventine.exe", L"\\floor.exe", L"\\start.exe", L"\\start.exe",
                                     L"\\previous.exe"};
      const std::wstring& dir = which == 3 ? no_lock_file : install;
      const double ms = time_to_application(dir + file[which], dir);
      std::vector<double>* const measured[] = {&times.direct, &times.floor, &times.launcher, &times.in_session,
                                               &times.previous};
      if (round >= 0) measured[which]->push_back(ms);
    }
  }
  return times;
}

struct Handoff {
  std::vector<double> to_lock, lock_to_application;  // ms
};

// Removal of a lock file while a launcher waits, at a different phase of its 100 ms poll each round. The
// launcher's own part ends when it has taken the lock; the start of the application follows, which costs
// what any process start costs on this machine.
[[nodiscard]] Handoff measure_handoff(int rounds) {
  Handoff handoff;
  for (int i = 0; i < rounds; ++i) {
    const std::wstring install = fresh_install(L"handoff");
    const std::wstring lock = install + L"\\quorventine.lock";
    CloseHandle(CreateFileW(lock.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    HANDLE launcher = quorventine::start_process(install + L"\\start.exe", L"\"" + install + L"\\start.exe\"", install);
    Sleep(static_cast<DWORD>(700 + 100 * i / rounds));
    if (!quorventine::delete_by_hand(lock)) continue;
    const ULONGLONG removed = now();
    for (int waited = 0; !quorventine::exists(lock) && waited < 5000; ++waited) Sleep(1);
    const ULONGLONG retaken = now();
    quorventine::finish(launcher);
    const std::vector<quorventine::Record> records = read_records(install);
    if (records.empty()) continue;
    handoff.to_lock.push_back(ms_between(removed, retaken));
    handoff.lock_to_application.push_back(ms_between(retaken, records[0].created));
  }
  return handoff;
}

struct Burst {
  int launchers;
  std::vector<double> starts_ms;  // after the first start
  double smallest_gap_ms, total_ms;
  bool lock_left;  // or, in the session, the folder at the lock path changed
};

// In the session: a folder stands at the lock path, so no lock file can be had and the launchers space themselves
// with the install's mutex in the session, as in an install directory that the user cannot write.
[[nodiscard]] Burst measure_burst(int n, bool in_session = false) {
  const std::wstring install = fresh_install(L"burst" + std::to_wstring(n));
  const std::wstring command_line = L"\"" + install + L"\\start.exe\"";
  const std::wstring lock = install + L"\\quorventine.lock";
  if (in_session) CreateDirectoryW(lock.c_str(), nullptr);
  const ULONGLONG began = now();
  std::vector<HANDLE> launchers;
  for (int i = 0; i < n; ++i) launchers.push_back(quorventine::start_process(install + L"\\start.exe", command_line, install));
  for (HANDLE launcher : launchers) quorventine::finish(launcher);
  const DWORD left = in_session ? FILE_ATTRIBUTE_DIRECTORY : INVALID_FILE_ATTRIBUTES;
  Burst burst{n, {}, 1e9, ms_between(began, now()), GetFileAttributesW(lock.c_str()) != left};
  const std::vector<quorventine::Record> records = read_records(install);
  for (const quorventine::Record& record : records) burst.starts_ms.push_back(ms_between(records[0].created, record.created));
  for (std::size_t i = 1; i < burst.starts_ms.size(); ++i) {
    burst.smallest_gap_ms = std::min(burst.smallest_gap_ms, burst.starts_ms[i] - burst.starts_ms[i - 1]);
  }
  return burst;
}

[[nodiscard]] std::string svg_timeline(const Burst& burst) {
  const double width = 640, left = 20, span = std::max(1.0, burst.starts_ms.empty() ? 1.0 : burst.starts_ms.back());
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"680\" height=\"90\" font-family=\"sans-serif\" "
                    "font-size=\"11\">\n<rect width=\"680\" height=\"90\" fill=\"white\"/>\n"
                    "<line x1=\"20\" y1=\"45\" x2=\"660\" y2=\"45\" stroke=\"#888\"/>\n";
  for (double s = 0; s <= span + 1; s += 3000) {
    const double x = left + s / span * width;
    svg += "<text x=\"" + std::to_string(x) + "\" y=\"80\" text-anchor=\"middle\" fill=\"#555\">" +
           std::to_string(static_cast<int>(s / 1000)) + " s</text>\n";
  }
  for (double start : burst.starts_ms) {
    const double x = left + start / span * width;
    svg += "<line x1=\"" + std::to_string(x) + "\" y1=\"25\" x2=\"" + std::to_string(x) +
           "\" y2=\"65\" stroke=\"#1f4e9c\" stroke-width=\"3\"/>\n";
  }
  svg += "<text x=\"20\" y=\"15\" fill=\"#222\">Application starts, " + std::to_string(burst.launchers) +
         " launchers started together</text>\n</svg>\n";
  return svg;
}

void write_file(const std::wstring& path, const std::string& text) {
  if (std::FILE* file = _wfopen(path.c_str(), L"wb")) {
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench <output directory>\n");
    return 2;
  }
  wchar_t out[MAX_PATH] = {};
  GetFullPathNameW(argv[1], MAX_PATH, out, nullptr);
  CreateDirectoryW(root.c_str(), nullptr);
  char line[512];
  std::string table = "| Measure | Result | Goal |\n|---|---|---|\n";
  auto row = [&](const std::string& measure, const char* goal) {
    table += "| " + measure + " | " + line + " | " + goal + " |\n";
    std::printf("%-50s %-50s %s\n", measure.c_str(), line, goal);
    std::fflush(stdout);
  };

  constexpr int rounds = 21;  // fewer leave the ratio to the noise of a shared machine
  const StartTimes start = measure_start(rounds);
  const double direct = median(start.direct), floor = median(start.floor), launcher = median(start.launcher);
  std::snprintf(line, sizeof line, "median %.0f ms, max %.0f ms", direct, max_of(start.direct));
  row("Process start on this machine (application alone)", "-");
  std::snprintf(line, sizeof line, "%.0f ms vs floor %.0f ms: ratio %.2f", launcher, floor, launcher / floor);
  row("Start through the launcher vs the floor (medians)", "ratio <= 1.10");
  const double in_session = median(start.in_session);
  std::snprintf(line, sizeof line, "%.0f ms vs floor %.0f ms: ratio %.2f", in_session, floor, in_session / floor);
  row("Start where no lock file can be had vs the floor (medians)", "ratio <= 1.10");
  if (!start.previous.empty()) {
    const double previous = median(start.previous);
    std::snprintf(line, sizeof line, "%.0f ms vs floor %.0f ms: ratio %.2f", previous, floor, previous / floor);
    row("Start through the previous launcher vs the floor, same rounds", "-");
  }
  std::snprintf(line, sizeof line, "%.0f ms vs direct %.0f ms: ratio %.2f", launcher, direct, launcher / direct);
  row("Start through the launcher vs direct (medians)", "about 2: one more process");

  const Handoff handoff = measure_handoff(9);
  std::snprintf(line, sizeof line, "median %.0f ms, max %.0f ms", median(handoff.to_lock), max_of(handoff.to_lock));
  row("Hand-off, the launcher's part: removal to lock taken", "median < 60 ms, max < 120 ms");
  std::snprintf(line, sizeof line, "median %.0f ms, max %.0f ms", median(handoff.lock_to_application),
                max_of(handoff.lock_to_application));
  row("Hand-off, then the process start: lock to application", "-");

  Burst largest{};
  for (int n : {2, 4, 8, 16}) {
    largest = measure_burst(n);
    std::snprintf(line, sizeof line, "%zu starts, smallest gap %.0f ms, total %.1f s, %d lock left",
                  largest.starts_ms.size(), largest.smallest_gap_ms, largest.total_ms / 1000, largest.lock_left ? 1 : 0);
    row("Burst of " + std::to_string(n), "gap >= 3000 ms, 0 left");
  }

  const Burst session_burst = measure_burst(8, true);
  std::snprintf(line, sizeof line, "%zu starts, smallest gap %.0f ms, total %.1f s, folder %s",
                session_burst.starts_ms.size(), session_burst.smallest_gap_ms, session_burst.total_ms / 1000,
                session_burst.lock_left ? "changed" : "kept");
  row("Burst of 8 where no lock file can be had (in the session)", "gap >= 3000 ms, folder kept");

  write_file(std::wstring(out) + L"\\results.md", table);
  write_file(std::wstring(out) + L"\\burst16.svg", svg_timeline(largest));
  return 0;
}
