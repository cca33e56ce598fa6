// What the mingw-w64 build needs beyond its headers and libraries; built
// with mingw only. The Microsoft toolchain has all of it already.
#include <windows.h>
#include <comutil.h>

#include <cstdlib>

// The default terminate handler of libstdc++ prints the exception's demangled
// type, which links in the whole demangler (about 45 KB). The service has no
// console to print to: it ends the way the handler would after printing.
namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx

// COM support functions that the Microsoft compiler takes from comsupp.lib
// and mingw-w64 declares in <comutil.h> without defining.

namespace _com_util {

BSTR WINAPI ConvertStringToBSTR(const char* text) {
  if (text == nullptr) return nullptr;
  const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (units <= 0) _com_issue_error(HRESULT_FROM_WIN32(GetLastError()));
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(units - 1));
  if (result == nullptr) _com_issue_error(E_OUTOFMEMORY);
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, result, units) != units) {
    const HRESULT error = HRESULT_FROM_WIN32(GetLastError());
    SysFreeString(result);
    _com_issue_error(error);
    return nullptr;  // not reached: _com_issue_error throws
  }
  return result;
}

char* WINAPI ConvertBSTRToString(BSTR text) {
  if (text == nullptr) return nullptr;
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) _com_issue_error(HRESULT_FROM_WIN32(GetLastError()));
  char* result = new char[bytes];
  if (WideCharToMultiByte(CP_ACP, 0, text, -1, result, bytes, nullptr, nullptr) != bytes) {
    const HRESULT error = HRESULT_FROM_WIN32(GetLastError());
    delete[] result;
    _com_issue_error(error);
    return nullptr;  // not reached: _com_issue_error throws
  }
  return result;
}

}  // namespace _com_util
