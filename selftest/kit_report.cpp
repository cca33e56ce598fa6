#include "selftest/kit_report.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "check/console.h"
#include "selftest/kit_pc.h"

namespace {

int s_counts[3] = {0, 0, 0};

const char* Word(Verdict verdict) {
  switch (verdict) {
    case Verdict::kPass:
      return "PASS";
    case Verdict::kFail:
      return "FAIL";
    default:
      return "NOT SHOWN";
  }
}

}  // namespace

void Report(const char* label, Verdict verdict, const char* format, ...) {
  if (Interrupted()) return;
  char reason[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(reason, sizeof reason, format, arguments);
  va_end(arguments);
  ++s_counts[static_cast<int>(verdict)];
  Say("%-30s %-9s %s\n", label, Word(verdict), reason);
}

void ReportInterruption() {
  ++s_counts[static_cast<int>(Verdict::kFail)];
  Say("%-30s %-9s %s\n", "Run: interrupted", Word(Verdict::kFail),
      "by Ctrl+C or a closed console: the rest was not run (no fault of the service)");
}

bool PlatformLacksQuestion(unsigned long error) {
  return error == ERROR_INVALID_LEVEL || error == ERROR_INVALID_PARAMETER ||
         error == ERROR_NOT_SUPPORTED;
}

bool AnyFailed() { return s_counts[static_cast<int>(Verdict::kFail)] != 0; }

void ReportTotals() {
  Say("\n%d passed, %d failed, %d not shown\n", s_counts[0], s_counts[1], s_counts[2]);
}
