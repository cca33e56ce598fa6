#include "check/report.h"

#include <windows.h>

#include "check/console.h"
#include "check/report_parts.h"
#include "common/path_buffer.h"
#include "fetch/fetch.h"
#include "watcher/check_record.h"
#include "watcher/watcher.h"

const char* OrNone(const std::string& text) { return text.empty() ? "none" : text.c_str(); }

int RunCheck(const CheckOptions& options) {
  Say("VexloCheck %s: one check of the version document, made as VexloService makes it.\n"
      "Nothing is written.\n\n",
      VEXLO_VERSION);
  Line("Folder", "%s", g_appFolder);
  ReportSettings(options.url);
  ReportPlatform();
  ReportProxySettings();

  PathBuffer storedPath;
  std::string stored;
  if (options.stored.empty()) {
    JoinPath(storedPath, g_appFolder, "version.xml");
    if (!ReadStoredVersion(&stored)) stored.clear();
  } else {
    CopyPath(storedPath, options.stored.c_str());
    stored = options.storedBytes;
  }
  // Sent before this check, so that the service checks meanwhile.
  ServiceAsk ask;
  if (options.askService) ask = AskServiceToCheck();
  const ULONGLONG started = GetTickCount64();
  FetchReport report;
  FetchVersionDocumentReport(stored, kDownloadDeadlineMs, &report);
  ReportAnswer(report, GetTickCount64() - started);
  ReportSignature(report, stored);
  const CheckOutcome verdict = ReportVersions(report, storedPath);

  ReportMarker();
  ReportShortcut();
  const bool answered =
      ReportService(verdict, report.answer.route, options.askService ? &ask : nullptr);
  Say("\n");
  if (verdict == CheckOutcome::kOk) {
    Line("Verdict", "UPDATE: the service would show the update icon and store this document");
  } else {
    Line("Verdict", "NO CHANGE (%s): %s", CheckOutcomeName(verdict), CheckOutcomeText(verdict));
  }
  if (!answered) {
    Line("", "the service was not asked, or gave no answer (see Service): exit code 2");
    return kExitCannotRun;
  }
  return verdict == CheckOutcome::kOk ? kExitUpdate : kExitNoChange;
}
