// Runs the launcher of a demo install tree with an exact command line, as the shell would, and shows what the
// application received.
#include <windows.h>

#include <cstdio>
#include <string>

#include "record.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: run_demo <install directory>\n");
    return 2;
  }
  char full[MAX_PATH];
  GetFullPathNameA(argv[1], MAX_PATH, full, nullptr);
  const std::string install = full;
  const std::string launcher = install + "\\quorventine.exe";
  std::string command_line = "\"" + launcher + "\" report.txt --title \"Q3 figures\" C:\\data\\";

  std::printf("launcher command line:  %s\n", command_line.c_str());
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const ULONGLONG started = GetTickCount64();
  if (!CreateProcessA(launcher.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::printf("could not start the launcher (error %lu)\n", GetLastError());
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.hProcess, &exit_code);
  std::printf("launcher exit code:     %lu, after %llu ms (it holds the launch lock 3 s)\n", exit_code,
              GetTickCount64() - started);

  for (const quorventine::Record& record : quorventine::read_records(install)) {
    std::printf("application received:\n");
    std::printf("  command line:         %s\n", record.command_line.c_str());
    std::printf("  PATH begins:          %.120s%s\n", record.path.c_str(), record.path.size() > 120 ? "..." : "");
    std::printf("  current directory:    %s\n", record.current_directory.c_str());
  }
  return exit_code == 0 ? 0 : 1;
}
