// The quorventine launcher: starts <install>\bin\quorventine.exe with this program's own arguments and
// <install>\lib in front of PATH, spacing launches made at nearly the same time 3 s apart. It shows nothing;
// the exit code says whether the application was started (0) or not (1).
//
// Everything stays in UTF-16 from the command line to the application's start: the ANSI API would replace
// each character that the code page lacks by a look-alike, a wrong directory name or even a quote that splits
// an argument in two.
#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <optional>

#include "command_line.hpp"
#include "launch_lock.hpp"

namespace {

using quorventine::Text;

static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOW) == 68, "the 32-bit start-up record is 68 bytes");

// Room for a text of this many units and its terminator, on the process heap. Texts are never freed: they live
// until the process ends, a moment after the start. Every text is made before the lock is taken, so when
// memory cannot be had the launch ends here with 1: nothing started, nothing held.
[[nodiscard]] wchar_t* new_text(std::size_t length) {
  void* const room = length < SIZE_MAX / sizeof(wchar_t) - 1
                         ? HeapAlloc(GetProcessHeap(), 0, (length + 1) * sizeof(wchar_t))
                         : nullptr;
  if (room == nullptr) ExitProcess(1);
  return static_cast<wchar_t*>(room);
}

[[nodiscard]] wchar_t* joined(std::initializer_list<Text> parts) {
  wchar_t* const text = new_text(quorventine::joined_length(parts));
  quorventine::join(parts, text);
  return text;
}

// The path of this executable; empty if the system cannot say.
[[nodiscard]] Text own_file_path() {
  constexpr DWORD size = 32768;  // no path that Windows can load a program from is longer
  wchar_t* const path = new_text(size);
  const DWORD length = GetModuleFileNameW(nullptr, path, size);
  return Text(path, length < size ? length : 0);
}

// The whole value however long, sized by asking first; an absent variable reads as empty.
[[nodiscard]] Text environment_value(const wchar_t* name) {
  for (DWORD size = GetEnvironmentVariableW(name, nullptr, 0); size != 0;) {
    wchar_t* const value = new_text(size);
    const DWORD length = GetEnvironmentVariableW(name, value, size);
    if (length < size) return Text(value, length);
    size = length;  // too small after all: the answer is the size needed
  }
  return {};
}

// <install>\lib as a full path, resolved against the current directory now: a relative entry in the
// application's PATH would name another directory, or none, as soon as the application changes its own (a file
// dialog does) and then loads a library. As written when Windows cannot resolve it.
[[nodiscard]] Text library_path(Text install_dir) {
  const wchar_t* const written = joined({install_dir, quorventine::library_directory});
  const DWORD size = GetFullPathNameW(written, 0, nullptr, nullptr);
  if (size != 0) {
    wchar_t* const full = new_text(size);
    const DWORD length = GetFullPathNameW(written, size, full, nullptr);
    if (length != 0 && length < size) return Text(full, length);
  }
  return written;
}

// Windows searches the current directory for a library before PATH, so a DLL planted beside a double-clicked
// document would win over lib. Taken out here, it is out for the application too, which inherits the setting.
// Looked up at run time: Windows XP has it only from its first service pack. Its failure does not stop the
// launch.
void keep_current_directory_out_of_library_search() {
  using SetDllDirectoryFunction = BOOL(WINAPI*)(const wchar_t*);
  const auto set_dll_directory = reinterpret_cast<SetDllDirectoryFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDllDirectoryW")));
  if (set_dll_directory != nullptr) set_dll_directory(L"");
}

[[nodiscard]] bool start_application(const wchar_t* target, wchar_t* command_line) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // No handle inheritance keeps the lock file's handle out of the application. Its process and thread handles
  // are left to the end of this process, which comes right after.
  return CreateProcessW(target, command_line, nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE | DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &process) != 0;
}

[[nodiscard]] UINT launch() {
  const Text command_line = GetCommandLineW();
  const Text arguments = quorventine::argument_text(command_line);
  const std::optional<Text> install_dir = quorventine::install_directory(command_line, arguments, own_file_path());
  if (!install_dir) return 1;

  const wchar_t* const target = joined({*install_dir, quorventine::application_file});
  wchar_t* const child_command_line = joined({L"\"", target, L"\" ", arguments});
  const wchar_t* const lock = joined({*install_dir, quorventine::lock_file});

  // Set in our own environment only; the application inherits it. A failure here does not stop the launch.
  SetEnvironmentVariableW(L"PATH", joined({library_path(*install_dir), L";", environment_value(L"PATH")}));
  keep_current_directory_out_of_library_search();

  const HANDLE held = quorventine::wait_and_take_lock(lock);
  if (!start_application(target, child_command_line)) {
    quorventine::release_lock(held, lock);
    return 1;
  }
  quorventine::hold_and_release_lock(held, lock);
  return 0;
}

}  // namespace

// Windows starts the process here. There is no C runtime start-up: the launcher needs none of it (no static
// constructors, no exceptions, no standard streams), and without it the executable holds and imports only what
// it calls.
extern "C" [[noreturn]] void WINAPI launcher_entry() { ExitProcess(launch()); }
