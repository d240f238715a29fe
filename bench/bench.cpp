// Measures the launcher against its floor, under Wine: start overhead against starting the application
// directly, the hand-off when a lock is removed, and bursts of launchers. Writes a Markdown table and an SVG
// timeline of the 16-launcher burst. (Wine reports no CPU times for other processes, so tools/bench.sh
// measures the CPU of a waiting launcher from the Linux side.)
//
// usage: bench <output directory>   (QV_LAUNCHER and QV_PROBE name the launcher and the sample application)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "harness.hpp"
#include "record.hpp"

namespace {

using quorventine::now;
using quorventine::ticks_per_ms;

const std::string launcher_exe = quorventine::full_path_from_environment("QV_LAUNCHER");
const std::string probe_exe = quorventine::full_path_from_environment("QV_PROBE");
const std::string root = "Q:\\bench";

[[nodiscard]] double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

[[nodiscard]] std::string fresh_install(const std::string& name) {
  static int serial = 0;
  const std::string dir = root + "\\" + name + "-" + std::to_string(++serial);
  if (!quorventine::make_install(dir, launcher_exe, probe_exe)) std::fprintf(stderr, "cannot make %s\n", dir.c_str());
  return dir;
}

// Milliseconds from the CreateProcessA call to the application's main function.
[[nodiscard]] double time_to_application(const std::string& executable, const std::string& install) {
  const ULONGLONG called = now();
  quorventine::finish(quorventine::start_process(executable, "\"" + executable + "\" x", install));
  const std::vector<quorventine::Record> records = quorventine::read_records(install);
  return records.empty() ? -1 : static_cast<double>(records.back().entered - called) / ticks_per_ms;
}

struct Overhead {
  double launcher_ms, direct_ms;
};

[[nodiscard]] Overhead measure_overhead(int pairs) {
  std::vector<double> through_launcher, direct;
  for (int i = -1; i < pairs; ++i) {  // the first pair warms the caches and is not counted
    const std::string install = fresh_install("overhead");
    const double launched = time_to_application(install + "\\start.exe", install);
    const double started = time_to_application(install + "\\bin\\quorventine.exe", install);
    if (i >= 0) {
      through_launcher.push_back(launched);
      direct.push_back(started);
    }
  }
  return {median(through_launcher), median(direct)};
}

struct Handoff {
  std::vector<double> to_lock, to_application;  // ms after the removal
};

// Removal of a lock file while a launcher waits, at a different phase of its 100 ms poll each round. The
// launcher's own part ends when it has taken the lock; the start of the application follows.
[[nodiscard]] Handoff measure_handoff(int rounds) {
  Handoff handoff;
  for (int i = 0; i < rounds; ++i) {
    const std::string install = fresh_install("handoff");
    const std::string lock = install + "\\quorventine.lock";
    CloseHandle(CreateFileA(lock.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    HANDLE launcher = quorventine::start_process(install + "\\start.exe", "\"" + install + "\\start.exe\"", install);
    Sleep(static_cast<DWORD>(700 + 100 * i / rounds));
    if (!quorventine::delete_by_hand(lock)) continue;
    const ULONGLONG removed = now();
    for (int waited = 0; !quorventine::exists(lock) && waited < 5000; ++waited) Sleep(1);
    const ULONGLONG retaken = now();
    quorventine::finish(launcher);
    const std::vector<quorventine::Record> records = quorventine::read_records(install);
    if (records.empty()) continue;
    handoff.to_lock.push_back(static_cast<double>(retaken - removed) / ticks_per_ms);
    handoff.to_application.push_back(static_cast<double>(records[0].created - removed) / ticks_per_ms);
  }
  return handoff;
}

struct Burst {
  int launchers;
  std::vector<double> starts_ms;  // after the first start
  double smallest_gap_ms, total_ms;
  bool lock_left;
};

[[nodiscard]] Burst measure_burst(int n) {
  const std::string install = fresh_install("burst" + std::to_string(n));
  const std::string command_line = "\"" + install + "\\start.exe\"";
  const ULONGLONG began = now();
  std::vector<HANDLE> launchers;
  for (int i = 0; i < n; ++i) launchers.push_back(quorventine::start_process(install + "\\start.exe", command_line, install));
  for (HANDLE launcher : launchers) quorventine::finish(launcher);
  Burst burst{n, {}, 1e9, static_cast<double>(now() - began) / ticks_per_ms, quorventine::exists(install + "\\quorventine.lock")};
  const std::vector<quorventine::Record> records = quorventine::read_records(install);
  for (const quorventine::Record& record : records) {
    burst.starts_ms.push_back(static_cast<double>(record.created - records[0].created) / ticks_per_ms);
  }
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

void write_file(const std::string& path, const std::string& text) {
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench <output directory>\n");
    return 2;
  }
  char out_path[MAX_PATH] = {};
  GetFullPathNameA(argv[1], MAX_PATH, out_path, nullptr);
  const std::string out = out_path;
  CreateDirectoryA(root.c_str(), nullptr);
  char line[512];
  std::string table = "| Measure | Result | Goal |\n|---|---|---|\n";
  auto row = [&](const char* measure, const std::string& result, const char* goal) {
    table += std::string("| ") + measure + " | " + result + " | " + goal + " |\n";
    std::printf("%-44s %-40s %s\n", measure, result.c_str(), goal);
    std::fflush(stdout);
  };

  const Overhead overhead = measure_overhead(7);
  std::snprintf(line, sizeof line, "%.0f ms vs %.0f ms direct: ratio %.2f", overhead.launcher_ms, overhead.direct_ms,
                overhead.launcher_ms / overhead.direct_ms);
  row("Start overhead (median of 7 pairs)", line, "ratio <= 2.3 (floor about 2)");

  const Handoff handoff = measure_handoff(9);
  for (const auto& [measure, values] : {std::pair{"Hand-off: removal to lock taken (9 rounds)", handoff.to_lock},
                                        std::pair{"Hand-off: removal to application start", handoff.to_application}}) {
    std::snprintf(line, sizeof line, "median %.0f ms, max %.0f ms", median(values),
                  values.empty() ? 0 : *std::max_element(values.begin(), values.end()));
    row(measure, line, "median < 60 ms, max < 120 ms");
  }

  Burst largest{};
  for (int n : {2, 4, 8, 16}) {
    largest = measure_burst(n);
    std::snprintf(line, sizeof line, "%zu starts, smallest gap %.0f ms, total %.1f s, %d lock left",
                  largest.starts_ms.size(), largest.smallest_gap_ms, largest.total_ms / 1000, largest.lock_left ? 1 : 0);
    row(("Burst of " + std::to_string(n)).c_str(), line, "gap >= 3000 ms, 0 left");
  }

  write_file(out + "\\results.md", table);
  write_file(out + "\\burst16.svg", svg_timeline(largest));
  return 0;
}
