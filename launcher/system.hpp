// What the launch sequence, the own-file check and the launch lock share of Windows.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "command_line.hpp"
#include "file_identity.hpp"

namespace quorventine {

// Room for a text of this many units and its terminator, on the process heap. Texts are never freed: they live
// until the process ends, a moment after the start. Every text is made before the lock is taken, so when memory
// cannot be had the launch ends here with 1: nothing started, nothing held.
[[nodiscard]] wchar_t* new_text(std::size_t length);

// A text up to its terminating zero. Counted here: the runtime's wcslen would be the launcher's only import from a
// DLL other than kernel32.dll.
[[nodiscard]] Text up_to_zero(const wchar_t* text);

// The parts one after another in a text of their exact length.
[[nodiscard]] wchar_t* joined(std::initializer_list<Text> parts);

// Windows hands 64-bit numbers (file indexes, sizes, times) over in two 32-bit halves.
[[nodiscard]] inline std::uint64_t joined_halves(DWORD high, DWORD low) { return std::uint64_t{high} << 32 | low; }

// False where the file cannot be opened, or its file system does not tell it apart from others.
[[nodiscard]] bool identify(const wchar_t* path, FileIdentity& identity);

// A function that kernel32.dll of Windows XP lacks, or one of ntdll.dll (loaded in every process, and never imported
// here), looked up at run time: importing it would keep XP from loading the launcher at all, or add a DLL. Null where
// this Windows has none.
template <typename Function>
[[nodiscard]] Function system_function(const wchar_t* module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(module), name)));
}

template <typename Function>
[[nodiscard]] Function kernel32_function(const char* name) {
  return system_function<Function>(L"kernel32.dll", name);
}

}  // namespace quorventine
