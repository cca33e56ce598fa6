#include <windows.h>

#include "check/console.h"
#include "check/installed_service.h"
#include "check/report_parts.h"
#include "fetch/fetch.h"
#include "watcher/check_record.h"

namespace {

// A check of the service's own that is under way when the request comes ends
// by its deadline before the asked one begins, and the asked one ends by the
// same deadline. The margin is for the passes and writes around each.
const ULONGLONG kAskMarginMs = 15000;
const ULONGLONG kBeginBoundMs = kDownloadDeadlineMs + kAskMarginMs;
const ULONGLONG kEndBoundMs = kDownloadDeadlineMs + kAskMarginMs;
// The service honours one request in ten seconds and ignores the rest, which
// leaves nothing pending: it is asked again this often until the check begins.
const ULONGLONG kAskAgainMs = 1000;
const DWORD kLookMs = 100;

bool IsWhole(const AskedCheck& answer) {
  return !answer.outcome.empty() && !answer.route.empty() && answer.passesToNext != 0;
}

}  // namespace

ServiceAsk AskServiceToCheck() {
  ServiceAsk ask;
  ask.askedAt = MillisecondsNow();
  ask.tick = GetTickCount64();
  ask.error = SendCheckNow();
  ask.result = ask.error == 0 ? AskResult::kWaiting : AskResult::kNotSent;
  return ask;
}

bool AwaitAskedCheck(ServiceAsk* ask) {
  Line("",
       "asked VexloService to check now, at %s; waiting for its answer (at most %llu s "
       "for the check to begin, and %llu s for it to end)",
       UtcText(ask->askedAt / 1000).c_str(), kBeginBoundMs / 1000, kEndBoundMs / 1000);
  ULONGLONG askedLast = ask->tick;
  ULONGLONG begun = 0;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    AskedCheck seen;
    if (!ReadAskedCheck(&seen)) {
      ask->result = AskResult::kUnreadable;
      return false;
    }
    // A check begun after the request answers it, whoever asked for it.
    const bool fresh = seen.started != 0 && seen.started >= ask->askedAt;
    if (fresh && seen.ended >= seen.started) {
      ask->answer = seen;
      ask->result = IsWhole(seen) ? AskResult::kAnswered : AskResult::kDamaged;
      return ask->result == AskResult::kAnswered;
    }
    if (fresh && begun == 0) begun = now;
    if (begun == 0) {
      if (now - ask->tick > kBeginBoundMs) {
        ask->result = AskResult::kNotBegun;
        return false;
      }
      if (now - askedLast >= kAskAgainMs) {
        ask->error = SendCheckNow();
        if (ask->error != 0) {
          ask->result = AskResult::kNotSent;
          return false;
        }
        askedLast = now;
      }
    } else if (now - begun > kEndBoundMs) {
      ask->answer = seen;
      ask->result = AskResult::kNotEnded;
      return false;
    }
    Sleep(kLookMs);
  }
}

void ReportAskFailure(const ServiceAsk& ask) {
  switch (ask.result) {
    case AskResult::kNotSent:
      switch (ask.error) {
        case ERROR_SERVICE_DOES_NOT_EXIST:
          Line("", "cannot ask the service to check now: VexloService is not installed");
          return;
        case ERROR_SERVICE_NOT_ACTIVE:
          Line("",
               "cannot ask the service to check now: VexloService is not running (start it "
               "with VexloService.exe -start, section 3)");
          return;
        case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
          Line("",
               "cannot ask the service to check now: VexloService is starting or stopping; "
               "ask again in a moment");
          return;
        case ERROR_ACCESS_DENIED:
          Line("",
               "cannot ask the service to check now: access denied to this account (ask as a "
               "user logged on at this PC, or as an administrator; section 10)");
          return;
        case ERROR_SERVICE_REQUEST_TIMEOUT:
          Line("",
               "cannot ask the service to check now: VexloService did not take the "
               "request within 30 seconds");
          return;
        default:
          Line("", "cannot ask the service to check now (error %lu)", ask.error);
          return;
      }
    case AskResult::kUnreadable:
      Line("", "the service's answer cannot be read with this account's rights");
      return;
    case AskResult::kDamaged:
      Line("", "the service's answer is damaged or incomplete: something else wrote it");
      return;
    case AskResult::kNotBegun:
      Line("",
           "no answer in time: VexloService did not begin the check within %llu s (a version "
           "older than this tool ignores the request: its Application log then shows \"Bad "
           "service request\")",
           kBeginBoundMs / 1000);
      return;
    case AskResult::kNotEnded:
      Line("",
           "no answer in time: VexloService began the check at %s and did not end it "
           "within %llu s",
           UtcText(ask.answer.started / 1000).c_str(), kEndBoundMs / 1000);
      return;
    case AskResult::kWaiting:
    case AskResult::kAnswered:
      return;
  }
}
