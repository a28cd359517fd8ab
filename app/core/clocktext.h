// The clock texts of the preview: H:MM:SS of whole seconds.
#pragma once

#include <cstdint>
#include <string>

// Hours without leading zeros, minutes and seconds in two digits: 3725 gives "1:02:05". A
// negative value counts as 0.
std::string FormatClock(int64_t seconds);
// Microseconds to whole seconds, rounded to the nearest, halves to even (3725.5 s gives 3726,
// 3724.5 s gives 3724).
int64_t RoundedSeconds(int64_t microseconds);
