#include <cstring>

#include "common/vexlo.h"
#include "service/service.h"

namespace {

const char kProductKey[] = "Software\\Marvonel\\Vexlo";

}  // namespace

int WriteSetting(const char* value, const char* name) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kProductKey, 0, const_cast<char*>(""),
                      REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return 0;
  }
  const DWORD size = static_cast<DWORD>(std::strlen(value) + 1);
  const LONG result = RegSetValueExA(key, name, 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(value), size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS ? 1 : 0;
}

int ReadSetting(const char* name, char* buffer) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kProductKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return 0;
  }
  DWORD size = kPathBufferSize;
  const LONG result = RegQueryValueExA(key, name, nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return 0;
  // Data stored by anyone else need not end in a zero; the callers treat the
  // buffer as a string.
  if (size == 0 || buffer[size - 1] != '\0') {
    if (size >= static_cast<DWORD>(kPathBufferSize)) return 0;
    buffer[size] = '\0';
  }
  return 1;
}
