// What the probe received, as it writes it to <install>\records\<process id>.rec: eleven fields, each
// ended by a zero byte. The command line as the ANSI API gives it comes as it is, byte for byte; the wide texts
// come in UTF-8, which holds any of them, and the two times in hex.
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
  std::string ansi_command_line;  // GetCommandLineA
  std::wstring command_line;      // GetCommandLineW
  std::wstring path;
  std::wstring current_directory;
  std::uint64_t created = 0;  // process creation time, in 100 ns units of the system clock
  std::uint64_t entered = 0;  // when its code began to run, same units
  std::wstring library;       // the file it got when it loaded its library by name; empty: none found
  // What Windows tells a program of its own kind: a 64-bit one sees its own architecture and its own Program Files.
  std::wstring architecture;  // PROCESSOR_ARCHITECTURE
  std::wstring program_files, program_w6432;
  std::string version;  // the version of the application that the probe stands for; empty for the check's own
};

[[nodiscard]] inline std::string to_code_page(UINT code_page, const std::wstring& wide) {
  const int size = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size, nullptr, nullptr);
  return text;
}

[[nodiscard]] inline std::wstring from_code_page(UINT code_page, const std::string& text) {
  const int size = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

[[nodiscard]] inline std::string read_file(const std::wstring& path) {
  std::string content;
  if (std::FILE* file = _wfopen(path.c_str(), L"rb")) {
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
  fields.resize(11);
  const auto wide = [&](std::size_t i) { return from_code_page(CP_UTF8, fields[i]); };
  return {fields[0], wide(1), wide(2), wide(3), std::strtoull(fields[4].c_str(), nullptr, 16),
          std::strtoull(fields[5].c_str(), nullptr, 16), wide(6), wide(7), wide(8), wide(9), fields[10]};
}

// Every record under an install directory, oldest process first.
[[nodiscard]] inline std::vector<Record> read_records(const std::wstring& install_dir) {
  std::vector<Record> records;
  WIN32_FIND_DATAW found;
  const std::wstring folder = install_dir + L"\\records\\";
  HANDLE search = FindFirstFileW((folder + L"*.rec").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return records;
  do {
    records.push_back(parse_record(read_file(folder + found.cFileName)));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) { return a.created < b.created; });
  return records;
}

}  // namespace quorventine
