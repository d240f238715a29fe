#include "command_line.hpp"

#include <cstdint>

namespace quorventine {

namespace {

// Code units are compared unsigned: wchar_t is signed where the native tests run. In UTF-16 no unit of another
// character can pass for a quote, a slash, a backslash or a blank.
[[nodiscard]] bool is_blank(wchar_t unit) { return static_cast<std::uint32_t>(unit) <= L' '; }

[[nodiscard]] std::optional<Text> directory_of(Text path) {
  const std::size_t separator = path.rfind(L'\\');
  if (separator == Text::npos) return std::nullopt;
  return Text(path.data(), separator);
}

// Where the program's path may end, scanning from `from` (which stands outside quotes): at the first blank or
// control character outside quotes, or at the end of the line.
[[nodiscard]] std::size_t path_end(Text command_line, std::size_t from) {
  std::size_t i = from;
  for (bool in_quotes = false; i < command_line.size() && (in_quotes || !is_blank(command_line[i])); ++i) {
    if (command_line[i] == L'"') in_quotes = !in_quotes;
  }
  return i;
}

[[nodiscard]] std::size_t blanks_end(Text command_line, std::size_t at) {
  while (at < command_line.size() && is_blank(command_line[at])) ++at;
  return at;
}

// Part of a written path as Windows reads it, into out, which holds written.size() units; returns how many it wrote.
[[nodiscard]] std::size_t read_path(Text written, wchar_t* out) {
  std::size_t length = 0;
  for (const wchar_t unit : written) {
    if (unit != L'"') out[length++] = unit == L'/' ? L'\\' : unit;
  }
  return length;
}

}  // namespace

PathEnd first_path_end(Text command_line, wchar_t* room) {
  const std::size_t end = path_end(command_line, 0);
  return {end, read_path(Text(command_line.data(), end), room)};
}

bool next_path_end(Text command_line, PathEnd& at, wchar_t* room) {
  const bool quoted = !command_line.empty() && command_line[0] == L'"';
  if (quoted || at.end == command_line.size()) return false;
  const std::size_t from = at.end;
  at.end = path_end(command_line, blanks_end(command_line, from));
  at.length += read_path(Text(command_line.data() + from, at.end - from), room + at.length);
  return true;
}

Text arguments_after(Text command_line, std::size_t end) {
  command_line.remove_prefix(blanks_end(command_line, end));
  return command_line;
}

bool lacks_extension(Text path) {
  const std::size_t separator = path.rfind(L'\\');
  return path.find(L'.', separator == Text::npos ? 0 : separator + 1) == Text::npos;
}

bool is_own_file_text(Text path, Text own_file) {
  if (own_file.size() < path.size() || Text(own_file.data(), path.size()) != path) return false;
  const Text added(own_file.data() + path.size(), own_file.size() - path.size());
  return added.empty() || (lacks_extension(path) && added == program_extension);
}

std::optional<Text> install_directory(Text written_path, bool names_own_file, Text own_file) {
  const bool written_path_counts = names_own_file || own_file.empty();
  if (written_path_counts) {
    if (const std::optional<Text> directory = directory_of(written_path)) return directory;
  }
  return directory_of(own_file);
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
