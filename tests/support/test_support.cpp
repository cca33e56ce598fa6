#include "tests/support/test_support.h"

#include <windows.h>
#include <comdef.h>
#include <shlobj.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/path_buffer.h"

namespace {

_COM_SMARTPTR_TYPEDEF(IShellLinkA, IID_IShellLinkA);
_COM_SMARTPTR_TYPEDEF(IPersistFile, IID_IPersistFile);

std::string ServerDir() {
  const char* unixDir = std::getenv("VEXLO_TEST_SERVER_DIR");
  if (unixDir == nullptr) return std::string();
  // Wine maps the Unix root to drive Z:.
  std::string dir = std::string("Z:") + unixDir;
  for (char& c : dir) {
    if (c == '/') c = '\\';
  }
  return dir + "\\";
}

}  // namespace

std::string MakeTempFolder() {
  static std::atomic<int> counter{0};
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  std::ostringstream name;
  name << temp << "vexlo-" << GetCurrentProcessId() << "-" << counter++ << "\\";
  const std::string folder = name.str();
  RemoveTree(folder);
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((folder + "*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path + "\\");
      } else {
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryA(folder.c_str());
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

std::string ServerUrl(const std::string& route) {
  const std::string port = ReadBytes(ServerDir() + "port");
  EXPECT_FALSE(port.empty()) << "the version server is not running";
  return "http://127.0.0.1:" + port + route;
}

void ServeDocument(const std::string& name, const std::string& bytes) {
  WriteBytes(ServerDir() + "docs\\" + name, bytes);
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

std::string UniqueName(const char* prefix) {
  static std::atomic<int> counter{0};
  std::ostringstream name;
  name << prefix << "-" << GetCurrentProcessId() << "-" << GetTickCount64() << "-" << counter++;
  return name.str();
}

void FolderTest::SetUp() {
  root_ = MakeTempFolder();
  app_ = root_ + "Service\\";
  desktop_ = root_ + "Desktop";
  CreateDirectoryA(app_.c_str(), nullptr);
  CreateDirectoryA(desktop_.c_str(), nullptr);
  ASSERT_TRUE(CopyPath(g_appFolder, app_.c_str()));
  ASSERT_TRUE(CopyPath(g_desktopFolder, desktop_.c_str()));
  savedBaseUrl_ = g_baseUrl;
}

void FolderTest::TearDown() {
  CopyPath(g_baseUrl, savedBaseUrl_.c_str());
  g_appFolder[0] = '\0';
  g_desktopFolder[0] = '\0';
  RemoveTree(root_);
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
