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
