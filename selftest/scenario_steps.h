// The steps the kit's scenarios share. Checks and marker polls come every
// two seconds or so in a run (intervals of one pass): an update lands, or
// the normal icon comes back, well within the bounds here.
#pragma once

#include <windows.h>

#include <string>

const DWORD kUpdateBoundMs = 60000;
const DWORD kLandingBoundMs = 30000;
const DWORD kNormalIconBoundMs = 20000;

// A newer version document at each call: 2.0, 3.0, ...
std::string NextDocument();
// The kit's version document at port on 127.0.0.1.
std::string Url(int port);
std::wstring Wide(const std::string& text);

// Whether the shortcut file names icon (from the Service folder).
bool LinkShowsIcon(const char* icon);
// What is missing of an update of document that landed (update.ini "0",
// version.xml, the update icon); empty when nothing is.
std::string UpdateMissing(const std::string& document);
// Waits for the update of document to land; false with what is missing.
bool WaitForUpdate(const std::string& document, std::string* missing);

// The modification times of everything the service may write.
struct Snapshot {
  ULONGLONG times[4] = {0, 0, 0, 0};
};
Snapshot TakeSnapshot();
// What was written since before, by name; empty when nothing was.
std::string WrittenSince(const Snapshot& before);
// The line of a scenario in which nothing may be written: PASS with what
// when the service checked, wrote nothing and still runs.
void ReportQuiet(const char* label, const Snapshot& before, bool checked, const char* what);

// Waits for count more requests for the document, at every port (0) or one.
bool WaitForChecks(long count, DWORD boundMs, int port = 0);
// -stop, then -start: config.xml takes effect at a start.
bool Restart();
// The PC with no update pending and the normal icon.
bool ClearMarker();
