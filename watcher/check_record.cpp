#include "watcher/check_record.h"

#include <windows.h>

#include <cstdio>
#include <ctime>

namespace {

#define VEXLO_COUNT_OUTCOME(name, words) +1
constexpr int kOutcomeCount = 0 VEXLO_CHECK_OUTCOMES(VEXLO_COUNT_OUTCOME);
#undef VEXLO_COUNT_OUTCOME

// Times a record may hold: from 2000 to 2200. Anything else was not written
// by the service.
const std::uint64_t kEarliest = 946684800;
const std::uint64_t kLatest = 7258118400;
const std::uint64_t kEarliestMs = kEarliest * 1000;
const std::uint64_t kLatestMs = kLatest * 1000;
// The most passes between two scheduled checks: the largest interval and one.
const std::uint64_t kMostPassesToNext = 2147483648ull;

// What the record holds as this process last wrote or read it.
CheckRecord s_record;
bool s_recordKnown = false;

bool IsOutcomeName(const std::string& text) {
  for (int i = 0; i < kOutcomeCount; ++i) {
    if (text == CheckOutcomeName(static_cast<CheckOutcome>(i))) return true;
  }
  return false;
}

std::string ReadText(HKEY key, const char* name, std::size_t longest) {
  char text[kMaxRouteText + 2];
  DWORD type = 0;
  DWORD size = sizeof text;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ || size == 0 || size > longest + 1 || text[size - 1] != '\0') {
    return std::string();
  }
  // The service writes plain ASCII: anything else (a line end, a terminal's
  // escape sequence) was planted.
  for (DWORD i = 0; i + 1 < size; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte >= 0x7F) return std::string();
  }
  return std::string(text, size - 1);
}

std::uint64_t ReadNumber(HKEY key, const char* name, std::uint64_t lowest, std::uint64_t highest) {
  std::uint64_t number = 0;
  DWORD type = 0;
  DWORD size = sizeof number;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) !=
          ERROR_SUCCESS ||
      type != REG_QWORD || size != sizeof number || number < lowest || number > highest) {
    return 0;
  }
  return number;
}

std::uint64_t ReadTime(HKEY key, const char* name) {
  return ReadNumber(key, name, kEarliest, kLatest);
}

bool WriteText(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

bool WriteTime(HKEY key, const char* name, std::uint64_t seconds) {
  return RegSetValueExA(key, name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&seconds),
                        sizeof seconds) == ERROR_SUCCESS;
}

}  // namespace

bool ReadCheckRecord(CheckRecord* record) {
  *record = CheckRecord();
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCheckRecordKey, 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  record->outcome = ReadText(key, kOutcomeValue, 64);
  if (!IsOutcomeName(record->outcome)) record->outcome.clear();
  record->since = ReadTime(key, kSinceValue);
  record->route = ReadText(key, kRouteValue, kMaxRouteText);
  record->stored = ReadTime(key, kStoredValue);
  RegCloseKey(key);
  return true;
}

bool ReadAskedCheck(AskedCheck* asked) {
  *asked = AskedCheck();
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCheckRecordKey, 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  asked->started = ReadNumber(key, kAskedStartedValue, kEarliestMs, kLatestMs);
  asked->outcome = ReadText(key, kAskedOutcomeValue, 64);
  if (!IsOutcomeName(asked->outcome)) asked->outcome.clear();
  asked->route = ReadText(key, kAskedRouteValue, kMaxRouteText);
  asked->passesToNext = ReadNumber(key, kAskedNextValue, 1, kMostPassesToNext);
  asked->ended = ReadNumber(key, kAskedEndedValue, kEarliestMs, kLatestMs);
  RegCloseKey(key);
  return true;
}

std::uint64_t MillisecondsNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  // 100-nanosecond units since 1601.
  return (ticks - 116444736000000000ull) / 10000;
}

std::uint64_t NoteAskedCheckStarted() {
  const std::uint64_t now = MillisecondsNow();
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCheckRecordKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
    WriteTime(key, kAskedStartedValue, now);
    RegCloseKey(key);
  }
  return now;
}

void NoteAskedCheck(std::uint64_t started, CheckOutcome verdict, const std::string& route,
                    std::int64_t passesToNext) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCheckRecordKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    return;
  }
  // The end goes last, and only after the rest was written: a reader takes
  // the answer as whole once the end is no earlier than the start.
  const std::uint64_t ended = MillisecondsNow();
  if (WriteText(key, kAskedOutcomeValue, CheckOutcomeName(verdict)) &&
      WriteText(key, kAskedRouteValue, route.substr(0, kMaxRouteText)) &&
      WriteTime(key, kAskedNextValue, static_cast<std::uint64_t>(passesToNext))) {
    WriteTime(key, kAskedEndedValue, ended < started ? started : ended);
  }
  RegCloseKey(key);
}

void NoteCheck(CheckOutcome verdict, const std::string& route, bool storedDocument) {
  if (!s_recordKnown) {
    ReadCheckRecord(&s_record);
    s_recordKnown = true;
  }
  const std::uint64_t now = static_cast<std::uint64_t>(std::time(nullptr));
  CheckRecord next = s_record;
  next.outcome = CheckOutcomeName(verdict);
  if (next.outcome != s_record.outcome || next.since == 0) next.since = now;
  next.route = route.substr(0, kMaxRouteText);
  if (storedDocument) next.stored = now;
  if (next.outcome == s_record.outcome && next.since == s_record.since &&
      next.route == s_record.route && next.stored == s_record.stored) {
    return;  // the steady state writes nothing
  }
  // Never created here: without the service's key (a process outside the
  // service) there is no record to keep.
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCheckRecordKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    return;
  }
  bool written = WriteText(key, kOutcomeValue, next.outcome) &&
                 WriteTime(key, kSinceValue, next.since) && WriteText(key, kRouteValue, next.route);
  if (next.stored != 0) written = WriteTime(key, kStoredValue, next.stored) && written;
  RegCloseKey(key);
  // A record that could not be written is read again at the next check.
  s_record = next;
  s_recordKnown = written;
}

std::string UtcText(std::uint64_t seconds) {
  // 100-nanosecond units since 1601, as the platform counts.
  const ULONGLONG ticks = (seconds + 11644473600ull) * 10000000ull;
  const FILETIME file = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME time;
  if (!FileTimeToSystemTime(&file, &time)) return "an unreadable time";
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", time.wYear, time.wMonth,
                time.wDay, time.wHour, time.wMinute, time.wSecond);
  return text;
}
