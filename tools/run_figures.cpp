#include "run_figures.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <system_error>

namespace figures {

Latency latency_of(std::vector<uint64_t> d) {
  Latency l;
  l.count = d.size();
  if (d.empty()) {
    return l;
  }
  std::sort(d.begin(), d.end());
  auto rank = [&](double p) {
    const size_t k = static_cast<size_t>(std::ceil(p * static_cast<double>(d.size())));
    return static_cast<double>(d[std::min(d.size(), std::max<size_t>(k, 1)) - 1]) / 1e3;
  };
  l.p50_us = rank(0.50);
  l.p99_us = rank(0.99);
  l.max_us = static_cast<double>(d.back()) / 1e3;
  return l;
}

void JsonObject::key(const std::string& k) {
  if (!body_.empty()) {
    body_ += ",";
  }
  body_ += "\"" + k + "\":";
}

JsonObject& JsonObject::number(const std::string& k, double value) {
  key(k);
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", std::isfinite(value) ? value : 0.0);
  body_ += text;
  return *this;
}

JsonObject& JsonObject::integer(const std::string& k, long long value) {
  key(k);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::text(const std::string& k, const std::string& value) {
  key(k);
  body_ += "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\') {
      body_ += '\\';
    }
    if (static_cast<unsigned char>(c) >= 0x20) {
      body_ += c;
    }
  }
  body_ += "\"";
  return *this;
}

JsonObject& JsonObject::object(const std::string& k, const JsonObject& value) {
  key(k);
  body_ += value.str();
  return *this;
}

JsonObject to_json(const Latency& l) {
  JsonObject o;
  o.integer("bands", static_cast<long long>(l.count))
      .number("p50_us", l.p50_us)
      .number("p99_us", l.p99_us)
      .number("max_us", l.max_us);
  return o;
}

std::string progress_line(long pages_done, long pages_total, long bands_done, long bands_total,
                          double elapsed_s, int width) {
  const double fraction =
      bands_total > 0 ? std::min(1.0, static_cast<double>(bands_done) / bands_total) : 0.0;
  const double rate = elapsed_s > 0 ? static_cast<double>(bands_done) / elapsed_s : 0.0;
  char eta[32] = "--:--";
  if (rate > 0 && bands_done < bands_total) {
    const long s = std::lround(static_cast<double>(bands_total - bands_done) / rate);
    std::snprintf(eta, sizeof eta, "%ld:%02ld", s / 60, s % 60);
  } else if (bands_done >= bands_total) {
    std::snprintf(eta, sizeof eta, "0:00");
  }
  char tail[160];
  std::snprintf(tail, sizeof tail, " %3d%% pages %ld/%ld bands %ld/%ld %.0f bands/s ETA %s",
                static_cast<int>(fraction * 100), pages_done, pages_total, bands_done, bands_total,
                rate, eta);
  // The bar takes what the terminal has left, between 10 and 40 columns.
  const int bar = std::clamp(width - static_cast<int>(std::string(tail).size()) - 3, 10, 40);
  const int filled = static_cast<int>(fraction * bar);
  std::string line = "[";
  for (int i = 0; i < bar; ++i) {
    line += i < filled ? '=' : (i == filled ? '>' : ' ');
  }
  return line + "]" + tail;
}

bool is_terminal(int fd) {
  return isatty(fd) == 1;
}

ProgressLine::ProgressLine(const Progress& progress, FILE* stream, bool enabled)
    : progress_(progress), stream_(stream) {
  if (enabled) {
    try {
      thread_ = std::thread([this] { loop(); });
    } catch (const std::system_error&) {
      // No progress line when the system has no thread to spare; the run goes on.
    }
  }
}

ProgressLine::~ProgressLine() {
  stop();
}

void ProgressLine::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void ProgressLine::loop() {
  using clock = std::chrono::steady_clock;
  const auto begin = clock::now();
  std::unique_lock lock(mutex_);
  // Short runs show nothing: the first line comes after a second.
  if (wake_.wait_until(lock, begin + std::chrono::seconds(1), [this] { return stopping_; })) {
    return;
  }
  while (!stopping_) {
    winsize ws{};
    const int width =
        ioctl(fileno(stream_), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
    const double elapsed = std::chrono::duration<double>(clock::now() - begin).count();
    const std::string line =
        progress_line(progress_.pages_done.load(std::memory_order_relaxed), progress_.pages_total,
                      progress_.bands_done.load(std::memory_order_relaxed), progress_.bands_total,
                      elapsed, width - 1);
    std::fprintf(stream_, "\r%s\033[K", line.c_str());
    std::fflush(stream_);
    shown_ = true;
    wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopping_; });
  }
  if (shown_) {
    std::fputs("\r\033[K", stream_);
    std::fflush(stream_);
  }
}

std::string duration_text(uint64_t ns) {
  if (ns == 0) {
    return "0";
  }
  static const struct {
    uint64_t scale;
    const char* unit;
  } kUnits[] = {{1000000000u, "s"}, {1000000u, "ms"}, {1000u, "us"}, {1u, "ns"}};
  for (const auto& u : kUnits) {
    if (ns % u.scale == 0) {
      return std::to_string(ns / u.scale) + u.unit;
    }
  }
  return std::to_string(ns) + "ns";
}

}  // namespace figures
