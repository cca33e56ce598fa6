// The update watch: settings, version check, the watcher loop and its state
// files. RunWatcher and StopWatcher are what the service host calls.
#pragma once

#include <cstdint>
#include <string>

#include "common/check_outcome.h"

// Reads config.xml from the application folder. Always sets both intervals,
// first to 3600 and 10, then to what the file supplies; may replace the base URL.
void ReadWatcherSettings(std::int32_t* checkInterval, std::int32_t* markerInterval);

// The same, saying whether the file was read (kOk) or why its defaults stand,
// and in what encoding its bytes were read (encoding may be null).
CheckOutcome LoadWatcherSettings(std::int32_t* checkInterval, std::int32_t* markerInterval,
                                 const char** encoding);

// True when the downloaded document's version text differs from the one in
// the application folder's version.xml. Any failure gives false.
bool IsUpdateAvailable(const std::string& documentText);

// The version rule against the stored document at storedPath: kOk when the
// version texts differ, else why not (the stored file first: kStoredMissing,
// kStoredNotXml, kStoredNoVersion; then kNotXml, kNoVersion, kSameVersion).
// The texts read are handed back where the pointers are not null.
CheckOutcome CompareVersions(const char* storedPath, const std::string& documentText,
                             std::string* storedVersion, std::string* documentVersion);
CheckOutcome ReadStoredVersionText(const char* path, std::string* version);
// The version rule against the application folder's version.xml.
CheckOutcome CompareWithStoredVersion(const std::string& documentText);
CheckOutcome ReadDocumentVersionText(const std::string& documentText, std::string* version);

// What update.ini says: its first word is "0" (an update is pending),
// anything else (the client's updater cleared it), or it cannot be read.
enum class MarkerState { kPending, kCleared, kUnreadable };
MarkerState ReadUpdateMarker();

// True when update.ini can be read and its first word is not "0".
bool IsUpdateCleared();

// How the state files ended after an update was found.
enum class StateWrite {
  kPending,     // update.ini holds "0" (version.xml the document, unless it could
                // not be written: then a later check finds the difference again)
  kUnchanged,   // no "0" could be written; version.xml is as it was before
  kMarkerOwed,  // version.xml holds the document but neither the "0" nor the
                // old version.xml could be written: the "0" is owed
};

// version.xml's bytes as they are now; false when it cannot be read whole.
bool ReadStoredVersion(std::string* bytes);

// Replaces version.xml with the document text, then update.ini with the
// pending-update marker "0". When the "0" cannot be written, version.xml
// gets its old bytes back, so that the update is never half stored.
StateWrite WriteStateFiles(const std::string& documentText);

// Replaces update.ini with the pending-update marker "0"; false when it
// cannot be written.
bool WriteUpdateMarker();

// Whether update.ini could be opened for writing now (or is missing): false
// while another program holds it without sharing, or a folder has its name.
bool UpdateMarkerLooksWritable();

// The worker: one pass a second until g_runFlag is cleared. The caller sets
// g_runFlag to 1 first.
void RunWatcher(const char* desktopFolder, const char* appFolder);

// Clears g_runFlag and returns once no watcher loop is running.
void StopWatcher();

// A request for one check now, from the service's control handler: the loop
// makes it at its next pass, as a scheduled check, and keeps its answer for
// VexloCheck.exe (watcher/check_record.h). At most one request in any ten
// seconds is honoured; returns whether this one was.
bool AskForCheck();
// Whether a check was asked for since the last look, and clears the request.
bool TakeAskedCheck();
