#include <windows.h>

#include <string>

#include "service/service.h"
#include "tests/support/test_support.h"

namespace {

const char kProductKey[] = "Software\\Marvonel\\Vexlo";

// Stores raw bytes under the product key, as some other program might.
void SetRawValue(const char* name, DWORD type, const std::string& bytes) {
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kProductKey, 0, nullptr, 0,
                                           KEY_WRITE, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, type,
                                          reinterpret_cast<const BYTE*>(bytes.data()),
                                          static_cast<DWORD>(bytes.size())));
  RegCloseKey(key);
}

class RegistrySettings : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeA(HKEY_CURRENT_USER, kProductKey); }
  void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, kProductKey); }
};

TEST_F(RegistrySettings, WrittenValueReadsBackWithItsTerminator) {
  ASSERT_EQ(1, WriteSetting("C:\\Games\\Vexlo\\Service\\", "AppFolder"));
  char buffer[260];
  ASSERT_EQ(1, ReadSetting("AppFolder", buffer));
  EXPECT_STREQ("C:\\Games\\Vexlo\\Service\\", buffer);

  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, kProductKey, 0, KEY_READ, &key));
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "AppFolder", nullptr, &type, nullptr, &size));
  RegCloseKey(key);
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(24u, size);  // 23 characters and the zero
}

TEST_F(RegistrySettings, ValueOfExactly260BytesFitsAndOneMoreFails) {
  const std::string fits(259, 'f');
  ASSERT_EQ(1, WriteSetting(fits.c_str(), "DesktopPath"));
  char buffer[260];
  ASSERT_EQ(1, ReadSetting("DesktopPath", buffer));
  EXPECT_EQ(fits, buffer);

  ASSERT_EQ(1, WriteSetting((fits + "g").c_str(), "DesktopPath"));
  EXPECT_EQ(0, ReadSetting("DesktopPath", buffer));
}

TEST_F(RegistrySettings, MissingKeyLeavesTheBufferUntouched) {
  char buffer[260] = "untouched";
  EXPECT_EQ(0, ReadSetting("AppFolder", buffer));
  EXPECT_STREQ("untouched", buffer);
}

TEST_F(RegistrySettings, MissingValueFails) {
  ASSERT_EQ(1, WriteSetting("x", "AppFolder"));
  char buffer[260];
  EXPECT_EQ(0, ReadSetting("DesktopPath", buffer));
}

TEST_F(RegistrySettings, ValueWithoutTerminatorStillReadsAsAString) {
  SetRawValue("AppFolder", REG_BINARY, "abc");
  SetRawValue("DesktopPath", REG_BINARY, std::string(260, 'z'));
  char buffer[260];
  memset(buffer, 'q', sizeof buffer);
  ASSERT_EQ(1, ReadSetting("AppFolder", buffer));
  EXPECT_STREQ("abc", buffer);
  EXPECT_EQ(0, ReadSetting("DesktopPath", buffer));
}

TEST_F(RegistrySettings, ExistingKeyKeepsItsOtherValues) {
  SetRawValue("Other", REG_SZ, std::string("keep", 5));
  ASSERT_EQ(1, WriteSetting("v", "AppFolder"));
  char buffer[260];
  ASSERT_EQ(1, ReadSetting("Other", buffer));
  EXPECT_STREQ("keep", buffer);
}

}  // namespace
