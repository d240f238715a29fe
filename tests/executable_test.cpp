// The built launcher's form: headers and imports read from the file, resources through the Windows API.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "harness.hpp"
#include "record.hpp"

namespace {

using quorventine::full_path_from_environment;

const std::string launcher_exe = full_path_from_environment("QV_LAUNCHER");
const std::string image = quorventine::read_file(launcher_exe);

template <typename T>
[[nodiscard]] const T& at(std::size_t offset) {
  if (offset + sizeof(T) > image.size()) throw std::out_of_range("past the end of the file");
  return *reinterpret_cast<const T*>(image.data() + offset);
}

[[nodiscard]] const IMAGE_NT_HEADERS32& nt_headers() { return at<IMAGE_NT_HEADERS32>(at<IMAGE_DOS_HEADER>(0).e_lfanew); }

// File offset of a relative virtual address, through the section table.
[[nodiscard]] std::size_t file_offset(DWORD rva) {
  const IMAGE_NT_HEADERS32& nt = nt_headers();
  const std::size_t table = at<IMAGE_DOS_HEADER>(0).e_lfanew + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                            nt.FileHeader.SizeOfOptionalHeader;
  for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
    const auto& section = at<IMAGE_SECTION_HEADER>(table + i * sizeof(IMAGE_SECTION_HEADER));
    if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize) {
      return rva - section.VirtualAddress + section.PointerToRawData;
    }
  }
  throw std::out_of_range("address outside every section");
}

TEST(Executable, HeadersOfA32BitGuiProgramForWindowsXpAndLater) {
  ASSERT_EQ(at<IMAGE_DOS_HEADER>(0).e_magic, IMAGE_DOS_SIGNATURE);
  const IMAGE_NT_HEADERS32& nt = nt_headers();
  ASSERT_EQ(nt.Signature, static_cast<DWORD>(IMAGE_NT_SIGNATURE));
  EXPECT_EQ(nt.FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(nt.FileHeader.TimeDateStamp, 0u) << "a link timestamp makes every build differ";
  EXPECT_EQ(nt.FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED, 0);
  const IMAGE_OPTIONAL_HEADER32& optional = nt.OptionalHeader;
  EXPECT_EQ(optional.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
  EXPECT_EQ(optional.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  EXPECT_EQ(optional.MajorOperatingSystemVersion * 10 + optional.MinorOperatingSystemVersion, 51);
  EXPECT_EQ(optional.MajorSubsystemVersion * 10 + optional.MinorSubsystemVersion, 51);
  const WORD wanted = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_NX_COMPAT |
                      IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE;
  EXPECT_EQ(optional.DllCharacteristics & wanted, wanted);
  EXPECT_GT(optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 0u) << "a randomised base needs relocations";
  EXPECT_EQ(optional.SizeOfStackReserve, 0x100000u);
}

TEST(Executable, ImportsOnlyKernel32AndMsvcrt) {
  const DWORD imports = nt_headers().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  std::set<std::string> dlls;
  for (std::size_t entry = file_offset(imports);; entry += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto& descriptor = at<IMAGE_IMPORT_DESCRIPTOR>(entry);
    if (descriptor.Name == 0) break;
    dlls.insert(image.c_str() + file_offset(descriptor.Name));
  }
  EXPECT_EQ(dlls, (std::set<std::string>{"KERNEL32.dll", "msvcrt.dll"}));
  EXPECT_EQ(nt_headers().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].Size, 0u);
}

// ---------------------------------------------------------------------------------------------------------
// Resources, through the loader.

using Id = std::string;  // a name, or "#n" for a number

[[nodiscard]] Id id_text(LPCSTR id) { return IS_INTRESOURCE(id) ? "#" + std::to_string(reinterpret_cast<ULONG_PTR>(id)) : id; }

BOOL CALLBACK add_type(HMODULE, LPSTR type, LONG_PTR out) {
  reinterpret_cast<std::vector<Id>*>(out)->push_back(id_text(type));
  return TRUE;
}
BOOL CALLBACK add_name(HMODULE, LPCSTR, LPSTR name, LONG_PTR out) {
  reinterpret_cast<std::vector<Id>*>(out)->push_back(id_text(name));
  return TRUE;
}
BOOL CALLBACK add_language(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR out) {
  reinterpret_cast<std::vector<WORD>*>(out)->push_back(language);
  return TRUE;
}

[[nodiscard]] std::string resource_bytes(HMODULE module, LPCSTR type, LPCSTR name) {
  HRSRC found = FindResourceExA(module, type, name, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  if (found == nullptr) return {};
  return std::string(static_cast<const char*>(LockResource(LoadResource(module, found))), SizeofResource(module, found));
}

#pragma pack(push, 2)
struct GroupIconEntry {  // GRPICONDIRENTRY
  BYTE width, height, colours, reserved;
  WORD planes, bit_count;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST(Executable, ResourcesAreTheIconAndTheManifestOnly) {
  HMODULE module = LoadLibraryExA(launcher_exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  std::vector<Id> types, icon_groups, icons, manifests;
  EnumResourceTypesA(module, add_type, reinterpret_cast<LONG_PTR>(&types));
  EXPECT_EQ(std::set<Id>(types.begin(), types.end()), (std::set<Id>{"#3", "#14", "#24"})) << "icon, icon group, manifest";
  EnumResourceNamesA(module, RT_GROUP_ICON, add_name, reinterpret_cast<LONG_PTR>(&icon_groups));
  EnumResourceNamesA(module, RT_ICON, add_name, reinterpret_cast<LONG_PTR>(&icons));
  EnumResourceNamesA(module, RT_MANIFEST, add_name, reinterpret_cast<LONG_PTR>(&manifests));
  EXPECT_EQ(icon_groups, std::vector<Id>{"IDI_APP"});
  EXPECT_EQ(icons, std::vector<Id>{"#1"});
  EXPECT_EQ(manifests, std::vector<Id>{"#1"});
  const std::pair<LPCSTR, LPCSTR> resources[] = {
      {RT_GROUP_ICON, "IDI_APP"}, {RT_ICON, MAKEINTRESOURCEA(1)}, {RT_MANIFEST, MAKEINTRESOURCEA(1)}};
  for (const auto& [type, name] : resources) {
    std::vector<WORD> languages;
    EnumResourceLanguagesA(module, type, name, add_language, reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages, std::vector<WORD>{1033}) << id_text(type);
  }

  const std::string group = resource_bytes(module, RT_GROUP_ICON, "IDI_APP");
  ASSERT_EQ(group.size(), 6 + sizeof(GroupIconEntry));
  EXPECT_EQ(group.substr(0, 6), std::string("\0\0\1\0\1\0", 6)) << "type icon, one image";
  const auto* entry = reinterpret_cast<const GroupIconEntry*>(group.data() + 6);
  EXPECT_EQ(entry->width, 128);
  EXPECT_EQ(entry->height, 128);
  EXPECT_EQ(entry->bit_count, 32);
  EXPECT_EQ(entry->bytes, 67624u);
  EXPECT_EQ(entry->id, 1);

  const std::string icon = resource_bytes(module, RT_ICON, MAKEINTRESOURCEA(1));
  ASSERT_EQ(icon.size(), 67624u) << "header, 128 x 128 x 4 colour bytes, 128 rows of 16 mask bytes";
  const auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(icon.data());
  EXPECT_EQ(header->biSize, 40u);
  EXPECT_EQ(header->biWidth, 128);
  EXPECT_EQ(header->biHeight, 256) << "colour rows and mask rows";
  EXPECT_EQ(header->biBitCount, 32);
  EXPECT_EQ(header->biCompression, static_cast<DWORD>(BI_RGB));

  const std::string manifest = resource_bytes(module, RT_MANIFEST, MAKEINTRESOURCEA(1));
  EXPECT_EQ(manifest.size(), 346u);
  EXPECT_EQ(manifest, quorventine::read_file(full_path_from_environment("QV_MANIFEST")));
  EXPECT_EQ(manifest.rfind("<assembly ", 0), 0u) << "no XML declaration";
  for (std::size_t at = manifest.find('\n'); at != std::string::npos; at = manifest.find('\n', at + 1)) {
    EXPECT_EQ(manifest[at - 1], '\r') << "line break at " << at;
  }
  EXPECT_NE(manifest.find("level=\"asInvoker\" uiAccess=\"false\""), std::string::npos);
  FreeLibrary(module);
}

}  // namespace
