#include <objbase.h>
#include <windows.h>

#include <atomic>

#include "common/path_buffer.h"
#include "fetch/document_signature.h"
#include "fetch/fetch.h"
#include "shortcut/shortcut.h"
#include "watcher/check_record.h"
#include "watcher/watcher.h"
#include "watcher/watcher_internal.h"

namespace {

const DWORD kPassSleepMs = 1000;

// The counters keep their values across runs of the loop in one process;
// they are set the first time the loop starts.
bool s_countersSet = false;
std::int64_t s_checkCounter = 0;
std::int64_t s_markerCounter = 0;

// An update found while update.ini could not be written (the client's
// updater holding it, say): its writes are made again at the marker polls
// until the "0" lands, so that the player learns of it within seconds rather
// than at the next check. Kept only while this process runs; a restart finds
// version.xml as it was and the next check finds the update again (unless
// even the old version.xml could not be put back, the one case that waits on
// the "0" alone).
std::string s_unmarkedDocument;
StateWrite s_unmarked = StateWrite::kPending;

// The update icon could not be written (another program held the shortcut:
// a virus scanner looking at the file just touched, a backup, Explorer): it
// is written again at every marker poll while the update is pending, until
// it lands. Set at each start of the loop as well, so that the first poll
// of a run puts the icon back for an update still pending from before.
bool s_updateIconOwed = true;

void ShowUpdateIconOrOweIt() { s_updateIconOwed = ShowUpdateIcon() == 0; }

// text may be s_unmarkedDocument itself: it is read before it is replaced.
void StoreUpdate(const std::string& text) {
  // While update.ini is held (or a folder has its name) nothing is written,
  // rather than version.xml written and put back on every check and poll.
  s_unmarked = UpdateMarkerLooksWritable() ? WriteStateFiles(text) : StateWrite::kUnchanged;
  if (s_unmarked == StateWrite::kPending) {
    s_unmarkedDocument.clear();
  } else {
    s_unmarkedDocument = text;
  }
}

// Set by the control handler's thread, taken by the loop's.
std::atomic<std::int32_t> s_checkAsked{0};
// Only the control handler's thread looks at it.
AskedCheckGate s_askedGate;

void CheckForUpdate(const std::int64_t* passesToNext) {
  // Noted before the download, so that the one who asked sees the check under
  // way rather than asking again while it lasts.
  const std::uint64_t askedAt = passesToNext != nullptr ? NoteAskedCheckStarted() : 0;

  // The stored copy decides two things before the document is parsed: a
  // body identical to it changes nothing (and costs no signature check), and
  // with keys built in its serial is the one a signed document must pass.
  std::string stored;
  if (!ReadStoredVersion(&stored)) stored.clear();
  FetchReport report;
  CheckOutcome verdict = FetchVersionDocumentReport(stored, kDownloadDeadlineMs, &report);
  // With keys built in, a refused document (a replay of the stored one
  // among them) changes nothing, and does not withdraw a remembered update.
  const bool sameAsStored = verdict == CheckOutcome::kSameAsStored && !DocumentKeysBuiltIn();
  const bool counts = verdict == CheckOutcome::kOk;
  if (counts) verdict = CompareWithStoredVersion(report.text);
  bool storedDocument = false;
  if (verdict == CheckOutcome::kOk) {
    ShowUpdateIconOrOweIt();
    StoreUpdate(report.text);
    storedDocument = s_unmarked != StateWrite::kUnchanged;
  } else if ((counts || sameAsStored) && s_unmarked == StateWrite::kUnchanged) {
    // version.xml is the old one and matches the server again: the update
    // that could not be marked has been withdrawn.
    s_unmarked = StateWrite::kPending;
    s_unmarkedDocument.clear();
  }
  NoteCheck(verdict, report.answer.route, storedDocument);
  if (passesToNext != nullptr) {
    NoteAskedCheck(askedAt, verdict, report.answer.route, *passesToNext);
  }
#ifdef VEXLO_FAULT_STALL_AFTER_REFUSAL
  // Only in a test build with a deliberate fault, for the acceptance kit to catch:
  // the loop stalls for half a minute after a refused connection.
  if (verdict == CheckOutcome::kConnectionRefused) Sleep(30000);
#endif
}

void PollMarker() {
  // An update is pending whatever update.ini says now: no normal icon.
  if (s_unmarked == StateWrite::kUnchanged) {
    StoreUpdate(s_unmarkedDocument);
    if (s_updateIconOwed) ShowUpdateIconOrOweIt();
    return;
  }
  if (s_unmarked == StateWrite::kMarkerOwed) {
    if (WriteUpdateMarker()) {  // version.xml holds the document already
      s_unmarked = StateWrite::kPending;
      s_unmarkedDocument.clear();
    }
    if (s_updateIconOwed) ShowUpdateIconOrOweIt();
    return;
  }
  switch (ReadUpdateMarker()) {
    case MarkerState::kCleared:
      s_updateIconOwed = false;
#ifndef VEXLO_FAULT_NO_NORMAL_ICON
      ShowNormalIcon();
#else
      // Only in a test build with a deliberate fault, for the acceptance kit to catch:
      // the normal icon never comes back.
#endif
      break;
    case MarkerState::kPending:
      if (s_updateIconOwed) ShowUpdateIconOrOweIt();
      break;
    case MarkerState::kUnreadable:  // a missing update.ini leaves the shortcut alone
      break;
  }
}

}  // namespace

void RunWatcher(const char* desktopFolder, const char* appFolder) {
  // Folders that do not fit would leave empty buffers, and every file name
  // would then resolve against the current directory: refuse to run instead.
  if (!CopyPath(g_desktopFolder, desktopFolder) || !CopyPath(g_appFolder, appFolder)) return;
  g_workerStopped = 0;

  std::int32_t checkInterval = 0;
  std::int32_t markerInterval = 0;
  ReadWatcherSettings(&checkInterval, &markerInterval);
  s_updateIconOwed = true;
  if (!s_countersSet) {
    s_checkCounter = FirstCheckCounter(checkInterval);
    s_markerCounter = markerInterval;
    s_countersSet = true;
  }

  // Each download and shortcut write initialises COM for itself; holding it
  // for the whole run keeps the libraries behind those objects loaded instead
  // of unloading and reloading them on every check.
  const HRESULT initialized = CoInitialize(nullptr);
  while (g_runFlag != 0) {
    const bool asked = TakeAskedCheck();
    if (CheckOnThisPass(&s_checkCounter, checkInterval, asked)) {
      const std::int64_t passesToNext = PassesToNextCheck(s_checkCounter, checkInterval);
      CheckForUpdate(asked ? &passesToNext : nullptr);
    }
    // After the check, so that a poll on the same pass sees the "0" just written.
    if (AdvanceTimer(&s_markerCounter, markerInterval)) PollMarker();
    // A stop that came during the pass (a download ends at once for it) is
    // not held up by a further second of sleep.
    if (g_runFlag != 0) Sleep(kPassSleepMs);
  }
  if (SUCCEEDED(initialized)) CoUninitialize();
  g_workerStopped = 1;
}

void StopWatcher() {
#ifdef VEXLO_FAULT_SLOW_STOP
  // Only in a test build with a deliberate fault, for the acceptance kit to catch:
  // a stop takes twelve seconds more.
  Sleep(12000);
#endif
  for (;;) {
    const bool stopped = g_workerStopped == 1;
    // Cleared on every round: a loop that started after the last look must
    // still see it.
    g_runFlag = 0;
    if (stopped) return;
    Sleep(kPassSleepMs);
  }
}

bool AskForCheck() {
  if (!AdmitAskedCheck(&s_askedGate, GetTickCount64())) return false;
  s_checkAsked = 1;
  return true;
}

bool TakeAskedCheck() { return s_checkAsked.exchange(0) != 0; }
