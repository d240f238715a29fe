// Whether two paths name one file, decided from what Windows reports of each, without platform calls: what only
// other file systems show (no stable file IDs, a 64-bit index cut from a longer one) is tested natively.
#pragma once

#include <cstdint>

namespace quorventine {

// What GetFileInformationByHandle reports of a file that is the same through every name of it.
struct FileIdentity {
  std::uint32_t volume_serial;
  std::uint64_t index, size, created, last_written;
};

// A file system without stable file IDs reports 0, and all ones for a file that has no unique ID; both must be
// ignored. Such an index says nothing about which file it is.
[[nodiscard]] constexpr bool identifies(const FileIdentity& file) {
  return file.index != 0 && file.index != ~std::uint64_t{0};
}

// The volume and the index alone are not enough: on ReFS the 64-bit index is only part of a 128-bit one and not
// guaranteed unique, and some user-mode file systems make it up. Size and times come in the same record, and every
// name of one file reports the same ones, so two files that differ in any of them are two.
[[nodiscard]] constexpr bool same_file(const FileIdentity& a, const FileIdentity& b) {
  return identifies(a) && identifies(b) && a.volume_serial == b.volume_serial && a.index == b.index &&
         a.size == b.size && a.created == b.created && a.last_written == b.last_written;
}

}  // namespace quorventine
