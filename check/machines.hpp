// Whether this Windows runs programs built for a machine, decided from what the system itself answers, without
// platform calls: what only some Windows give (GetMachineTypeAttributes on Windows 11, IsWow64Process2 from Windows 10
// 1709 on) is tested natively, and a probe that does not start where its machine runs is a fault of the file, never a
// reason to skip.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorventine::check {

enum Architecture { x86, x64, arm64, architectures };

// IMAGE_FILE_MACHINE_* and PROCESSOR_ARCHITECTURE_*, as winnt.h numbers them.
inline constexpr std::uint16_t machine_number[architectures] = {0x014c, 0x8664, 0xAA64};
inline constexpr std::uint16_t processor_architecture[architectures] = {0, 9, 12};
inline constexpr const char* machine_name[architectures] = {"x86", "x64", "ARM64"};

struct SystemAnswers {
  // GetMachineTypeAttributes's bits for each machine (1: user-mode programs run); none where this Windows lacks it.
  std::optional<std::uint32_t> machine_attributes[architectures];
  std::optional<std::uint16_t> native_machine;  // IsWow64Process2's, where this Windows has it
  std::uint16_t processor = 0;                  // GetNativeSystemInfo's processor architecture
};

// Why this Windows runs no programs of that machine, from the first system answer that it gives; empty where it runs
// them. The check is an x86 program, so x86 always runs. Without GetMachineTypeAttributes, an ARM64 Windows is
// Windows 10, which runs no x64 programs.
[[nodiscard]] inline std::string cannot_run(Architecture machine, const SystemAnswers& answers) {
  if (machine == x86) return "";
  const std::string none = std::string("this Windows runs no ") + machine_name[machine] + " programs (";
  if (const auto& attributes = answers.machine_attributes[machine]) {
    return (*attributes & 1) != 0 ? "" : none + "GetMachineTypeAttributes says so)";
  }
  if (answers.native_machine) {
    return *answers.native_machine == machine_number[machine] ? "" : none + "IsWow64Process2 gives another native machine)";
  }
  return answers.processor == processor_architecture[machine] ? "" : none + "GetNativeSystemInfo gives another processor)";
}

}  // namespace quorventine::check
