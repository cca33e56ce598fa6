#include "watcher/watcher_internal.h"

std::int64_t FirstCheckCounter(std::int32_t checkInterval) {
  return static_cast<std::int64_t>(checkInterval) - 4;
}

bool AdvanceTimer(std::int64_t* counter, std::int32_t interval) {
  const std::int64_t before = *counter;
  // The counter never exceeds the largest interval, so the increment stays
  // far inside the 64-bit range.
  *counter = before + 1;
  if (before < interval) return false;
  *counter = 0;
  return true;
}

bool CheckOnThisPass(std::int64_t* counter, std::int32_t interval, bool asked) {
  const bool scheduled = AdvanceTimer(counter, interval);
  return scheduled || asked;
}

std::int64_t PassesToNextCheck(std::int64_t counter, std::int32_t interval) {
  // The timer fires on the pass that finds the counter at the interval or above.
  return counter >= interval ? 1 : interval - counter + 1;
}

bool AdmitAskedCheck(AskedCheckGate* gate, std::uint64_t nowMs) {
  if (gate->honouredAny && nowMs - gate->lastHonouredMs < kAskedCheckGapMs) return false;
  gate->honouredAny = true;
  gate->lastHonouredMs = nowMs;
  return true;
}
