// The quorventine launcher: starts <install>\bin\quorventine.exe with this program's own arguments and
// <install>\lib in front of PATH, spacing launches made at nearly the same time 3 s apart. It shows nothing;
// the exit code says whether the application was started (0) or not (1).
#include <windows.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "command_line.hpp"
#include "launch_lock.hpp"

namespace {

using quorventine::LeadBytes;

static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOA) == 68, "the 32-bit start-up record is 68 bytes");

[[nodiscard]] LeadBytes ansi_lead_bytes() {
  CPINFO info{};
  if (!GetCPInfo(CP_ACP, &info)) return {};
  return quorventine::lead_bytes_from_ranges(info.LeadByte, MAX_LEADBYTES);
}

// The whole value however long, sized by asking first; an absent PATH reads as empty.
[[nodiscard]] std::string current_path_value() {
  std::string value(GetEnvironmentVariableA("PATH", nullptr, 0), '\0');
  for (int attempt = 0; attempt < 3 && !value.empty(); ++attempt) {
    const DWORD length = GetEnvironmentVariableA("PATH", value.data(), static_cast<DWORD>(value.size()));
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);  // too small after all: the answer is the size needed
  }
  return {};
}

[[nodiscard]] bool start_application(const std::string& target, std::string& command_line) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // No handle inheritance keeps the lock file's handle out of the application. Its process and thread handles
  // are left to the end of this process, which comes right after.
  return CreateProcessA(target.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE | DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &process) != 0;
}

}  // namespace

// The runtime's default terminate handler prints the demangled name of an escaping exception to standard
// error, which a GUI program does not have, and its demangler alone would add some 45 KB. Only a failed
// allocation can throw here, and all of them come before the start: end quietly with 1, nothing started
// (abort could show the runtime's message box).
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::_Exit(1); }
}  // namespace __gnu_cxx

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // MinGW's start-up derives lpCmdLine with signed bytes and no regard to lead bytes, so the argument text is
  // derived here from the command line itself.
  const char* raw_command_line = GetCommandLineA();
  const std::string command_line = raw_command_line != nullptr ? raw_command_line : "";
  const LeadBytes lead_bytes = ansi_lead_bytes();
  const std::string arguments = quorventine::argument_text(command_line, lead_bytes);
  const std::optional<std::string> install_dir = quorventine::install_directory(command_line, arguments, lead_bytes);
  if (!install_dir) return 1;

  const std::string target = quorventine::target_path(*install_dir);
  std::string child_command_line = quorventine::child_command_line(target, arguments);

  // Set in our own environment only; the application inherits it. A failure here does not stop the launch.
  SetEnvironmentVariableA("PATH", quorventine::new_path_value(*install_dir, current_path_value()).c_str());

  const std::string lock = quorventine::lock_path(*install_dir);
  std::FILE* held = quorventine::wait_and_take_lock(lock);
  if (!start_application(target, child_command_line)) {
    quorventine::release_lock(held, lock);
    return 1;
  }
  quorventine::hold_and_release_lock(held, lock);
  return 0;
}
