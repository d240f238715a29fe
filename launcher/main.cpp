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
#include "own_file.hpp"
#include "system.hpp"

namespace {

using quorventine::joined;
using quorventine::new_text;
using quorventine::Text;
using namespace std::string_view_literals;  // a literal's length known when compiled, not counted with wcslen

static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOW) == 68, "the 32-bit start-up record is 68 bytes");

// The path of this executable, zero-terminated; empty if the system cannot say.
[[nodiscard]] Text own_file_path() {
  constexpr DWORD size = 32768;  // no path that Windows can load a program from is longer
  wchar_t* const path = new_text(size);
  DWORD length = GetModuleFileNameW(nullptr, path, size);
  if (length >= size) length = 0;
  path[length] = L'\0';
  return Text(path, length);
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

// Windows' answer for a path: as GetFullPathNameW or GetShortPathNameW give it, sized by asking first. Empty when
// Windows cannot give one.
[[nodiscard]] Text full_path(const wchar_t* path) {
  const DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
  wchar_t* const text = new_text(size);
  const DWORD length = size != 0 ? GetFullPathNameW(path, size, text, nullptr) : 0;
  return Text(text, length < size ? length : 0);
}

[[nodiscard]] Text short_path(const wchar_t* path) {
  const DWORD size = GetShortPathNameW(path, nullptr, 0);
  wchar_t* const text = new_text(size);
  const DWORD length = size != 0 ? GetShortPathNameW(path, text, size) : 0;
  return Text(text, length < size ? length : 0);
}

// <install>\lib as exactly one PATH entry. A full path, resolved against the current directory now: a relative
// entry would name another directory, or none, as soon as the application changes its own (a file dialog does)
// and then loads a library; as written when Windows cannot resolve it. A ';' in it would make two entries, the
// second relative to wherever the application stands: then its short form, which has none, or no entry at all.
[[nodiscard]] std::optional<Text> library_entry(Text install_dir) {
  const wchar_t* const written = joined({install_dir, quorventine::library_directory});
  const Text full = full_path(written);
  const Text entry = full.empty() ? quorventine::up_to_zero(written) : full;
  if (entry.find(L';') == Text::npos) return entry;
  const Text short_form = short_path(entry.data());
  if (short_form.empty() || short_form.find(L';') != Text::npos) return std::nullopt;
  return short_form;
}

// Windows searches the current directory for a library before PATH, so a DLL planted beside a double-clicked
// document would win over lib. Taken out here, it is out for the application too, which inherits the setting.
// Looked up at run time: Windows XP has it only from its first service pack. Its failure does not stop the
// launch.
void keep_current_directory_out_of_library_search() {
  const auto set_dll_directory = quorventine::kernel32_function<BOOL(WINAPI*)(const wchar_t*)>("SetDllDirectoryW");
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
  const Text command_line = quorventine::up_to_zero(GetCommandLineW());
  // The application started is always the one beside this launcher: the path on the command line is taken at its
  // word (relative stays relative, a link keeps its own directory) only where it names this launcher's own file.
  const Text own_file = own_file_path();
  const quorventine::LauncherPath written = quorventine::launcher_path(command_line, own_file);
  const std::optional<Text> install_dir =
      quorventine::install_directory(written.read, written.names_own_file, own_file);
  if (!install_dir) return 1;
  const Text arguments = quorventine::arguments_after(command_line, written.end);

  const wchar_t* const target = joined({*install_dir, quorventine::application_file});
  wchar_t* const child_command_line = joined({L"\""sv, quorventine::up_to_zero(target), L"\" "sv, arguments});
  const wchar_t* const lock = joined({*install_dir, quorventine::lock_file});

  // Set in our own environment only; the application inherits it. A failure here does not stop the launch.
  if (const std::optional<Text> library = library_entry(*install_dir)) {
    SetEnvironmentVariableW(L"PATH", joined({*library, L";"sv, environment_value(L"PATH")}));
  }
  keep_current_directory_out_of_library_search();

  const quorventine::Lock held = quorventine::wait_and_take_lock(lock, target);
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
