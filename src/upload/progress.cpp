#include "upload/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <utility>

namespace qel {

namespace {

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
                            std::chrono::nanoseconds elapsed, std::optional<std::size_t> width) {
  if (position > total) position = total;
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

  // The fields after the bar, each with the blank before it; all ASCII, one column a byte.
  const std::string fields[] = {
      " " + format_binary_size(position) + "/" + format_binary_size(total),
      " " + format_binary_size(static_cast<std::uint64_t>(rate)) + "/s",
      " ETA " + eta,
  };
  std::size_t kept = std::size(fields);
  std::size_t cells = BAR_CELLS;
  if (width) {
    const std::size_t room = *width > 0 ? *width - 1 : 0;
    for (;; --kept) {
      std::size_t text = 0;
      for (std::size_t i = 0; i < kept; ++i) text += fields[i].size();
      if (kept == 0 || text + MIN_BAR_CELLS <= room) {
        cells = std::min<std::size_t>(BAR_CELLS, room - std::min(text, room));
        break;
      }
    }
  }

  const std::size_t done =
      total == 0 ? cells
                 : static_cast<std::size_t>(std::floor(static_cast<double>(position) *
                                                       static_cast<double>(cells) /
                                                       static_cast<double>(total)));
  std::string line;
  line.reserve(cells * DONE_CELL.size() + 64);
  for (std::size_t i = 0; i < cells; ++i) line += i < done ? DONE_CELL : TODO_CELL;
  for (std::size_t i = 0; i < kept; ++i) line += fields[i];
  return line;
}

ProgressBar::ProgressBar() = default;

ProgressBar::ProgressBar(std::uint64_t total, ProgressSink sink, ProgressClock clock,
                         ProgressWidth width)
    : hidden_(false),
      total_(total),
      sink_(std::move(sink)),
      clock_(std::move(clock)),
      width_(std::move(width)) {
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
  // The width is asked at each draw: the terminal may have been resized meanwhile.
  const std::optional<std::size_t> width = width_ ? width_() : std::nullopt;
  sink_("\r" + render_progress(position_, total_, now - start_, width) + "\x1B[K");
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
