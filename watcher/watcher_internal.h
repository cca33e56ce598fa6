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

// Whether the first whitespace-separated word of the bytes is exactly "0".
// Only the bytes given are looked at; a word cut off by the end still counts.
bool IsPendingMarker(const char* bytes, std::size_t length);
