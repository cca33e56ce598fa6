#include "tests/support/test_support.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>
#include <thread>

#include "common/path_buffer.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

// Distinguishes the folders of test processes that run side by side.
const std::string& ProcessTag() {
  static const std::string tag = std::to_string(std::random_device{}());
  return tag;
}

}  // namespace

std::string MakeTempFolder() {
  static std::atomic<int> counter{0};
  std::string folder = fs::temp_directory_path().string();
  if (folder.empty() || folder.back() != kSeparator) folder += kSeparator;
  folder += "vexlo-" + ProcessTag() + "-" + std::to_string(counter++) + kSeparator;
  RemoveTree(folder);
  fs::create_directories(folder);
  return folder;
}

void RemoveTree(const std::string& folder) {
  std::error_code ignored;
  for (const auto& entry : fs::recursive_directory_iterator(folder, ignored)) {
    fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(folder, ignored);
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(path, ignored);
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

std::string Utf16File(const std::u16string& text, bool bigEndian) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string UniqueName(const char* prefix) {
  static std::atomic<int> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  std::ostringstream name;
  name << prefix << "-" << ProcessTag() << "-"
       << std::chrono::duration_cast<std::chrono::milliseconds>(now).count() << "-" << counter++;
  return name.str();
}

void FolderTest::SetUp() {
  root_ = MakeTempFolder();
  app_ = root_ + "Service" + kSeparator;
  desktop_ = root_ + "Desktop";
  fs::create_directories(app_);
  fs::create_directories(desktop_);
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
