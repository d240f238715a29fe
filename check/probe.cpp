// A stand-in for the real application at bin\quorventine.exe: it records what it received (command line, PATH,
// current directory, when it was created and when its code began to run, what Windows says of its architecture) and
// which copy of its library it gets by name, in <install>\records, and exits. A build for the installer's tests names
// the version it stands for (QV_PROBE_VERSION), so that they can tell which version of the application started.
//
// Built for x86, x64 and ARM64 from this one file, with no C runtime and no headers: it declares the few kernel32
// functions it calls, so that the ARM64 build needs nothing but clang, lld and an import library made from
// kernel32.def. Nothing here may make the compiler call a function of its own (memcpy, memset, 64-bit division on
// x86, a stack probe for a frame of 4 KiB or more): none is linked, so such a call fails the build. Its buffers are
// static; each field is written straight from where Windows keeps it, or converted into one buffer.
#if defined(__i386__)
#define WINAPI __stdcall
#else
#define WINAPI
#endif
#define IMPORTED extern "C" __declspec(dllimport)

using BOOL = int;
using DWORD = unsigned long;
using UINT = unsigned int;
using HANDLE = void*;
using HMODULE = void*;
struct FILETIME {
  DWORD low, high;
};

IMPORTED char* WINAPI GetCommandLineA();
IMPORTED wchar_t* WINAPI GetCommandLineW();
IMPORTED DWORD WINAPI GetEnvironmentVariableW(const wchar_t* name, wchar_t* value, DWORD size);
IMPORTED DWORD WINAPI GetCurrentDirectoryW(DWORD size, wchar_t* directory);
IMPORTED BOOL WINAPI SetCurrentDirectoryW(const wchar_t* directory);
IMPORTED HANDLE WINAPI GetCurrentProcess();
IMPORTED DWORD WINAPI GetCurrentProcessId();
IMPORTED BOOL WINAPI GetProcessTimes(HANDLE process, FILETIME* created, FILETIME* exited, FILETIME* kernel,
                                     FILETIME* user);
IMPORTED void WINAPI GetSystemTimeAsFileTime(FILETIME* time);
IMPORTED HMODULE WINAPI GetModuleHandleW(const wchar_t* name);
IMPORTED void* WINAPI GetProcAddress(HMODULE module, const char* name);
IMPORTED HMODULE WINAPI LoadLibraryW(const wchar_t* name);
IMPORTED DWORD WINAPI GetModuleFileNameW(HMODULE module, wchar_t* path, DWORD size);
IMPORTED int WINAPI WideCharToMultiByte(UINT code_page, DWORD flags, const wchar_t* wide, int wide_length,
                                        char* text, int size, const char* default_char, BOOL* default_used);
IMPORTED BOOL WINAPI CreateDirectoryW(const wchar_t* path, void* security);
IMPORTED HANDLE WINAPI CreateFileW(const wchar_t* path, DWORD access, DWORD sharing, void* security,
                                   DWORD disposition, DWORD flags, HANDLE model);
IMPORTED BOOL WINAPI WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, void* overlapped);
IMPORTED BOOL WINAPI CloseHandle(HANDLE handle);
IMPORTED BOOL WINAPI MoveFileW(const wchar_t* from, const wchar_t* to);
IMPORTED void WINAPI ExitProcess(UINT code);

#ifndef QV_PROBE_VERSION
#define QV_PROBE_VERSION ""
#endif

namespace {

constexpr DWORD generic_write = 0x40000000, create_always = 2;
constexpr UINT utf8 = 65001;
constexpr DWORD longest = 32768;  // units in the longest path, command line or variable, with its terminator
const HANDLE invalid_handle = reinterpret_cast<HANDLE>(~static_cast<decltype(sizeof 0)>(0));

wchar_t wide[longest];
char converted[3 * longest];  // UTF-8 takes up to 3 bytes for a UTF-16 unit
wchar_t record_name[longest + 32], written_name[longest + 32];
HANDLE record = invalid_handle;
bool recorded = true;

void write(const char* data, DWORD size) {
  DWORD written = 0;
  recorded = WriteFile(record, data, size, &written, nullptr) && written == size && recorded;
}

// A field and its terminating zero.
void field(const char* text, DWORD size) {
  write(text, size);
  write("", 1);
}

void text_field(const char* text) {
  DWORD size = 0;
  while (text[size] != 0) ++size;
  field(text, size);
}

void utf8_field(const wchar_t* text, DWORD length) {
  const int size = length == 0 ? 0 : WideCharToMultiByte(utf8, 0, text, static_cast<int>(length), converted,
                                                           static_cast<int>(sizeof converted), nullptr, nullptr);
  field(converted, static_cast<DWORD>(size));
}

void utf8_field(const wchar_t* text) {
  DWORD length = 0;
  while (text[length] != 0) ++length;
  utf8_field(text, length);
}

// A variable's value; empty where it is absent.
void variable_field(const wchar_t* name) {
  const DWORD length = GetEnvironmentVariableW(name, wide, longest);
  utf8_field(wide, length < longest ? length : 0);
}

// A time in 100 ns units of the system clock, in hex: 64-bit division is a call of the runtime's on x86.
void time_field(const FILETIME& time) {
  char digits[16];
  for (int digit = 15, shift = 0; digit >= 0; --digit, shift += 4) {
    const DWORD half = shift < 32 ? time.low : time.high;
    digits[digit] = "0123456789abcdef"[(half >> (shift % 32)) & 15];
  }
  field(digits, sizeof digits);
}

// The system clock, as precisely as this Windows gives it: the precise one came with Windows 8.
void now(FILETIME& time) {
  using Clock = void(WINAPI*)(FILETIME*);
  const auto precise = reinterpret_cast<Clock>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
  (precise != nullptr ? precise : GetSystemTimeAsFileTime)(&time);
}

// The file of the library that loading probe_lib.dll by name gives, as after a file dialog that changed the current
// directory (to QV_MOVE_TO, where the tests set it): empty when none was found.
void library_field() {
  const DWORD length = GetEnvironmentVariableW(L"QV_MOVE_TO", wide, longest);
  if (length != 0 && length < longest) SetCurrentDirectoryW(wide);
  const HMODULE library = LoadLibraryW(L"probe_lib.dll");
  const DWORD path = library != nullptr ? GetModuleFileNameW(library, wide, longest) : 0;
  utf8_field(wide, path < longest ? path : 0);
}

// <install>\records\<process id> and a suffix, from this file's path, <install>\bin\quorventine.exe.
wchar_t* records_path(wchar_t* path, const wchar_t* suffix) {
  DWORD end = GetModuleFileNameW(nullptr, path, longest);
  for (int level = 0; level < 2; ++level) {
    while (end != 0 && path[end - 1] != L'\\') --end;
    if (end != 0) --end;
  }
  for (const wchar_t* part = L"\\records"; *part != 0;) path[end++] = *part++;
  path[end] = 0;
  CreateDirectoryW(path, nullptr);
  path[end++] = L'\\';
  wchar_t digits[10];
  int count = 0;
  for (DWORD id = GetCurrentProcessId(); count == 0 || id != 0; id /= 10) digits[count++] = static_cast<wchar_t>(L'0' + id % 10);
  while (count != 0) path[end++] = digits[--count];
  while (*suffix != 0) path[end++] = *suffix++;
  path[end] = 0;
  return path;
}

// Written aside and renamed, so that a reader never sees half a record.
UINT record_what_was_received() {
  FILETIME entered, created, exited, kernel, user;
  now(entered);
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  record = CreateFileW(records_path(written_name, L".tmp"), generic_write, 0, nullptr, create_always, 0, nullptr);
  if (record == invalid_handle) return 2;
  text_field(GetCommandLineA());
  utf8_field(GetCommandLineW());
  variable_field(L"PATH");
  const DWORD cwd = GetCurrentDirectoryW(longest, wide);
  utf8_field(wide, cwd < longest ? cwd : 0);
  time_field(created);
  time_field(entered);
  library_field();
  variable_field(L"PROCESSOR_ARCHITECTURE");
  variable_field(L"ProgramFiles");
  variable_field(L"ProgramW6432");
  text_field(QV_PROBE_VERSION);
  recorded = CloseHandle(record) && recorded;
  return recorded && MoveFileW(written_name, records_path(record_name, L".rec")) ? 0 : 2;
}

}  // namespace

extern "C" void WINAPI probe_start() { ExitProcess(record_what_was_received()); }
