// The parts of VexloCheck.exe's report, in the order the check meets them.
// Each prints its lines; none writes anything anywhere else (the request that
// --ask-service sends makes the service check, and nothing more).
#pragma once

#include <cstdint>
#include <string>

#include "common/check_outcome.h"
#include "fetch/fetch.h"
#include "watcher/check_record.h"

const char* OrNone(const std::string& text);

// check/report_request.cpp: the settings, what this Windows allows, the
// proxy, the request and its answer.
void ReportSettings(const std::string& url);
void ReportPlatform();
void ReportProxySettings();
void ReportAnswer(const FetchReport& report, unsigned long long elapsedMs);

// check/report_document.cpp: the signature and the version rule; the latter
// returns its outcome once the document counts.
void ReportSignature(const FetchReport& report, const std::string& stored);
CheckOutcome ReportVersions(const FetchReport& report, const char* storedPath);

// check/report_state.cpp: the state around the check.
void ReportMarker();
void ReportShortcut();
// --ask-service: the request, sent before this tool's own check so that the
// service checks meanwhile, and what came of it.
enum class AskResult {
  kWaiting,     // sent, no answer looked for yet
  kAnswered,    // a whole answer from a check begun at or after the request
  kNotSent,     // the request could not be sent (error)
  kUnreadable,  // the service's key cannot be read
  kDamaged,     // an answer with a field missing or out of range
  kNotBegun,    // no check began in time
  kNotEnded,    // one began and did not end in time
};
struct ServiceAsk {
  AskResult result = AskResult::kWaiting;
  unsigned long error = 0;      // with kNotSent: the platform's reason
  std::uint64_t askedAt = 0;    // ms since 1970 UTC, just before it was sent
  unsigned long long tick = 0;  // GetTickCount64 then
  AskedCheck answer;
};

// check/report_asked.cpp: sends the request; then waits for the answer,
// asking again while the service ignores the request (it honours one in ten
// seconds), bounded by a check's deadline and a margin for the check to
// begin and as much for it to end. Prints the wait and returns whether a
// whole answer came.
ServiceAsk AskServiceToCheck();
bool AwaitAskedCheck(ServiceAsk* ask);
// The line that says why the service was not asked, or gave no answer.
void ReportAskFailure(const ServiceAsk& ask);

// check/report_state.cpp: the installed service, and its own record of its
// last checks beside this check's verdict and way out; with ask, its answer
// to the asked check instead. Returns false when an ask got no answer.
bool ReportService(CheckOutcome verdict, const std::string& route, ServiceAsk* ask);
