// Answers that must change nothing, and a refused port.
#include <windows.h>

#include <cstdint>
#include <string>

#include "selftest/http_server.h"
#include "selftest/kit_pc.h"
#include "selftest/kit_report.h"
#include "selftest/scenario_steps.h"
#include "selftest/scenarios.h"
#include "watcher/check_record.h"

namespace {

// A check held by a silent server ends at the step's ten-second time-out
// and the next one follows at the interval: well within this. A check held
// until the one-minute deadline of the whole check is not.
const DWORD kSilentCheckBoundMs = 40000;
// With an interval of one pass, checks come every two seconds or so; a
// service that stalls after a failed connection misses this by far.
const DWORD kResumedChecksBoundMs = 20000;

std::uint64_t UtcSecondsNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  return ticks / 10000000ULL - 11644473600ULL;  // from 1601 to 1970
}

// Whether the service's own record says outcome, since at or after since.

// Whether the service's own record says outcome, since at or after since.
bool RecordSays(const char* outcome, std::uint64_t since) {
  CheckRecord record;
  return ReadCheckRecord(&record) && record.outcome == outcome && record.since >= since;
}

}  // namespace

void CheckQuietAnswers() {
  // Each carries a whole document of a newer version: the answer must be
  // refused for what it is, not for its body.
  SetBaitDocument(VersionDocument("99.0"));
  const struct {
    ServerMode mode;
    const char* label;
    const char* what;
    DWORD boundMs;
  } answers[] = {
      {ServerMode::kErrorXml, "Answer: 404 with XML",
       "two checks of a 404 carrying a newer document, nothing written", kUpdateBoundMs},
      {ServerMode::kSignInPage, "Answer: sign-in page",
       "two checks of an HTML page around a newer document, nothing written", kUpdateBoundMs},
      {ServerMode::kEndless, "Answer: endless body",
       "two checks of a newer document followed by endless white space, nothing written",
       kUpdateBoundMs},
      {ServerMode::kSilent, "Answer: silent server",
       "the check ended at the step time-out, and the next one came; nothing written",
       kSilentCheckBoundMs},
  };
  for (const auto& answer : answers) {
    if (Interrupted()) return;
    const Snapshot before = TakeSnapshot();
    SetServerMode(answer.mode);
    // The first request may already be under way: two more after it.
    const bool checked = WaitForChecks(1, kUpdateBoundMs) && WaitForChecks(1, answer.boundMs);
    ReportQuiet(answer.label, before, checked, answer.what);
  }
  ServeStoredDocument();
}

// The refused port: the service's own record must show a check that met
// the refusal, for nothing at a server can; then the port answers, and the
// checks must go on at the interval.
void CheckRefusedPort() {
  const int refusing = DeadPort();
  WriteConfig(Url(refusing), 1, 1);
  const std::uint64_t started = UtcSecondsNow();
  if (!Restart()) {
    Report("Answer: refused port", Verdict::kFail, "the service did not start again");
    return;
  }
  const Snapshot before = TakeSnapshot();
  const bool refused =
      WaitFor([started] { return RecordSays("ConnectionRefused", started); }, kUpdateBoundMs);
  const std::string written = WrittenSince(before);
  bool resumed = false;
  if (refused && written.empty() && ListenAlso(refusing) == refusing) {
    resumed = WaitForChecks(2, kResumedChecksBoundMs, refusing);
  }
  const bool pass = refused && written.empty() && resumed && ServiceState() == SERVICE_RUNNING;
  Report("Answer: refused port", pass ? Verdict::kPass : Verdict::kFail, "%s%s",
         !refused           ? "the service's record shows no check that met the refusal"
         : !written.empty() ? "written meanwhile: "
         : !resumed         ? "once the port answered, no two checks came within 20 s"
         : pass             ? "the record shows the refusal, nothing written, and the checks "
                              "went on once the port answered"
                            : "the service stopped",
         refused && !written.empty() ? written.c_str() : "");
  WriteConfig(Url(ServerPort()), 1, 1);
  Restart();
}
