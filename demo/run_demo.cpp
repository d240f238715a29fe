// Runs the launcher of a demo install tree with an exact command line, as the shell would, and shows what the
// application received.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.hpp"
#include "record.hpp"

namespace {

// Shown in UTF-8, whatever the code page: the texts hold characters that no ANSI code page has together.
void show(const char* label, const std::wstring& text) {
  std::printf("%-24s%s\n", label, quorventine::to_code_page(CP_UTF8, text).c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: run_demo <install directory>\n");
    return 2;
  }
  wchar_t cwd[MAX_PATH] = {}, full[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, cwd);
  GetFullPathNameW(argv[1], MAX_PATH, full, nullptr);
  const std::wstring install = full;
  const std::wstring launcher = install + L"\\quorventine.exe";
  const std::wstring arguments =
      L"report.txt --title \"Q3 figures\" Z\u00FCrich \u0141\u00F3d\u017A \u6771\u4EAC C:\\data\\";
  show("install directory:", install);

  // Two launches made together, as when two documents are opened at once: the path quoted, as the shell writes it,
  // and unquoted, as a registry entry may have it, though the install directory's name holds blanks. Both start the
  // application beside the launcher with the same arguments, the second 3 s after the first.
  std::vector<HANDLE> launchers;
  for (const std::wstring& command_line : {L"\"" + launcher + L"\" " + arguments, launcher + L" " + arguments}) {
    show("launcher command line:", command_line);
    launchers.push_back(quorventine::start_process(launcher, command_line, cwd));
    if (launchers.back() == nullptr) {
      std::printf("could not start the launcher (error %lu)\n", GetLastError());
      return 1;
    }
  }
  DWORD exit_code = 0;
  for (HANDLE process : launchers) {
    const quorventine::Outcome outcome = quorventine::finish(process);
    std::printf("launcher exit code:     %lu, after %.1f s (its turn, then its 3 s hold)\n", outcome.exit_code,
                outcome.run_ms / 1000.0);
    exit_code |= outcome.exit_code;
  }
  const std::vector<quorventine::Record> records = quorventine::read_records(install);
  for (const quorventine::Record& record : records) {
    std::printf("\napplication started %.1f s after the first, and received:\n",
                static_cast<double>(record.created - records[0].created) / (1000.0 * quorventine::ticks_per_ms));
    show("  command line:", record.command_line);
    show("  PATH begins:", record.path.substr(0, 120) + (record.path.size() > 120 ? L"..." : L""));
    show("  current directory:", record.current_directory);
    show("  library loaded:", record.library.empty() ? L"(none found)" : record.library);
  }
  return exit_code == 0 ? 0 : 1;
}
