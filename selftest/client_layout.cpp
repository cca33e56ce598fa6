// The client the kit lays out on the test PC: its folders, the service exe,
// icons, settings, state files and the libraries planted beside the exe.
// clang-format off
#include "selftest/kit_pc.h"
#include <sddl.h>
// clang-format on

#include "common/whole_file.h"

KitPaths g_kit;

namespace {

// Names a process may load by name from its own folder first, where the
// loader is not limited: what a standard user would plant beside the exe.
const char* const kPlantedLibraries[] = {
    "shcore",  "version", "wininet", "urlmon",  "iphlpapi",  "dnsapi",   "userenv", "mpr",
    "uxtheme", "secur32", "msxml3",  "profapi", "cryptbase", "wtsapi32", "winhttp", "bcrypt"};

// The kit's own planted DLL, carried as a resource: loaded, it leaves
// "<its path>.loaded" beside itself.
std::string PlantedLibrary() {
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(2), MAKEINTRESOURCEA(10));  // RT_RCDATA
  HGLOBAL loaded = found == nullptr ? nullptr : LoadResource(nullptr, found);
  const void* bytes = loaded == nullptr ? nullptr : LockResource(loaded);
  return bytes == nullptr
             ? std::string()
             : std::string(static_cast<const char*>(bytes), SizeofResource(nullptr, found));
}

// A small 16x16 icon of one colour, written as an .ico file.
std::string IconBytes(DWORD colour) {
  std::string ico;
  auto put16 = [&ico](unsigned v) {
    ico += static_cast<char>(v & 0xFF), ico += static_cast<char>(v >> 8);
  };
  auto put32 = [&](DWORD v) { put16(v & 0xFFFF), put16(v >> 16); };
  const DWORD image = 40 + 16 * 16 * 4 + 16 * 4;
  put16(0), put16(1), put16(1);                            // icon directory, one image
  ico += '\x10', ico += '\x10', ico += '\0', ico += '\0';  // 16x16, no palette
  put16(1), put16(32), put32(image), put32(6 + 16);        // planes, bits, size, offset
  put32(40), put32(16), put32(32), put16(1), put16(32);    // bitmap header, height doubled
  for (int i = 0; i < 6; ++i) put32(0);
  for (int i = 0; i < 16 * 16; ++i) put32(colour | 0xFF000000);
  ico.append(16 * 4, '\0');  // the AND mask: all shown
  return ico;
}

// The folder and those above it that are missing, each journaled before it
// is made. A service of the system account will run from there: each folder
// made is writable by administrators and the system alone, whatever it
// would inherit (under C:\ users may write into new folders), as the guide
// asks of a real install. A folder that appears meanwhile is checked as the
// parents were: a standard user's own would give him the tree.
bool MakeFolders(const std::string& folder, std::string* why) {
  PSECURITY_DESCRIPTOR protectedFolder = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", SDDL_REVISION_1,
          &protectedFolder, nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, protectedFolder, FALSE};
  bool made = true;
  for (std::size_t at = folder.find('\\', 3); made && at != std::string::npos;
       at = folder.find('\\', at + 1)) {
    const std::string part = folder.substr(0, at);
    if (GetFileAttributesA(part.c_str()) != INVALID_FILE_ATTRIBUTES) {
      const std::string who = WhoMaySwap(part);
      made = who.empty() && part + "\\" != g_kit.client;
      if (!made) {
        *why = part + (who.empty() ? " appeared during the run"
                                   : " is not only the administrators': " + who);
      }
      continue;
    }
    // The client folder goes as a tree; a parent only once it is empty.
    const bool client = part + "\\" == g_kit.client;
    if (part + "\\" != g_kit.service && !Journal({client ? "client" : "folder", part})) {
      *why = "the journal cannot be written: " + JournalPath();
      made = false;
      break;
    }
    made = CreateDirectoryA(part.c_str(), &attributes) != FALSE;
    if (!made) *why = "cannot make " + part + " (error " + std::to_string(GetLastError()) + ")";
  }
  LocalFree(protectedFolder);
  return made;
}

}  // namespace

std::string ServiceFile(const char* name) { return g_kit.service + name; }

int PlantedLibraries() {
  return static_cast<int>(sizeof kPlantedLibraries / sizeof *kPlantedLibraries);
}

int PlantedLibrariesPresent() {
  int present = 0;
  for (const char* name : kPlantedLibraries) {
    if (GetFileAttributesA((ServiceFile(name) + ".dll").c_str()) != INVALID_FILE_ATTRIBUTES) {
      ++present;
    }
  }
  return present;
}

std::string LoadedPlantedLibraries() {
  std::string loaded;
  for (const char* name : kPlantedLibraries) {
    if (GetFileAttributesA((ServiceFile(name) + ".dll.loaded").c_str()) !=
        INVALID_FILE_ATTRIBUTES) {
      loaded += (loaded.empty() ? "" : ", ") + std::string(name) + ".dll";
    }
  }
  return loaded;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool whole =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size();
  CloseHandle(file);
  return whole;
}

std::string ReadBytes(const std::string& path) {
  std::string bytes;
  if (!ReadWholeFile(path.c_str(), &bytes)) bytes.clear();
  return bytes;
}

ULONGLONG LastWrite(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32 |
         data.ftLastWriteTime.dwLowDateTime;
}

bool WriteConfig(const std::string& url, int checkInterval, int markerInterval) {
  return WriteBytes(ServiceFile("config.xml"), "<config><check>" + std::to_string(checkInterval) +
                                                   "</check><marker>" +
                                                   std::to_string(markerInterval) +
                                                   "</marker><url>" + url + "</url></config>");
}

bool LayOut(const std::string& url, std::string* why) {
  if (!MakeFolders(g_kit.service, why)) return false;
  if (!CopyFileA(g_kit.source.c_str(), g_kit.exe.c_str(), TRUE) ||
      !WriteBytes(ServiceFile("update.ico"), IconBytes(0xD02020)) ||
      !WriteBytes(ServiceFile("normal.ico"), IconBytes(0x20A020)) ||
      !WriteBytes(ServiceFile("version.xml"), "<version><v>1.0</v></version>") ||
      !WriteBytes(ServiceFile("update.ini"), "1") || !WriteConfig(url, 1, 1) ||
      !CopyFileA(g_kit.source.c_str(), (g_kit.client + "Vexlo.exe").c_str(), TRUE)) {
    *why = "cannot write the client's files in " + g_kit.service;
    return false;
  }
  const std::string planted = PlantedLibrary();
  for (const char* name : kPlantedLibraries) {
    if (planted.empty() || !WriteBytes(ServiceFile(name) + ".dll", planted)) {
      *why = "cannot plant the test library in " + g_kit.service;
      return false;
    }
  }
  return true;
}
