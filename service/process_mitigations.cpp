#include "service/service.h"

namespace {

// Looked up rather than linked: Windows 7 has no such call.
using SetMitigationFunction = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);

template <typename Policy>
bool TurnOn(SetMitigationFunction set, PROCESS_MITIGATION_POLICY which, DWORD flags) {
  Policy policy = {};
  policy.Flags = flags;
  return set(which, &policy, sizeof policy) != FALSE;
}

// The image-load rules in force once rule is asked for with them.
DWORD AddImageRule(SetMitigationFunction set, DWORD inForce, DWORD rule) {
  return TurnOn<PROCESS_MITIGATION_IMAGE_LOAD_POLICY>(set, ProcessImageLoadPolicy, inForce | rule)
             ? inForce | rule
             : inForce;
}

}  // namespace

// Each policy in a call of its own, and each image-load rule too: a Windows
// that refuses one (it predates it) must not drop the others with it. The
// image-load rules are asked for together with those already in force, so
// that no call can take back an earlier one.
void TurnOnProcessMitigations() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  const auto set = reinterpret_cast<SetMitigationFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessMitigationPolicy")));
  if (set == nullptr) return;  // Windows 7
  // No legacy ways in for other programs' DLLs from now on (window hooks,
  // IMEs): enforced from Windows 8. AppInit DLLs came with user32.dll, at
  // the process's start, before any of this.
  TurnOn<PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY>(set, ProcessExtensionPointDisablePolicy,
                                                            0x1);
  // No images from network shares (0x1) or of low integrity (0x2), and the
  // system folder's first for every library (0x4): enforced from Windows 10.
  DWORD imageRules = AddImageRule(set, 0, 0x1);
  imageRules = AddImageRule(set, imageRules, 0x2);
  AddImageRule(set, imageRules, 0x4);
  // The process starts no program: a fault in it cannot start one either.
  // Enforced from Windows 10 1709.
  TurnOn<PROCESS_MITIGATION_CHILD_PROCESS_POLICY>(set, ProcessChildProcessPolicy, 0x1);
}
