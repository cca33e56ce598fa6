// The service host: event log, folders and registry settings, the service
// runtime and the management commands of the process entry.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

#include "common/vexlo.h"

// The service's name, display name, event-log source and handler name.
constexpr char kServiceName[] = "VexloService";

// The service control code that asks for one check at the next pass, made
// as a scheduled check is (VexloCheck.exe --ask-service sends it). Codes 128
// to 255 are the service's own to define; the service manager delivers one
// to whoever its access rules grant SERVICE_USER_DEFINED_CONTROL.
constexpr DWORD kCheckNowControl = 128;

// Writes one informational entry under the source "VexloService". A message
// longer than 255 characters is cut to fit.
void LogEvent(const char* format, ...);

// The message as LogEvent writes it: formatted, and cut to 255 characters.
void FormatEventMessage(char (&message)[256], const char* format, va_list arguments);

// Finds the all-users desktop and this executable's folder, and stores both
// under the product key. Returns 1 on success, 0 on the first failing step.
int DiscoverFolders();
// The all-users desktop directory, as the shell names it; false when not found.
bool GetCommonDesktop(PathBuffer& folder);
// Cuts g_appFolder just after its last backslash. Always returns 1.
int StripToFolder();
// The executable's full path. False, leaving path empty, when the platform
// cuts it short (under Wine the cut path is not even terminated).
bool GetExecutablePath(PathBuffer& path);

// The product key's string values.
int WriteSetting(const char* value, const char* name);
int ReadSetting(const char* name, char* buffer);

// Service entry and control handler, run by the service control dispatcher.
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceCtrlHandler(DWORD control);
// ServiceMain's work once the service runs: reads the folders back and runs
// the watcher until it is stopped, unless a stop came first; then reports
// the stopped state.
void RunService();
// Set by ServiceMain once its last entry is written, so that the process
// entry does not end the process under it.
bool ServiceMainFinished();

// What -install sets beside the command line: the description (GBK bytes),
// the privileges the service keeps (a multi-string), and the recovery: a
// service process that ends abnormally (a crash, a kill by another program)
// is started again a minute later, for its first two failures in a day; a
// third is left alone, so that a service that cannot run does not loop.
extern char kServiceDescription[];
extern char kRequiredPrivileges[];
constexpr DWORD kRestartDelayMs = 60 * 1000;
constexpr DWORD kFailureCountResetS = 24 * 60 * 60;

// Who other than the system, the administrators, Windows' own installer, the
// service's own SID and (where it has no unelevated twin, rights_rule.h) the
// installing account may swap path (a file or folder) or what is in it:
// rename, delete or re-own it, change its rights, delete its children, and
// with write also put files in it or change it; inherited: rules that only
// children inherit count too. Empty when no one; else who, in words (a link
// or junction, or rights that cannot be read, are named as well).
std::string WhoElseMayChange(const std::string& path, bool write, bool inherited);
// The first folder holding path, or above it up to the drive's root, that
// someone else may swap (folders not made yet are passed over), with who in
// *who; empty when there is none.
std::string FolderOthersMaySwap(const std::string& path, std::string* who);
// Empty unless exePath, made full and long, lies in a user's profile (or the
// folder of all profiles, the public or the default one) as the machine's
// profile list names them; else why, naming the profile and what to do. An
// exe whose path cannot be made long, or a list that cannot be read, is
// refused too.
std::string InUserProfile(const char* exePath);
// Whether the system account may run the exe at exePath: it lies in no
// user's profile, and no one but those trusted may change it, or swap its
// folder or one above it. False with why, the words that follow "Service
// not installed: " in the event log.
bool ExecutableIsSafe(const char* exePath, std::string* why);

// The management commands of the command line.
bool IsServiceInstalled();
// Keeps the service's record of its checks, if any, for the next
// InstallService that creates the service; -install calls it before it
// removes the old one.
void KeepRecordForReinstall();
// Whether this exe may be registered from where it lies; logs why not.
// -install asks before it removes an installed service, so that a refusal
// leaves the registration there was (an installer's upgrade then rolls
// back to a service that still runs).
bool PlaceIsSafeToInstall();
// Creates the service from this exe; the caller has asked
// PlaceIsSafeToInstall first.
int InstallService();
int UninstallService();
int StartInstalledService();
int StopRunningService();

// Limits every later library load by name to the system folder, so that a
// DLL planted beside the executable (a folder other programs may write to) is
// never loaded into the service. Returns 1 when the limit is in force.
int RestrictLibrarySearch();
// Whether RestrictLibrarySearch put the limit in force.
bool LibrarySearchLimited();

// Turns off what the process never needs: starting programs, legacy
// extension points, images from remote or low-integrity places, libraries
// found outside the system folder first. Where the platform lacks a policy
// it is left as it is.
void TurnOnProcessMitigations();

// The process entry: folders, then one switch or the service dispatcher.
int RunProcess(int argc, char** argv);
