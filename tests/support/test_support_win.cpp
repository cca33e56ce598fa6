// The parts of the test support that drive Windows: the local version server
// seen through Wine's Z: drive, and shortcut files read back through the
// shell link object.
#include <windows.h>
#include <comdef.h>
#include <sddl.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "tests/support/test_support.h"

namespace {

_COM_SMARTPTR_TYPEDEF(IShellLinkA, IID_IShellLinkA);
_COM_SMARTPTR_TYPEDEF(IPersistFile, IID_IPersistFile);

std::string ServerDir() {
  const char* unixDir = std::getenv("VEXLO_TEST_SERVER_DIR");
  if (unixDir == nullptr) return std::string();
  // Wine maps the Unix root to drive Z:.
  std::string dir = std::string("Z:") + unixDir + "/";
  std::replace(dir.begin(), dir.end(), '/', '\\');
  return dir;
}

}  // namespace

std::string ServerUrl(const std::string& route) {
  const std::string port = ReadBytes(ServerDir() + "port");
  EXPECT_FALSE(port.empty()) << "the version server is not running";
  return "http://127.0.0.1:" + port + route;
}

void ServeDocument(const std::string& name, const std::string& bytes) {
  WriteBytes(ServerDir() + "docs\\" + name, bytes);
}

std::string SigningFile(const std::string& name) {
  return ReadBytes(ServerDir() + "signing\\" + name);
}

std::string LoggedRequests(const std::string& needle) {
  std::istringstream log(ReadBytes(ServerDir() + "requests.log"));
  std::string line;
  std::string found;
  while (std::getline(log, line)) {
    if (line.find(needle) != std::string::npos) found += line + "\n";
  }
  return found;
}

LinkContents ReadLink(const std::string& path) {
  LinkContents contents;
  CoInitialize(nullptr);
  {
    IShellLinkAPtr link;
    IPersistFilePtr file;
    if (SUCCEEDED(link.CreateInstance(CLSID_ShellLink)) &&
        SUCCEEDED(link.QueryInterface(IID_IPersistFile, &file)) &&
        SUCCEEDED(file->Load(_bstr_t(path.c_str()), STGM_READ))) {
      char text[MAX_PATH * 2] = "";
      link->GetPath(text, sizeof text, nullptr, SLGP_RAWPATH);
      contents.target = text;
      link->GetIconLocation(text, sizeof text, &contents.iconIndex);
      contents.icon = text;
      link->GetDescription(text, sizeof text);
      contents.description = text;
      contents.loaded = true;
    }
  }
  CoUninitialize();
  // Wine's GetShowCmd answers 1 after Load whatever the file says, so the
  // value is read from the file itself.
  const std::string bytes = ReadBytes(path);
  if (bytes.size() >= 0x40) {
    contents.showCommand = static_cast<unsigned char>(bytes[0x3C]) |
                           static_cast<unsigned char>(bytes[0x3D]) << 8;
  }
  return contents;
}

bool SetFileDacl(const std::string& path, const std::string& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return false;
  }
  const BOOL set = SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  return set != FALSE;
}

std::string FileDacl(const std::string& path) {
  char descriptor[4096];
  DWORD needed = 0;
  if (!GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor,
                        &needed)) {
    return "unreadable";
  }
  char* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    return "unconvertible";
  }
  std::string result = text;
  LocalFree(text);
  return result;
}

int ThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}
