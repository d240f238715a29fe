// What the sample application received, as it writes it to <install>\records\<process id>.rec: five fields,
// each ended by a zero byte, so that any byte of a command line survives.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace quorventine {

struct Record {
  std::string command_line;
  std::string path;               // PATH as the application saw it, in the ANSI code page
  std::string current_directory;
  std::uint64_t created = 0;      // process creation time, in 100 ns units of the system clock
  std::uint64_t entered = 0;      // when its main function began, same units
};

[[nodiscard]] inline std::string read_file(const std::string& path) {
  std::string content;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) content.append(buffer, n);
    std::fclose(file);
  }
  return content;
}

[[nodiscard]] inline Record parse_record(const std::string& content) {
  std::vector<std::string> fields;
  for (std::size_t start = 0, end; (end = content.find('\0', start)) != std::string::npos; start = end + 1) {
    fields.push_back(content.substr(start, end - start));
  }
  fields.resize(5);
  return {fields[0], fields[1], fields[2], std::strtoull(fields[3].c_str(), nullptr, 10),
          std::strtoull(fields[4].c_str(), nullptr, 10)};
}

// Every record under an install directory, oldest process first.
[[nodiscard]] inline std::vector<Record> read_records(const std::string& install_dir) {
  std::vector<Record> records;
  WIN32_FIND_DATAA found;
  const std::string folder = install_dir + "\\records\\";
  HANDLE search = FindFirstFileA((folder + "*.rec").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return records;
  do {
    records.push_back(parse_record(read_file(folder + found.cFileName)));
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) { return a.created < b.created; });
  return records;
}

}  // namespace quorventine
