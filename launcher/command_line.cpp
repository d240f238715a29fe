#include "command_line.hpp"

namespace quorventine {

namespace {

[[nodiscard]] bool is_lead_byte(const LeadBytes& lead_bytes, char byte) {
  return lead_bytes.test(static_cast<unsigned char>(byte));
}

// Position of the last backslash that is a separator, found by a forward scan: only a scan from the start can
// tell a trail byte of value 0x5C (valid in code page 932) from a real backslash.
[[nodiscard]] std::optional<std::size_t> last_separator(const std::string& text, const LeadBytes& lead_bytes) {
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (is_lead_byte(lead_bytes, text[i]) && i + 1 < text.size()) {
      ++i;
    } else if (text[i] == '\\') {
      found = i;
    }
  }
  return found;
}

}  // namespace

LeadBytes lead_bytes_from_ranges(const unsigned char* ranges, std::size_t count) {
  LeadBytes lead_bytes;
  for (std::size_t i = 0; i + 1 < count && ranges[i] != 0; i += 2) {
    for (unsigned byte = ranges[i]; byte <= ranges[i + 1]; ++byte) lead_bytes.set(byte);
  }
  return lead_bytes;
}

std::string argument_text(const std::string& command_line, const LeadBytes& lead_bytes) {
  // The program's path ends at the first white space or control byte outside quotes. Bytes are unsigned, so
  // bytes from 128 up never end it, and the byte after a lead byte is skipped unseen.
  std::size_t i = 0;
  bool in_quotes = false;
  while (i < command_line.size()) {
    const auto byte = static_cast<unsigned char>(command_line[i]);
    if (byte <= ' ' && !in_quotes) break;
    if (byte == '"') {
      in_quotes = !in_quotes;
    } else if (lead_bytes.test(byte) && i + 1 < command_line.size()) {
      ++i;
    }
    ++i;
  }
  while (i < command_line.size() && static_cast<unsigned char>(command_line[i]) <= ' ') ++i;
  return command_line.substr(i);
}

std::optional<std::string> install_directory(const std::string& command_line, const std::string& arguments,
                                             const LeadBytes& lead_bytes) {
  if (arguments.size() > command_line.size()) return std::nullopt;
  const std::string program = command_line.substr(0, command_line.size() - arguments.size());
  const auto separator = last_separator(program, lead_bytes);
  if (!separator || *separator == 0) return std::nullopt;
  // Only a quote may go: the first byte of an unquoted path is part of the directory (a drive letter).
  const std::size_t start = program[0] == '"' ? 1 : 0;
  return program.substr(start, *separator - start);
}

std::string target_path(const std::string& install_dir) { return install_dir + "\\bin\\quorventine.exe"; }

std::string child_command_line(const std::string& target, const std::string& arguments) {
  return "\"" + target + "\" " + arguments;
}

std::string new_path_value(const std::string& install_dir, const std::string& old_path) {
  return install_dir + "\\lib;" + old_path;
}

std::string lock_path(const std::string& install_dir) { return install_dir + "\\quorventine.lock"; }

}  // namespace quorventine
