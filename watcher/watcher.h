// The update watch: settings, version check, the watcher loop and its state
// files. RunWatcher and StopWatcher are what the service host calls.
#pragma once

#include <cstdint>
#include <string>

// Reads config.xml from the application folder. Always sets both intervals,
// first to 3600 and 10, then to what the file supplies; may replace the base URL.
void ReadWatcherSettings(std::int32_t* checkInterval, std::int32_t* markerInterval);

// True when the downloaded document's version text differs from the one in
// the application folder's version.xml. Any failure gives false.
bool IsUpdateAvailable(const std::string& documentText);

// True when update.ini can be read and its first word is not "0".
bool IsUpdateCleared();

// Replaces version.xml with the document text and update.ini with the
// pending-update marker "0". A file that cannot be written is skipped.
void WriteStateFiles(const std::string& documentText);

// The worker: one pass a second until g_runFlag is cleared. The caller sets
// g_runFlag to 1 first.
void RunWatcher(const char* desktopFolder, const char* appFolder);

// Clears g_runFlag and returns once no watcher loop is running.
void StopWatcher();
