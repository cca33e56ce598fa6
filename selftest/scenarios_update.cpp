// The update and the normal icon as the player sees them, the steady state,
// and the shortcut read back whole after each change.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <string>

#include "selftest/http_server.h"
#include "selftest/kit_pc.h"
#include "selftest/kit_report.h"
#include "selftest/scenario_steps.h"
#include "selftest/scenarios.h"
#include "shortcut/shortcut.h"

namespace {

// The first difference the shortcut showed from the one the service must
// write, after any change; empty while none.
std::string s_shortcutDifference;

// The shortcut file against the one the service writes for the client with
// icon; nullptr when it is that one.
const char* ShortcutDiffers(const char* icon) {
  ShortcutFields fields;
  if (!ReadShortcut(Wide(g_kit.link).c_str(), &fields)) return "the file (missing or unreadable)";
  return ShortcutDifference(fields, (g_kit.client + "Vexlo.exe").c_str(),
                            ServiceFile(icon).c_str());
}

// Reads the whole shortcut back after a change that brought icon.
void NoteShortcut(const char* when, const char* icon) {
  const char* differs = ShortcutDiffers(icon);
  if (differs != nullptr && s_shortcutDifference.empty()) {
    s_shortcutDifference = std::string(when) + ": " + differs + " is not what the service writes";
  }
}

// The icon the shell itself gives the desktop item.
void ReportShellIcon(const char* label, const char* icon) {
  SHFILEINFOW info = {};
  if (SHGetFileInfoW(Wide(g_kit.link).c_str(), 0, &info, sizeof info, SHGFI_ICONLOCATION) == 0 ||
      info.szDisplayName[0] == L'\0') {
    Report(label, Verdict::kNotShown, "the shell gives no icon location for the item here");
    return;
  }
  const bool same = SameShortcutPath(info.szDisplayName, Wide(ServiceFile(icon)));
  Report(label, same ? Verdict::kPass : Verdict::kFail, "the shell shows %s",
         same ? icon : "another icon");
}

}  // namespace

void CheckUpdateFlow() {
  const std::string document = NextDocument();
  SetServedDocument(document);
  std::string missing;
  const bool landed = WaitForUpdate(document, &missing);
  Report("Update: first check", landed ? Verdict::kPass : Verdict::kFail, "%s",
         landed ? "update icon, version.xml stored, update.ini \"0\"" : missing.c_str());
  // What the shell shows is asked only of a file that names the icon: one
  // that does not has failed above already.
  if (landed) {
    NoteShortcut("after the update", "update.ico");
    ReportShellIcon("Update: the shell's icon", "update.ico");
  }
  const bool normal = ClearMarker();
  Report("Marker: normal icon", normal ? Verdict::kPass : Verdict::kFail, "%s",
         normal ? "the normal icon came back" : "the normal icon did not come back");
  if (normal) {
    NoteShortcut("after the marker was cleared", "normal.ico");
    ReportShellIcon("Marker: the shell's icon", "normal.ico");
  }

  const Snapshot before = TakeSnapshot();
  const bool checked = WaitForChecks(6, kUpdateBoundMs);
  ReportQuiet("Steady state", before, checked, "six checks and their marker polls wrote nothing");

  const bool seen = landed || normal;
  Report("Shortcut: read back whole",
         !seen                          ? Verdict::kNotShown
         : s_shortcutDifference.empty() ? Verdict::kPass
                                        : Verdict::kFail,
         "%s",
         !seen ? "no change of the shortcut came to read back"
         : s_shortcutDifference.empty()
             ? "target, icon, index, show command and description as written, after each change"
             : s_shortcutDifference.c_str());
}
