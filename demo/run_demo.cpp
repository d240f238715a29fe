// Runs the launcher of a demo install tree with an exact command line, as the shell would, and shows what the
// application received.
#include <windows.h>

#include <cstdio>
#include <string>

#include "harness.hpp"
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
  char cwd[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, cwd);
  HANDLE process = quorventine::start_process(launcher, command_line, cwd);
  if (process == nullptr) {
    std::printf("could not start the launcher (error %lu)\n", GetLastError());
    return 1;
  }
  const quorventine::Outcome outcome = quorventine::finish(process);
  std::printf("launcher exit code:     %lu, after %llu ms (it holds the launch lock 3 s)\n", outcome.exit_code,
              outcome.run_ms);

  for (const quorventine::Record& record : quorventine::read_records(install)) {
    std::printf("application received:\n");
    std::printf("  command line:         %s\n", record.command_line.c_str());
    std::printf("  PATH begins:          %.120s%s\n", record.path.c_str(), record.path.size() > 120 ? "..." : "");
    std::printf("  current directory:    %s\n", record.current_directory.c_str());
  }
  return outcome.exit_code == 0 ? 0 : 1;
}
