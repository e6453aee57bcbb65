// Durations on the tools' command lines: "500us", "2ms", "1.5s", "250ns"; a number without
// a unit is microseconds, as in the simulator's own settings.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <string>

// The duration in nanoseconds; -1 when malformed, negative or above 1000 s.
inline long long parse_time_ns(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || !(v >= 0) || v > 1e12) {
    return -1;
  }
  const std::string unit(end);
  double scale;
  if (unit == "ns") {
    scale = 1;
  } else if (unit.empty() || unit == "us") {
    scale = 1e3;
  } else if (unit == "ms") {
    scale = 1e6;
  } else if (unit == "s") {
    scale = 1e9;
  } else {
    return -1;
  }
  const double ns = v * scale + 0.5;
  return ns > 1e12 ? -1 : static_cast<long long>(ns);
}
