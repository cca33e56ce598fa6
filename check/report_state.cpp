#include <windows.h>

#include "check/console.h"
#include "check/installed_service.h"
#include "check/report_parts.h"
#include "common/path_buffer.h"
#include "shortcut/shortcut.h"
#include "watcher/check_record.h"
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

// The shortcut's path as a person reads it: the service joins the desktop
// folder and the name with two backslashes, which the file system reads as
// one (a network path keeps its leading pair).
std::string ShownPath(const char* path) {
  std::string shown = path;
  for (std::size_t at = shown.find("\\\\", 1); at != std::string::npos;
       at = shown.find("\\\\", at)) {
    shown.erase(at, 1);
  }
  return shown;
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
    Line("Shortcut", "%s", ShownPath(link).c_str());
    Line("", "target %s", Ansi(fields.target).c_str());
    Line("", "icon %s, index %d", Ansi(fields.icon).c_str(), fields.iconIndex);
  } else if (GetFileAttributesA(link) == INVALID_FILE_ATTRIBUTES) {
    Line("Shortcut",
         "%s: missing (the service writes it at its next read of update.ini, "
         "unless update.ini is missing)",
         ShownPath(link).c_str());
  } else {
    Line("Shortcut", "%s: cannot be read, or damaged (the service writes it anew)",
         ShownPath(link).c_str());
  }
}

namespace {

// An outcome's name as the report's verdict says it.
std::string VerdictText(const std::string& outcome) {
  return outcome == CheckOutcomeName(CheckOutcome::kOk) ? "UPDATE" : "NO CHANGE (" + outcome + ")";
}

// Says where the service's verdict and way out differ from this check's: the
// service checks as the local system account.
void ReportDifference(CheckOutcome verdict, const std::string& route,
                      const std::string& serviceOutcome, const std::string& serviceRoute,
                      bool asked) {
  // The update the service found and stored is the stored copy now: the
  // same as this check's verdict of it, until the service's next check.
  const bool storedSince =
      serviceOutcome == CheckOutcomeName(CheckOutcome::kOk) &&
      (verdict == CheckOutcome::kSameAsStored || verdict == CheckOutcome::kSameVersion);
  const bool sameVerdict = storedSince || serviceOutcome == CheckOutcomeName(verdict);
  const bool sameRoute = serviceRoute == route;
  if (sameVerdict && sameRoute) {
    if (asked) Line("", "the service sees what this check sees: the same verdict and way out");
    return;
  }
  std::string differs;
  if (!sameVerdict) {
    differs = std::string("verdict differs from this check's (") +
              (verdict == CheckOutcome::kOk ? "UPDATE" : CheckOutcomeName(verdict)) + ")";
  }
  if (!sameRoute) {
    differs += differs.empty() ? "" : "; its ";
    differs += "way out differs from this check's (" + route + ")";
  }
  Line("",
       "the service's %s: the service checks as the local system account, with that "
       "account's proxy settings and certificates; see the guide's section 5, \"Proxies\", "
       "and section 10",
       differs.c_str());
}

// What the service's own last checks saw, beside this check: the two may
// differ, as the service checks as the local system account. compare: say
// where they differ.
void ReportServiceRecord(CheckOutcome verdict, const std::string& route, bool compare) {
  CheckRecord record;
  if (!ReadCheckRecord(&record)) {
    Line("", "the service's record of its checks cannot be read with this account's rights");
    return;
  }
  if (record.outcome.empty() && record.since == 0 && record.route.empty() && record.stored == 0) {
    Line("", "the service has recorded no check yet (just installed, or its record is missing)");
    return;
  }
  if (record.outcome.empty() || record.since == 0 || record.route.empty()) {
    Line("",
         "the service's record of its checks is damaged or incomplete: it writes a fresh "
         "one when its next check differs");
    return;
  }
  const std::string stored = record.stored == 0 ? std::string("never") : UtcText(record.stored);
  Line("", "the service's last check: %s since %s, %s; last stored a document %s",
       VerdictText(record.outcome).c_str(), UtcText(record.since).c_str(), record.route.c_str(),
       stored.c_str());
  if (compare) ReportDifference(verdict, route, record.outcome, record.route, false);
}

// The service's answer to the check just asked for.
void ReportAskedCheck(CheckOutcome verdict, const std::string& route, const AskedCheck& answer) {
  // Passes are about a second each.
  const unsigned long long passes = answer.passesToNext;
  const bool inMinutes = passes >= 120;
  const char* unit = inMinutes ? "minutes" : "seconds";
  if (passes == 1) unit = "second";
  Line("",
       "the service's check just asked for: %s at %s, %s; its next scheduled check in %llu "
       "pass%s (about %llu %s)",
       VerdictText(answer.outcome).c_str(), UtcText(answer.started / 1000).c_str(),
       answer.route.c_str(), passes, passes == 1 ? "" : "es",
       inMinutes ? (passes + 30) / 60 : passes, unit);
  ReportDifference(verdict, route, answer.outcome, answer.route, true);
}

}  // namespace

bool ReportService(CheckOutcome verdict, const std::string& route, ServiceAsk* ask) {
  const InstalledService service = QueryInstalledService();
  if (!service.readable) {
    Line("Service", "cannot be read with this account's rights (error %lu)", service.error);
  } else if (!service.installed) {
    Line("Service", "VexloService is not installed");
  } else {
    Line("Service", "VexloService is %s; start %s%s; account %s", ServiceStateName(service.state),
         StartTypeName(service.startType), service.delayed ? " (delayed)" : "",
         OrNone(service.account));
    Line("", "image %s", service.imagePath.c_str());
  }
  if (ask == nullptr) {
    if (service.installed) ReportServiceRecord(verdict, route, true);
    return true;
  }
  // Waited for before the record is read: the asked check writes it too.
  const bool answered = ask->result == AskResult::kWaiting && AwaitAskedCheck(ask);
  if (service.installed) ReportServiceRecord(verdict, route, !answered);
  if (!answered) {
    ReportAskFailure(*ask);
    return false;
  }
  ReportAskedCheck(verdict, route, ask->answer);
  return true;
}
