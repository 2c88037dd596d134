#include "upload/progress.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace qel {

namespace {

constexpr int BAR_WIDTH = 30;
constexpr std::string_view DONE_CELL = "\xE2\x96\x88";  // █
constexpr std::string_view TODO_CELL = "\xE2\x96\x91";  // ░
// Back to the start of the line, and clear from there to its end.
constexpr std::string_view ERASE_LINE = "\r\x1B[K";

std::string two_decimals(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

}  // namespace

ProgressClock steady_progress_clock() {
  return [] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
  };
}

std::string format_binary_size(std::uint64_t bytes) {
  static constexpr const char* UNITS[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  // Step up while the value would print as 1024.00 or more in this unit.
  while (unit + 1 < std::size(UNITS) && value >= 1024.0 - 0.005) {
    value /= 1024.0;
    ++unit;
  }
  return two_decimals(value) + " " + UNITS[unit];
}

std::string format_eta(std::uint64_t seconds) {
  if (seconds < 60) return std::to_string(seconds) + "s";
  if (seconds < 3600) {
    return std::to_string(seconds / 60) + "m " + std::to_string(seconds % 60) + "s";
  }
  return std::to_string(seconds / 3600) + "h " + std::to_string(seconds % 3600 / 60) + "m";
}

std::string render_progress(std::uint64_t position, std::uint64_t total,
                            std::chrono::nanoseconds elapsed) {
  if (position > total) position = total;
  const int done = total == 0 ? BAR_WIDTH
                              : static_cast<int>(std::floor(static_cast<double>(position) *
                                                            BAR_WIDTH / static_cast<double>(total)));
  std::string line;
  line.reserve(BAR_WIDTH * 3 + 64);
  for (int i = 0; i < BAR_WIDTH; ++i) line += i < done ? DONE_CELL : TODO_CELL;

  const double seconds = std::chrono::duration<double>(elapsed).count();
  const double rate = seconds > 0 ? static_cast<double>(position) / seconds : 0.0;

  std::string eta;
  if (position >= total) {
    eta = "0s";
  } else if (rate > 0) {
    eta = format_eta(static_cast<std::uint64_t>(std::ceil(static_cast<double>(total - position) / rate)));
  } else {
    eta = "-";
  }

  line += ' ';
  line += format_binary_size(position);
  line += '/';
  line += format_binary_size(total);
  line += ' ';
  line += format_binary_size(static_cast<std::uint64_t>(rate));
  line += "/s ETA ";
  line += eta;
  return line;
}

ProgressBar::ProgressBar() = default;

ProgressBar::ProgressBar(std::uint64_t total, ProgressSink sink, ProgressClock clock)
    : hidden_(false), total_(total), sink_(std::move(sink)), clock_(std::move(clock)) {
  start_ = clock_();
}

void ProgressBar::advance(std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  position_ += bytes;
  if (hidden_ || finished_) return;
  const auto now = clock_();
  if (drawn_ && now - last_draw_ < MIN_REDRAW_INTERVAL) return;
  drawn_ = true;
  last_draw_ = now;
  // Drawn under the lock so that lines from several workers never interleave.
  sink_("\r" + render_progress(position_, total_, now - start_) + "\x1B[K");
}

void ProgressBar::finish() {
  std::lock_guard lock(mutex_);
  position_ = total_;
  if (finished_) return;
  finished_ = true;
  if (!hidden_ && drawn_) sink_(ERASE_LINE);
}

std::uint64_t ProgressBar::position() const {
  std::lock_guard lock(mutex_);
  return position_;
}

}  // namespace qel
