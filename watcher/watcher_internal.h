// Pure pieces of the update watch, kept apart so that they are tested without
// files, clocks or Windows.
#pragma once

#include <cstddef>
#include <cstdint>

// Decimal text as atoi reads it (leading whitespace, optional sign, digits up
// to the first other character), saturating at the ends of the 32-bit range.
std::int32_t ParseInterval(const char* text);

// The check timer first fires on pass 5: its counter starts 4 below the interval.
std::int64_t FirstCheckCounter(std::int32_t checkInterval);

// One pass of a timer: returns whether it fires. The counter is 64-bit so that
// intervals at either end of the 32-bit range keep the same schedule.
bool AdvanceTimer(std::int64_t* counter, std::int32_t interval);

// Whether a pass checks: when the check timer fires, or when a check was asked
// for. An asked check moves the timer no further than a pass without one, so
// the schedule goes on as if none had been asked.
bool CheckOnThisPass(std::int64_t* counter, std::int32_t interval, bool asked);

// How many passes from now until the check timer fires, for the counter as
// the last pass left it: 1 means the next pass.
std::int64_t PassesToNextCheck(std::int64_t counter, std::int32_t interval);

// Asked checks are honoured at most once in any ten seconds: a program that
// asks in a loop makes the service check no more than six times a minute.
constexpr std::uint64_t kAskedCheckGapMs = 10000;

// The requests honoured so far, on a clock in milliseconds that never goes back.
struct AskedCheckGate {
  bool honouredAny = false;
  std::uint64_t lastHonouredMs = 0;
};

// Whether a request to check now, arriving at nowMs, is honoured; the rest
// are ignored, and an ignored request does not hold the next one off longer.
bool AdmitAskedCheck(AskedCheckGate* gate, std::uint64_t nowMs);

// Whether the first whitespace-separated word of the bytes is exactly "0".
// Only the bytes given are looked at; a word cut off by the end still counts.
bool IsPendingMarker(const char* bytes, std::size_t length);
