#include "command_line.hpp"

#include <cstdint>

namespace quorventine {

namespace {

// Code units are compared unsigned: wchar_t is signed where the native tests run.
[[nodiscard]] bool is_blank(wchar_t unit) { return static_cast<std::uint32_t>(unit) <= L' '; }

}  // namespace

Text argument_text(Text command_line) {
  // The program's path ends at the first blank or control character outside quotes. In UTF-16 no unit of
  // another character can pass for a quote, a backslash or a blank.
  std::size_t i = 0;
  for (bool in_quotes = false; i < command_line.size() && (in_quotes || !is_blank(command_line[i])); ++i) {
    if (command_line[i] == L'"') in_quotes = !in_quotes;
  }
  while (i < command_line.size() && is_blank(command_line[i])) ++i;
  command_line.remove_prefix(i);
  return command_line;
}

std::optional<Text> install_directory(Text command_line, Text arguments, Text own_file) {
  if (arguments.size() > command_line.size()) return std::nullopt;
  const Text program(command_line.data(), command_line.size() - arguments.size());
  const std::size_t separator = program.rfind(L'\\');
  if (separator == Text::npos) {
    const std::size_t own_separator = own_file.rfind(L'\\');
    if (own_separator == Text::npos) return std::nullopt;
    return Text(own_file.data(), own_separator);
  }
  if (separator == 0) return std::nullopt;
  // Only a quote may go: the first character of an unquoted path is part of the directory (a drive letter).
  const std::size_t start = program[0] == L'"' ? 1 : 0;
  return Text(program.data() + start, separator - start);
}

std::size_t joined_length(std::initializer_list<Text> parts) {
  std::size_t length = 0;
  for (const Text part : parts) length += part.size();
  return length;
}

void join(std::initializer_list<Text> parts, wchar_t* out) {
  for (const Text part : parts) {
    for (const wchar_t unit : part) *out++ = unit;
  }
  *out = L'\0';
}

}  // namespace quorventine
