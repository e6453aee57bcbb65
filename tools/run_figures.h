// pvgen-run's figures beside the band lines: latency percentiles, the summary as one JSON
// object, and the progress line for long runs on a terminal.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace figures {

struct Latency {
  size_t count = 0;
  double p50_us = 0;
  double p99_us = 0;
  double max_us = 0;
};

// Nearest-rank percentiles of the durations (nanoseconds).
Latency latency_of(std::vector<uint64_t> durations_ns);

// A JSON object written field by field, in the order added.
class JsonObject {
 public:
  JsonObject& number(const std::string& key, double value);
  JsonObject& integer(const std::string& key, long long value);
  JsonObject& text(const std::string& key, const std::string& value);
  JsonObject& object(const std::string& key, const JsonObject& value);
  std::string str() const { return "{" + body_ + "}"; }

 private:
  void key(const std::string& k);
  std::string body_;
};

JsonObject to_json(const Latency& l);

// What the progress line shows; the run updates it as bands and pages finish.
struct Progress {
  std::atomic<long> bands_done{0};
  std::atomic<long> pages_done{0};
  long bands_total = 0;
  long pages_total = 0;
};

// Formats one progress line, e.g.
//   [=========>          ]  45% pages 4/10 bands 1800/4000 2400 bands/s ETA 0:01
std::string progress_line(long pages_done, long pages_total, long bands_done, long bands_total,
                          double elapsed_s, int width);

// Redraws the progress line on `stream` a few times a second, from one second after start
// until stop(), which clears the line. Starts no thread when `enabled` is false.
class ProgressLine {
 public:
  ProgressLine(const Progress& progress, FILE* stream, bool enabled);
  ~ProgressLine();
  void stop();

 private:
  void loop();
  const Progress& progress_;
  FILE* stream_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool shown_ = false;
  std::thread thread_;
};

// A duration in the largest unit that shows it exactly: "0", "250ns", "100us", "1ms", "2s".
std::string duration_text(uint64_t ns);

// True when `fd` is a terminal.
bool is_terminal(int fd);

}  // namespace figures
