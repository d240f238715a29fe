// Text derivations from the launcher's own command line. Pure byte-string work: no platform calls, so they
// build and are tested natively as well as on Windows.
#pragma once

#include <bitset>
#include <cstddef>
#include <optional>
#include <string>

namespace quorventine {

// Bytes that open a double-byte character in the ANSI code page in force.
using LeadBytes = std::bitset<256>;

// Lead-byte set from the (first, last) range pairs that GetCPInfo reports, which end at a zero pair.
[[nodiscard]] LeadBytes lead_bytes_from_ranges(const unsigned char* ranges, std::size_t count);

// The tail of the command line after the program's path and the white space behind it, unchanged.
[[nodiscard]] std::string argument_text(const std::string& command_line, const LeadBytes& lead_bytes);

// The directory of the program's path as written on the command line, without an opening quote; nothing when
// the path has no directory part.
[[nodiscard]] std::optional<std::string> install_directory(const std::string& command_line,
                                                           const std::string& arguments,
                                                           const LeadBytes& lead_bytes);

[[nodiscard]] std::string target_path(const std::string& install_dir);
[[nodiscard]] std::string child_command_line(const std::string& target, const std::string& arguments);
[[nodiscard]] std::string new_path_value(const std::string& install_dir, const std::string& old_path);
[[nodiscard]] std::string lock_path(const std::string& install_dir);

}  // namespace quorventine
