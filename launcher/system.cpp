#include "system.hpp"

namespace quorventine {

wchar_t* new_text(std::size_t length) {
  void* const room = length < SIZE_MAX / sizeof(wchar_t) - 1
                         ? HeapAlloc(GetProcessHeap(), 0, (length + 1) * sizeof(wchar_t))
                         : nullptr;
  if (room == nullptr) ExitProcess(1);
  return static_cast<wchar_t*>(room);
}

Text up_to_zero(const wchar_t* text) {
  std::size_t length = 0;
  while (text[length] != L'\0') ++length;
  return Text(text, length);
}

wchar_t* joined(std::initializer_list<Text> parts) {
  wchar_t* const text = new_text(joined_length(parts));
  join(parts, text);
  return text;
}

bool identify(const wchar_t* path, FileIdentity& identity) {
  // No access asked and every sharing granted: works on a file that cannot be read and is in no one's way.
  const HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!known) return false;
  identity = {info.dwVolumeSerialNumber, joined_halves(info.nFileIndexHigh, info.nFileIndexLow),
              joined_halves(info.nFileSizeHigh, info.nFileSizeLow),
              joined_halves(info.ftCreationTime.dwHighDateTime, info.ftCreationTime.dwLowDateTime),
              joined_halves(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime)};
  return identifies(identity);
}

}  // namespace quorventine
