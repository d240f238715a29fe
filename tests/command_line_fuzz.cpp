// libFuzzer target over the command-line derivations: the input, read as UTF-16 code units up to the first zero
// unit, is the command line.
#include "command_line.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void require(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring line;
  for (std::size_t i = 0; i + 1 < size && (data[i] | data[i + 1]) != 0; i += 2) {
    line.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8));
  }
  const std::wstring own_file = L"D:\\own\\start.exe";

  const quorventine::Text arguments = quorventine::argument_text(line);
  // The argument text is a suffix of the command line and never starts with a blank.
  require(arguments.size() <= line.size());
  require(line.compare(line.size() - arguments.size(), std::wstring::npos, arguments) == 0);
  require(arguments.empty() || arguments[0] > L' ');

  const quorventine::Text program(line.data(), line.size() - arguments.size());
  // Joined into a heap buffer of exactly the length reported (AddressSanitizer sees one unit more), the two parts
  // give the command line back.
  std::vector<wchar_t> joined(quorventine::joined_length({program, arguments}) + 1, L'x');
  quorventine::join({program, arguments}, joined.data());
  require(line.compare(0, std::wstring::npos, joined.data(), joined.size() - 1) == 0 && joined.back() == L'\0');
  const auto install = quorventine::install_directory(line, arguments, own_file);
  if (program.find(L'\\') == quorventine::Text::npos) {
    require(install == L"D:\\own");
    return 0;
  }
  require(install.has_value() == (program.rfind(L'\\') != 0));
  if (!install) return 0;
  // The install directory is a prefix of the program part, less an opening quote, and ends at a backslash.
  const std::size_t start = program[0] == L'"' ? 1 : 0;
  require(program.compare(start, install->size(), *install) == 0);
  require(program.size() > start + install->size() && program[start + install->size()] == L'\\');
  return 0;
}
