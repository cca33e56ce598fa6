#include <windows.h>

#include <algorithm>
#include <string>

#include "service/service.h"
#include "tests/support/test_support.h"

namespace {

std::string ExecutableFolder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.rfind('\\') + 1);
}

std::string ModulePath(HMODULE module) {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(module, path, MAX_PATH);
  return path;
}

// Copies of the planted DLL beside this test executable, under its own name
// and under the name of a system DLL, stand in for ones planted by a user.
class LibrarySearch : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string built = VEXLO_PLANTED_DLL;
    std::replace(built.begin(), built.end(), '/', '\\');
    planted_ = ExecutableFolder() + "vexlo_planted.dll";
    impostor_ = ExecutableFolder() + "version.dll";
    ASSERT_TRUE(CopyFileA(built.c_str(), planted_.c_str(), FALSE)) << built;
    ASSERT_TRUE(CopyFileA(built.c_str(), impostor_.c_str(), FALSE));
  }
  void TearDown() override {
    // Back to the platform's usual search, so that no test sees another's limit.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    SetDllDirectoryA(nullptr);
    DeleteFileA(impostor_.c_str());
    DeleteFileA(planted_.c_str());
    DeleteFileA((impostor_ + ".loaded").c_str());
    DeleteFileA((planted_ + ".loaded").c_str());
  }
  std::string planted_;
  std::string impostor_;
};

TEST_F(LibrarySearch, DllsBesideTheExecutableAreNotFoundByName) {
  ASSERT_EQ(1, RestrictLibrarySearch());
  HMODULE planted = LoadLibraryA("vexlo_planted.dll");
  EXPECT_EQ(nullptr, planted);
  if (planted != nullptr) FreeLibrary(planted);

  HMODULE version = LoadLibraryA("version.dll");
  ASSERT_NE(nullptr, version);
  EXPECT_NE(impostor_, ModulePath(version));
  EXPECT_FALSE(FileExists(impostor_ + ".loaded"));
  FreeLibrary(version);
}

TEST_F(LibrarySearch, WithoutTheLimitThePlantedDllWouldBeLoaded) {
  // The case the limit closes, shown on this platform.
  HMODULE planted = LoadLibraryA("vexlo_planted.dll");
  ASSERT_NE(nullptr, planted);
  EXPECT_TRUE(FileExists(planted_ + ".loaded"));
  FreeLibrary(planted);
}

}  // namespace
