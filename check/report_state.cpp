#include <windows.h>

#include "check/console.h"
#include "check/installed_service.h"
#include "check/report_parts.h"
#include "common/path_buffer.h"
#include "shortcut/shortcut.h"
#include "watcher/watcher.h"

void ReportMarker() {
  PathBuffer path;
  if (!JoinPath(path, g_appFolder, "update.ini")) return;
  if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES &&
      (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
    Line("update.ini", "missing: the service leaves the shortcut as it is");
    return;
  }
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
      Line("update.ini",
           "held by another program without sharing: the service writes it once "
           "it is let go");
    } else {
      Line("update.ini", "cannot be read (error %lu)", error);
    }
    return;
  }
  CloseHandle(file);
  switch (ReadUpdateMarker()) {
    case MarkerState::kPending:
      Line("update.ini", "0: an update is pending, the update icon stays");
      break;
    case MarkerState::kCleared:
      Line("update.ini", "cleared: the normal icon shows");
      break;
    case MarkerState::kUnreadable:
      Line("update.ini", "cannot be read");
      break;
  }
}

void ReportShortcut() {
  PathBuffer link;
  if (!ClientShortcutPath(link)) {
    Line("Shortcut", "its path does not fit 259 characters");
    return;
  }
  wchar_t wide[kPathBufferSize];
  if (MultiByteToWideChar(CP_ACP, 0, link, -1, wide, kPathBufferSize) == 0) return;
  ShortcutFields fields;
  if (ReadShortcut(wide, &fields)) {
    Line("Shortcut", "%s", link);
    Line("", "target %s", Ansi(fields.target).c_str());
    Line("", "icon %s, index %d", Ansi(fields.icon).c_str(), fields.iconIndex);
  } else if (GetFileAttributesA(link) == INVALID_FILE_ATTRIBUTES) {
    Line("Shortcut",
         "%s: missing (the service writes it at its next read of update.ini, "
         "unless update.ini is missing)",
         link);
  } else {
    Line("Shortcut", "%s: cannot be read, or damaged (the service writes it anew)", link);
  }
}

void ReportService() {
  const InstalledService service = QueryInstalledService();
  if (!service.readable) {
    Line("Service", "cannot be read with this account's rights (error %lu)", service.error);
    return;
  }
  if (!service.installed) {
    Line("Service", "VexloService is not installed");
    return;
  }
  Line("Service", "VexloService is %s; start %s%s; account %s", ServiceStateName(service.state),
       StartTypeName(service.startType), service.delayed ? " (delayed)" : "",
       OrNone(service.account));
  Line("", "image %s", service.imagePath.c_str());
}
