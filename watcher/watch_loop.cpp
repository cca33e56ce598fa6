#include <windows.h>
#include <objbase.h>

#include "common/path_buffer.h"
#include "fetch/fetch.h"
#include "shortcut/shortcut.h"
#include "watcher/watcher.h"
#include "watcher/watcher_internal.h"

namespace {

const DWORD kPassSleepMs = 1000;

// The counters keep their values across runs of the loop in one process;
// they are set the first time the loop starts.
bool s_countersSet = false;
std::int64_t s_checkCounter = 0;
std::int64_t s_markerCounter = 0;

void CheckForUpdate() {
  const std::string text = FetchVersionDocument();
  if (text.empty() || !IsUpdateAvailable(text)) return;
  ShowUpdateIcon();
  WriteStateFiles(text);
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
    if (AdvanceTimer(&s_checkCounter, checkInterval)) CheckForUpdate();
    // After the check, so that a poll on the same pass sees the "0" just written.
    if (AdvanceTimer(&s_markerCounter, markerInterval) && IsUpdateCleared()) ShowNormalIcon();
    // A stop that came during the pass (a download ends at once for it) is
    // not held up by a further second of sleep.
    if (g_runFlag != 0) Sleep(kPassSleepMs);
  }
  if (SUCCEEDED(initialized)) CoUninitialize();
  g_workerStopped = 1;
}

void StopWatcher() {
  for (;;) {
    const bool stopped = g_workerStopped == 1;
    // Cleared on every round: a loop that started after the last look must
    // still see it.
    g_runFlag = 0;
    if (stopped) return;
    Sleep(kPassSleepMs);
  }
}
