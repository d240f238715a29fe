// libFuzzer target over the command-line derivations: the input, read as UTF-16 code units up to the first zero
// unit, is the command line.
#include "command_line.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void require(bool holds) { if (!holds) std::abort(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring line;
  for (std::size_t i = 0; i + 1 < size && (data[i] | data[i + 1]) != 0; i += 2) {
    line.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8));
  }

  // Every place the launcher's path may end, as the search over an unquoted path's blanks visits them (each
  // further on, or the fuzzer reports a hang), each followed by arguments that are a suffix of the line and never
  // start with a blank. Read into a heap buffer of exactly the line's length (AddressSanitizer sees past it), the
  // path loses its quotes and turns its slashes, and nothing else.
  std::vector<wchar_t> room(line.size());
  quorventine::PathEnd at = quorventine::first_path_end(line, room.data());
  for (std::size_t ends = 1;; ++ends) {
    require(ends <= line.size() + 1);
    const quorventine::Text arguments = quorventine::arguments_after(line, at.end);
    require(line.compare(line.size() - arguments.size(), std::wstring::npos, arguments) == 0);
    require(arguments.empty() || arguments[0] > L' ');
    const quorventine::Text written(room.data(), at.length);
    require(at.length == at.end - static_cast<std::size_t>(std::count(line.begin(), line.begin() + at.end, L'"')));
    require(written.find_first_of(L"\"/") == quorventine::Text::npos);
    // Joined into a heap buffer of exactly the length reported, the texts the launcher hands on come out whole.
    const auto install = quorventine::install_directory(written, true, L"D:\\own\\start.exe");
    std::vector<wchar_t> joined(quorventine::joined_length({*install, L"\\bin", arguments}) + 1, L'x');
    quorventine::join({*install, L"\\bin", arguments}, joined.data());
    require(std::wstring(joined.data()) == std::wstring(*install) + L"\\bin" + std::wstring(arguments));
    const std::size_t end = at.end;
    if (!quorventine::next_path_end(line, at, room.data())) break;
    require(at.end > end);
  }
  return 0;
}
