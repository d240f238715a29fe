// The benchmark's floor: the least a launcher can do. No C runtime, no lock, no PATH change: it takes the
// directory of the path on its command line and starts bin\quorventine.exe below it with the same arguments.
// Built without start-up code or libraries, so its cost is the process start and nothing else. It stays 3 s
// afterwards, as the launcher does: under Wine a process that ends at once slows the start of the one it has
// just started, which would flatter the launcher.
#include <windows.h>

namespace {

// Static, as there is no runtime to allocate with; the longest command line fits.
wchar_t target[32768], child[32768 + 40];
STARTUPINFOW startup;
PROCESS_INFORMATION process;

wchar_t* append(wchar_t* to, const wchar_t* from, const wchar_t* end) {
  while (from != end) *to++ = *from++;
  return to;
}

}  // namespace

extern "C" void WINAPI floor_start() {
  const wchar_t* line = GetCommandLineW();
  const wchar_t* arguments = line;
  for (bool quoted = false; *arguments != 0 && (quoted || *arguments > L' '); ++arguments) {
    if (*arguments == L'"') quoted = !quoted;
  }
  const wchar_t* separator = arguments;
  while (separator != line && *separator != L'\\') --separator;
  while (*arguments != 0 && *arguments <= L' ') ++arguments;
  const wchar_t* end = arguments;
  while (*end != 0) ++end;

  static const wchar_t bin[] = L"\\bin\\quorventine.exe";
  wchar_t* t = append(append(target, *line == L'"' ? line + 1 : line, separator), bin, bin + 20);
  *t = 0;
  wchar_t* c = child;
  *c++ = L'"';
  c = append(c, target, t);
  *c++ = L'"';
  *c++ = L' ';
  *append(c, arguments, end) = 0;
  startup.cb = sizeof startup;
  const BOOL started = CreateProcessW(target, child, nullptr, nullptr, FALSE,
                                      CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE | DETACHED_PROCESS, nullptr,
                                      nullptr, &startup, &process);
  Sleep(3000);
  ExitProcess(started ? 0 : 1);
}
