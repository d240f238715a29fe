#include "command_line.hpp"

#include <cstdint>

namespace quorventine {

namespace {

// Code units are compared unsigned: wchar_t is signed where the native tests run.
[[nodiscard]] bool is_blank(wchar_t unit) { return static_cast<std::uint32_t>(unit) <= L' '; }

}  // namespace

std::wstring argument_text(const std::wstring& command_line) {
  // The program's path ends at the first blank or control character outside quotes. In UTF-16 no unit of
  // another character can pass for a quote, a backslash or a blank.
  std::size_t i = 0;
  for (bool in_quotes = false; i < command_line.size() && (in_quotes || !is_blank(command_line[i])); ++i) {
    if (command_line[i] == L'"') in_quotes = !in_quotes;
  }
  while (i < command_line.size() && is_blank(command_line[i])) ++i;
  return command_line.substr(i);
}

std::optional<std::wstring> install_directory(const std::wstring& command_line, const std::wstring& arguments,
                                              const std::wstring& own_file) {
  if (arguments.size() > command_line.size()) return std::nullopt;
  const std::wstring program = command_line.substr(0, command_line.size() - arguments.size());
  const std::size_t separator = program.rfind(L'\\');
  if (separator == std::wstring::npos) {
    const std::size_t own_separator = own_file.rfind(L'\\');
    if (own_separator == std::wstring::npos) return std::nullopt;
    return own_file.substr(0, own_separator);
  }
  if (separator == 0) return std::nullopt;
  // Only a quote may go: the first character of an unquoted path is part of the directory (a drive letter).
  const std::size_t start = program[0] == L'"' ? 1 : 0;
  return program.substr(start, separator - start);
}

std::wstring target_path(const std::wstring& install_dir) { return install_dir + L"\\bin\\quorventine.exe"; }

std::wstring child_command_line(const std::wstring& target, const std::wstring& arguments) {
  return L"\"" + target + L"\" " + arguments;
}

std::wstring new_path_value(const std::wstring& install_dir, const std::wstring& old_path) {
  return install_dir + L"\\lib;" + old_path;
}

std::wstring lock_path(const std::wstring& install_dir) { return install_dir + L"\\quorventine.lock"; }

}  // namespace quorventine
