// libFuzzer target over the command-line derivations. The first byte picks the lead-byte set (none, code
// page 932, every byte from 128 up); the rest is the command line, up to its first zero byte.
#include "command_line.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void require(bool holds) {
  if (!holds) std::abort();
}

[[nodiscard]] quorventine::LeadBytes lead_bytes(std::uint8_t choice) {
  static const unsigned char cp932[] = {0x81, 0x9F, 0xE0, 0xFC, 0, 0};
  static const unsigned char high[] = {0x80, 0xFF, 0, 0};
  switch (choice % 3) {
    case 1: return quorventine::lead_bytes_from_ranges(cp932, sizeof cp932);
    case 2: return quorventine::lead_bytes_from_ranges(high, sizeof high);
    default: return {};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const quorventine::LeadBytes lead = lead_bytes(data[0]);
  std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
  line.resize(line.find('\0') == std::string::npos ? line.size() : line.find('\0'));

  const std::string arguments = quorventine::argument_text(line, lead);
  // The argument text is a suffix of the command line and never starts with a blank.
  require(arguments.size() <= line.size());
  require(line.compare(line.size() - arguments.size(), std::string::npos, arguments) == 0);
  require(arguments.empty() || static_cast<unsigned char>(arguments[0]) > ' ');

  const auto install = quorventine::install_directory(line, arguments, lead);
  if (!install) return 0;
  // The install directory is a prefix of the program part, less an opening quote, and ends at a backslash.
  const std::string program = line.substr(0, line.size() - arguments.size());
  const std::size_t start = program[0] == '"' ? 1 : 0;
  require(program.compare(start, install->size(), *install) == 0);
  require(program.size() > start + install->size() && program[start + install->size()] == '\\');

  const std::string child = quorventine::child_command_line(quorventine::target_path(*install), arguments);
  require(child == "\"" + *install + "\\bin\\quorventine.exe\" " + arguments);
  require(quorventine::new_path_value(*install, line).size() == install->size() + 5 + line.size());
  return 0;
}
