#include <windows.h>

#include <cwchar>
#include <string>

#include "common/path_buffer.h"
#include "shortcut/link_path.h"
#include "shortcut/shell_link_ids.h"
#include "shortcut/shortcut.h"

namespace {

// "Vexlo" and the GBK bytes of the Chinese words for "client shortcut",
// passed unchanged whatever the system's code page.
const char kShortcutDescription[] = "Vexlo\xBF\xCD\xBB\xA7\xB6\xCB\xBF\xEC\xBD\xDD\xB7\xBD\xCA\xBD";
const char kClientRelativePath[] = "..\\Vexlo.exe";

int SaveShortcut(const char* target, const char* icon, const wchar_t* linkPath) {
  IShellLinkAPtr link;
  IShellLinkA* created = nullptr;
  const HRESULT made = CoCreateInstance(kShellLinkClass, nullptr, CLSCTX_INPROC_SERVER, kShellLinkA,
                                        reinterpret_cast<void**>(&created));
  link.Attach(created);
  if (FAILED(made) || !link) return 0;

  IPersistFilePtr file;
  IPersistFile* persist = nullptr;
  if (FAILED(link->QueryInterface(kPersistFile, reinterpret_cast<void**>(&persist)))) return 0;
  file.Attach(persist);

  // SetPath answers S_FALSE when the target does not exist yet; the link is
  // still right, so none of these results decides anything.
  link->SetPath(target);
  link->SetDescription(kShortcutDescription);
  link->SetShowCmd(SW_SHOWNORMAL);
  link->SetIconLocation(icon, 0);
  return SUCCEEDED(file->Save(linkPath, TRUE)) ? 1 : 0;
}

std::wstring Wide(const char* text) {
  wchar_t wide[INFOTIPSIZE];
  return MultiByteToWideChar(CP_ACP, 0, text, -1, wide, INFOTIPSIZE) > 0 ? wide : L"";
}

// Whether the file on disk is already the one SaveShortcut would write: then
// it is left alone, so that the steady state writes nothing (each write is a
// scan by the virus scanner and a change for everything that watches the
// desktop). Texts are compared as the shell keeps them, in UTF-16, after the
// same conversion from the ANSI code page that setting them made.
bool IsAlreadyWritten(const wchar_t* linkPath, const char* target, const char* icon) {
  ShortcutFields onDisk;
  const bool same =
      ReadShortcut(linkPath, &onDisk) && ShortcutDifference(onDisk, target, icon) == nullptr;
#ifdef VEXLO_FAULT_STEADY_REWRITE
  // Only in a test build with a deliberate fault, for the acceptance kit to catch:
  // the shortcut is written again at every poll.
  if (same) return false;
#endif
  return same;
}

int ShowClientIcon(const char* iconName) {
  PathBuffer target;
  PathBuffer icon;
  if (!JoinPath(target, g_appFolder, kClientRelativePath) ||
      !JoinPath(icon, g_appFolder, iconName)) {
    return 0;
  }
  return WriteClientShortcut(target, icon);
}

}  // namespace

// Paths as the file system reads them: the shell may hand back the target
// with its ".." step resolved, in other letter case, in long form where the
// service's folder was registered by its short (8.3) name, or (Windows keeps
// such paths in a form of their own) with environment variables for the
// folders. A file that is missing keeps its full form.
bool SameShortcutPath(const std::wstring& read, const std::wstring& written) {
  wchar_t expanded[MAX_PATH];
  const DWORD length = ExpandEnvironmentStringsW(read.c_str(), expanded, MAX_PATH);
  if (length == 0 || length > MAX_PATH) return false;
  wchar_t full[2][MAX_PATH];
  const wchar_t* paths[2] = {expanded, written.c_str()};
  for (int i = 0; i < 2; ++i) {
    const DWORD fullLength = GetFullPathNameW(paths[i], MAX_PATH, full[i], nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH) return false;
    wchar_t longForm[MAX_PATH];
    const DWORD longLength = GetLongPathNameW(full[i], longForm, MAX_PATH);
    if (longLength != 0 && longLength < MAX_PATH) std::wmemcpy(full[i], longForm, longLength + 1);
  }
  return CompareStringOrdinal(full[0], -1, full[1], -1, TRUE) == CSTR_EQUAL;
}

const char* ShortcutDifference(const ShortcutFields& onDisk, const char* target, const char* icon) {
  if (!SameShortcutPath(onDisk.target, Wide(target))) return "the target";
  if (!SameShortcutPath(onDisk.icon, Wide(icon))) return "the icon";
  if (onDisk.iconIndex != 0) return "the icon's index";
  if (onDisk.description != Wide(kShortcutDescription)) return "the description";
  if (onDisk.showCommand != SW_SHOWNORMAL) return "the show command";
  return nullptr;
}

int WriteClientShortcut(const char* target, const char* icon) {
  PathBuffer linkPath;
  if (!FormLinkPath(linkPath, g_desktopFolder, target)) return 0;
  wchar_t wideLinkPath[kPathBufferSize];
  if (MultiByteToWideChar(CP_ACP, 0, linkPath, -1, wideLinkPath, kPathBufferSize) == 0) return 0;
#ifdef VEXLO_FAULT_WRONG_TARGET
  // Only in a test build with a deliberate fault, for the acceptance kit to catch:
  // the shortcut starts the service's own exe instead of the client.
  PathBuffer wrongTarget;
  if (!JoinPath(wrongTarget, g_appFolder, "VexloService.exe")) return 0;
  target = wrongTarget;
#endif

  const HRESULT initialized = CoInitialize(nullptr);
  const int saved =
      IsAlreadyWritten(wideLinkPath, target, icon) ? 1 : SaveShortcut(target, icon, wideLinkPath);
  if (SUCCEEDED(initialized)) CoUninitialize();
  return saved;
}

bool ClientShortcutPath(PathBuffer& linkPath) {
  PathBuffer target;
  return JoinPath(target, g_appFolder, kClientRelativePath) &&
         FormLinkPath(linkPath, g_desktopFolder, target);
}

int ShowUpdateIcon() { return ShowClientIcon("update.ico"); }

int ShowNormalIcon() { return ShowClientIcon("normal.ico"); }
