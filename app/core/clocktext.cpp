#include "app/core/clocktext.h"

#include <cmath>
#include <cstdio>

std::string FormatClock(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02d:%02d", static_cast<long long>(seconds / 3600), int(seconds / 60 % 60),
                int(seconds % 60));
  return text;
}

int64_t RoundedSeconds(int64_t microseconds) {
  // Whole seconds and the remainder in integers, so large values keep their precision.
  int64_t whole = microseconds / 1000000;
  int64_t rest = microseconds % 1000000;
  if (rest < 0) {
    rest += 1000000;
    --whole;
  }
  if (rest > 500000 || (rest == 500000 && whole % 2 != 0)) ++whole;
  return whole;
}
