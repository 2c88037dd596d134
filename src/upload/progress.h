// The upload's progress bar on standard error: one line, redrawn in place.
//
// Line: "{bar:30} {bytes}/{total_bytes} {binary_bytes_per_sec} ETA {eta}", the bar drawn
// with "█" for the part done and "░" for the rest. Sizes are in units of 1024 ("512 B",
// "1.50 MiB"), the rate is the average since the bar was made ("3.25 MiB/s"), and the time
// left is "42s", "1m 5s" or "2h 3m" ("-" while the rate is still unknown).
//
// In a terminal too narrow for that line, a line that wraps could not be redrawn in place
// (a carriage return goes back only to the start of its last row), so the line is kept
// within the width: first the bar is shortened (down to MIN_BAR_CELLS), then the trailing
// fields are left out ("ETA", then the rate, then the sizes), each time with the bar as long
// as fits again.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace qel {

// Monotonic time since any fixed point; injected so tests can render on a fake clock.
using ProgressClock = std::function<std::chrono::nanoseconds()>;
using ProgressSink = std::function<void(std::string_view)>;
// The width in columns of the terminal the sink draws on, asked at each draw; none: unknown.
using ProgressWidth = std::function<std::optional<std::size_t>()>;

inline constexpr int BAR_CELLS = 30;
inline constexpr int MIN_BAR_CELLS = 10;

ProgressClock steady_progress_clock();

// "512 B", "1.00 KiB", "1.50 MiB": whole bytes below 1024, else two decimals.
std::string format_binary_size(std::uint64_t bytes);
// "42s", "1m 5s", "2h 3m".
std::string format_eta(std::uint64_t seconds);
// The line for `position` of `total` bytes after `elapsed` (no carriage return), within a
// terminal `width` columns wide when that is known: at most width - 1 columns, since a line
// that reaches the last column wraps on some terminals.
std::string render_progress(std::uint64_t position, std::uint64_t total,
                            std::chrono::nanoseconds elapsed,
                            std::optional<std::size_t> width = std::nullopt);

// Thread-safe. Draws only when advanced, at most 20 times a second, nothing before the
// first advance; a hidden bar draws nothing at all.
class ProgressBar {
 public:
  static constexpr std::chrono::milliseconds MIN_REDRAW_INTERVAL{50};

  // A bar that draws nothing.
  ProgressBar();
  // A visible bar of `total` bytes writing to `sink`, kept within `width` when it is known.
  ProgressBar(std::uint64_t total, ProgressSink sink, ProgressClock clock,
              ProgressWidth width = {});

  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void advance(std::uint64_t bytes);
  // Moves to the end and erases the line, so nothing of the bar stays on screen.
  void finish();

  std::uint64_t position() const;

 private:
  bool hidden_ = true;
  std::uint64_t total_ = 0;
  ProgressSink sink_;
  ProgressClock clock_;
  ProgressWidth width_;
  std::chrono::nanoseconds start_{};

  mutable std::mutex mutex_;
  std::uint64_t position_ = 0;
  bool drawn_ = false;
  bool finished_ = false;
  std::chrono::nanoseconds last_draw_{};
};

}  // namespace qel
