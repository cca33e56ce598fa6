// The service's own word on its checks: the outcome of its last check, since
// when that outcome has held, the way out it took, when a check last stored
// a document, and its answer to the last check someone asked for. Kept as
// values of the service's own registry key, which every user can read and
// only the system account and administrators can write, and which goes with
// the service when it is removed. Support staff read it through
// VexloCheck.exe, beside the tool's own check.
#pragma once

#include <cstdint>
#include <string>

#include "common/check_outcome.h"
#include "fetch/winhttp_request.h"

// Under HKEY_LOCAL_MACHINE.
constexpr char kCheckRecordKey[] = "SYSTEM\\CurrentControlSet\\Services\\VexloService";
constexpr char kOutcomeValue[] = "LastCheckOutcome";  // REG_SZ, the outcome's name
constexpr char kSinceValue[] = "LastCheckSince";      // REG_QWORD, seconds since 1970 UTC
constexpr char kRouteValue[] = "LastCheckRoute";      // REG_SZ, as RouteText says it
constexpr char kStoredValue[] = "LastStored";         // REG_QWORD, seconds since 1970 UTC

struct CheckRecord {
  std::string outcome;  // empty: none that can be read
  std::uint64_t since = 0;
  std::string route;
  std::uint64_t stored = 0;  // 0: never, or none that can be read
};

// The answer to the last check asked for (VexloCheck.exe --ask-service), in
// the same key: written only when someone asks, the started time first, so
// that the one who asked sees the check under way, and the ended time last,
// so that a reader never takes half an answer for a whole one. Its times are
// in milliseconds: a check begun earlier in the second of a request is never
// taken for its answer.
constexpr char kAskedStartedValue[] = "AskedCheckStarted";  // REG_QWORD, ms since 1970 UTC
constexpr char kAskedOutcomeValue[] = "AskedCheckOutcome";  // REG_SZ, the outcome's name
constexpr char kAskedRouteValue[] = "AskedCheckRoute";      // REG_SZ, as RouteText says it
// REG_QWORD, passes (about a second each) from the asked check to the next scheduled one
constexpr char kAskedNextValue[] = "AskedCheckNext";
constexpr char kAskedEndedValue[] = "AskedCheckEnded";  // REG_QWORD, ms since 1970 UTC

struct AskedCheck {
  std::uint64_t started = 0;  // 0: none that can be read
  std::string outcome;        // empty: none that can be read
  std::string route;
  std::uint64_t passesToNext = 0;  // 0: none that can be read
  std::uint64_t ended = 0;
};

// Where the service's record is written: called after each check with its
// verdict, and whether it stored a document. Writes only what changed since
// the record as it stands (read once per process); writes nothing when
// nothing changed, and nothing at all where the service's key is missing.
void NoteCheck(CheckOutcome verdict, const std::string& route, bool storedDocument);

// Milliseconds since 1970 UTC, as the asked check's times are kept.
std::uint64_t MillisecondsNow();

// The asked check's start, before its download; returns the time noted.
std::uint64_t NoteAskedCheckStarted();
// Its answer, once the check is over.
void NoteAskedCheck(std::uint64_t started, CheckOutcome verdict, const std::string& route,
                    std::int64_t passesToNext);

// Reads the record as it stands, trusting none of it: each field that is
// missing, of the wrong type or size, out of range, or (the outcome) not the
// name of an outcome is left empty or 0. False when the key cannot be read.
bool ReadCheckRecord(CheckRecord* record);
// The answer to the last asked check, by the same rules. A whole answer has
// every field and an end no earlier than its start.
bool ReadAskedCheck(AskedCheck* asked);

// Seconds since 1970 as "2026-12-09 14:02:11 UTC".
std::string UtcText(std::uint64_t seconds);
