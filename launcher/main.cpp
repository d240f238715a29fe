// The quorventine launcher: starts <install>\bin\quorventine.exe with this program's own arguments and
// <install>\lib in front of PATH, spacing launches made at nearly the same time 3 s apart. It shows nothing;
// the exit code says whether the application was started (0) or not (1).
//
// Everything stays in UTF-16 from the command line to the application's start: the ANSI API would replace
// each character that the code page lacks by a look-alike, a wrong directory name or even a quote that splits
// an argument in two.
#include <windows.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "command_line.hpp"
#include "launch_lock.hpp"

namespace {

static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOW) == 68, "the 32-bit start-up record is 68 bytes");

// The path of this executable, however long; empty if the system cannot say.
[[nodiscard]] std::wstring own_file_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);  // cut short: a full buffer says nothing about the size needed
  }
}

// The whole value however long, sized by asking first; an absent PATH reads as empty.
[[nodiscard]] std::wstring current_path_value() {
  std::wstring value(GetEnvironmentVariableW(L"PATH", nullptr, 0), L'\0');
  for (int attempt = 0; attempt < 3 && !value.empty(); ++attempt) {
    const DWORD length = GetEnvironmentVariableW(L"PATH", value.data(), static_cast<DWORD>(value.size()));
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);  // too small after all: the answer is the size needed
  }
  return {};
}

[[nodiscard]] bool start_application(const std::wstring& target, std::wstring& command_line) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // No handle inheritance keeps the lock file's handle out of the application. Its process and thread handles
  // are left to the end of this process, which comes right after.
  return CreateProcessW(target.c_str(), command_line.data(), nullptr, nullptr, FALSE,
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
  // Not lpCmdLine: the start-up derives it from the ANSI command line.
  const std::wstring command_line = GetCommandLineW();
  const std::wstring arguments = quorventine::argument_text(command_line);
  const std::optional<std::wstring> install_dir =
      quorventine::install_directory(command_line, arguments, own_file_path());
  if (!install_dir) return 1;

  const std::wstring target = quorventine::target_path(*install_dir);
  std::wstring child_command_line = quorventine::child_command_line(target, arguments);

  // Set in our own environment only; the application inherits it. A failure here does not stop the launch.
  SetEnvironmentVariableW(L"PATH", quorventine::new_path_value(*install_dir, current_path_value()).c_str());

  const std::wstring lock = quorventine::lock_path(*install_dir);
  std::FILE* held = quorventine::wait_and_take_lock(lock);
  if (!start_application(target, child_command_line)) {
    quorventine::release_lock(held, lock);
    return 1;
  }
  quorventine::hold_and_release_lock(held, lock);
  return 0;
}
