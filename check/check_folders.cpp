// The check's folders and drive letter: made, marked as a running check's, and removed, also those that a run killed
// from outside left behind.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

#include "check.hpp"
#include "runner.hpp"

namespace quorventine::check {

namespace {

constexpr wchar_t folder_prefix[] = L"quorventine-check-";
constexpr wchar_t marker_name[] = L"\\in use";

[[nodiscard]] bool ends_with(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() &&
         CompareStringOrdinal(text.data() + text.size() - end.size(), static_cast<int>(end.size()), end.data(),
                              static_cast<int>(end.size()), TRUE) == CSTR_EQUAL;
}

// Gives a folder back what it inherits and nothing else, as every folder of the check had when it was made: a case
// denies the creation of files in its install folder, which Wine turns into the folder's Unix permissions, so that
// nothing in it can be deleted.
void inherit_access_only(const std::wstring& folder) {
  ACL empty;
  if (InitializeAcl(&empty, sizeof empty, ACL_REVISION)) {
    SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                          DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, &empty,
                          nullptr);
  }
}

// Removes a folder with all in it, read-only files included; where that is refused, once more with the folder's
// access given back.
void remove_tree_once(const std::wstring& folder, bool access_given_back = false) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName, path = folder + L"\\" + name;
      if (name == L"." || name == L"..") continue;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      const bool tree = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
      if (tree) {
        remove_tree_once(path);
      } else if (!DeleteFileW(path.c_str())) {
        RemoveDirectoryW(path.c_str());  // a link to a folder
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  if (!RemoveDirectoryW(folder.c_str()) && !access_given_back && GetLastError() != ERROR_FILE_NOT_FOUND) {
    inherit_access_only(folder);
    remove_tree_once(folder, true);
  }
}

[[nodiscard]] bool is_directory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// This user's SID as text; empty where the token does not say.
[[nodiscard]] std::wstring user_sid() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
  std::string user(256, '\0');
  DWORD size = 0;
  wchar_t* text = nullptr;
  const bool known = GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size) &&
                     ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text);
  CloseHandle(token);
  const std::wstring sid = known ? text : L"";
  LocalFree(text);
  return sid;
}

// Full control for this user, SYSTEM and Administrators, given to what the folder holds, and nothing inherited: a
// folder under %ProgramData% would otherwise take that folder's access list, under which any user may add files (a
// library that a probe would load, a forged record).
[[nodiscard]] std::wstring private_access(const std::wstring& sid) {
  return L"D:P(A;OICI;FA;;;" + sid + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
}

// Whether the folder's access list, read back, lets no one but those three add or change anything in it: another user
// could otherwise add to a running check's tree. What is read back decides, not what was asked for: Wine keeps no
// access list as set, and reads back one made of the folder's Unix permissions, under which no other user may write.
[[nodiscard]] bool is_private(const std::wstring& folder, const std::wstring& sid) {
  constexpr DWORD changes = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA | FILE_DELETE_CHILD |
                            FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool private_one = acl != nullptr;  // no access list at all lets everyone do everything
  for (DWORD i = 0; private_one && i < acl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    wchar_t* text = nullptr;
    private_one = GetAce(acl, i, reinterpret_cast<void**>(&ace));
    if (!private_one || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->Header.AceFlags & INHERIT_ONLY_ACE) != 0 ||
        (ace->Mask & changes) == 0) {
      continue;
    }
    private_one = ConvertSidToStringSidW(&ace->SidStart, &text) &&
                  (text == sid || std::wcscmp(text, L"S-1-5-18") == 0 || std::wcscmp(text, L"S-1-5-32-544") == 0);
    LocalFree(text);
  }
  LocalFree(descriptor);
  return private_one;
}

}  // namespace

std::wstring new_marked_folder(const std::wstring& parent, HANDLE& marker, bool private_one) {
  const std::wstring sid = private_one ? user_sid() : L"";
  SECURITY_ATTRIBUTES access{sizeof access, nullptr, FALSE};
  if (private_one && (sid.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                         private_access(sid).c_str(), SDDL_REVISION_1, &access.lpSecurityDescriptor,
                                         nullptr))) {
    return L"";
  }
  for (DWORD serial = GetCurrentProcessId();; ++serial) {
    const std::wstring folder = parent + folder_prefix + std::to_wstring(serial);
    if (CreateDirectoryW(folder.c_str(), private_one ? &access : nullptr)) {
      LocalFree(access.lpSecurityDescriptor);
      if (private_one && !is_private(folder, sid)) {
        RemoveDirectoryW(folder.c_str());
        return L"";
      }
      marker = CreateFileW((folder + marker_name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, CREATE_NEW, 0,
                           nullptr);
      return folder;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      LocalFree(access.lpSecurityDescriptor);
      return L"";
    }
  }
}

bool remove_tree(const std::wstring& folder) {
  // Right after processes were ended, one may still hold a file for a moment: a few attempts, within the few seconds
  // that Windows gives a closing console's handler.
  for (int attempt = 0; attempt < 20 && is_directory(folder); ++attempt, Sleep(100)) remove_tree_once(folder);
  return !is_directory(folder);
}

std::wstring map_drive(const std::wstring& folder) {
  const std::wstring target = folder + L"\\drive";
  CreateDirectoryW(target.c_str(), nullptr);
  CloseHandle(CreateFileW((target + L"\\seen").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  const DWORD in_use = GetLogicalDrives();
  wchar_t device[MAX_PATH];
  for (wchar_t letter = L'Z'; letter >= L'D'; --letter) {
    const std::wstring drive{letter, L':'};
    if ((in_use & (1u << (letter - L'A'))) != 0 || QueryDosDeviceW(drive.c_str(), device, MAX_PATH) != 0) continue;
    // Made and removed with the raw target, which QueryDosDeviceW gives back as it stands; no broadcast to every
    // window of the session.
    if (!DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_NO_BROADCAST_SYSTEM, drive.c_str(), (L"\\??\\" + target).c_str())) {
      break;
    }
    if (exists(drive + L"\\seen")) return drive;
    unmap_drives_into(folder);
    break;
  }
  return L"";
}

std::vector<std::wstring> unmap_drives_into(const std::wstring& folder) {
  const std::wstring target = folder + L"\\drive";
  std::vector<std::wstring> left;
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    const std::wstring drive{letter, L':'};
    std::wstring device(32768, L'\0');
    device.resize(QueryDosDeviceW(drive.c_str(), device.data(), static_cast<DWORD>(device.size())));
    device = device.c_str();  // the first of the letter's definitions
    if (!ends_with(device, target)) continue;
    DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE | DDD_NO_BROADCAST_SYSTEM,
                     drive.c_str(), device.c_str());
    wchar_t now_there[MAX_PATH];
    if (QueryDosDeviceW(drive.c_str(), now_there, MAX_PATH) != 0 && ends_with(now_there, target)) left.push_back(drive);
  }
  return left;
}

std::vector<std::wstring> remove_abandoned(const std::wstring& parent) {
  std::vector<std::wstring> removed;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((parent + folder_prefix + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return removed;
  do {
    const std::wstring folder = parent + found.cFileName;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    const bool abandoned = DeleteFileW((folder + marker_name).c_str()) ||
                           (GetLastError() == ERROR_FILE_NOT_FOUND && ms_after(ticks(found.ftCreationTime), now()) > 60000);
    if (!abandoned) continue;
    static_cast<void>(unmap_drives_into(folder));
    end_processes_in({folder});
    if (remove_tree(folder)) removed.push_back(folder);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return removed;
}

}  // namespace quorventine::check
