#include "service/service.h"

namespace {

// Looked up rather than linked: Windows 7 has no such call, and each policy
// is refused by the Windows versions before it (the result is not needed).
using SetMitigationFunction = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);

template <typename Policy>
void TurnOn(SetMitigationFunction set, PROCESS_MITIGATION_POLICY which, DWORD flags) {
  Policy policy = {};
  policy.Flags = flags;
  set(which, &policy, sizeof policy);
}

}  // namespace

void TurnOnProcessMitigations() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  const auto set = reinterpret_cast<SetMitigationFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessMitigationPolicy")));
  if (set == nullptr) return;
  // The service starts no program: a fault in it cannot start one either.
  TurnOn<PROCESS_MITIGATION_CHILD_PROCESS_POLICY>(set, ProcessChildProcessPolicy, 0x1);
  // No legacy ways in for other programs' DLLs (AppInit DLLs, window hooks, IMEs).
  TurnOn<PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY>(set, ProcessExtensionPointDisablePolicy,
                                                            0x1);
  // No images from network shares or of low integrity, and the system
  // folder's first for every library.
  TurnOn<PROCESS_MITIGATION_IMAGE_LOAD_POLICY>(set, ProcessImageLoadPolicy, 0x1 | 0x2 | 0x4);
}
