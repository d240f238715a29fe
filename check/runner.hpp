// What the runner itself (check.cpp) keeps apart from the cases: the check's folders and drive letter, and what runs
// killed from outside left of them (check_folders.cpp).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace quorventine::check {

// A new folder of the check under parent (which ends with '\'), marked as a running check's for as long as marker
// stays open: a file in it that shares no delete. Runs in two code pages may share one %TEMP%: a run removes another
// run's folder only where it can delete its marker. A private one has an access list of its own, not inherited, for
// this user, SYSTEM and Administrators alone, read back once made. Empty where none can be made.
[[nodiscard]] std::wstring new_marked_folder(const std::wstring& parent, HANDLE& marker, bool private_one = false);

// Removes the folders under parent, and the drive letters that map into them, that runs killed from outside left:
// those whose marker can be deleted (or that have none, a minute after they were made). Says which it removed.
[[nodiscard]] std::vector<std::wstring> remove_abandoned(const std::wstring& parent);

// A free drive letter ("X:") mapped to a new subfolder of the folder, where a file made there is seen through it:
// Wine accepts the mapping but resolves drive letters from its prefix alone. Empty where there is none.
[[nodiscard]] std::wstring map_drive(const std::wstring& folder);

// Removes every drive letter that maps into the folder; says which stay.
std::vector<std::wstring> unmap_drives_into(const std::wstring& folder);

// Removes a folder with all in it; false where it stays.
[[nodiscard]] bool remove_tree(const std::wstring& folder);

}  // namespace quorventine::check
