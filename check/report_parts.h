// The parts of VexloCheck.exe's report, in the order the check meets them.
// Each prints its lines; none writes anything anywhere else.
#pragma once

#include <string>

#include "common/check_outcome.h"
#include "fetch/fetch.h"

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
// The installed service, and its own record of its last checks beside this
// check's verdict and way out.
void ReportService(CheckOutcome verdict, const std::string& route);
