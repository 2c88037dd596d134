// Pieces of the device-code sign-in with their surroundings passed in, for tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "api/api_error.h"
#include "login/device_login.h"
#include "platform/platform.h"

namespace qel::login_detail {

using Clock = std::chrono::steady_clock;

// The monotonic clock and the sleep the polling uses.
struct PollClock {
  std::function<Clock::time_point()> now;
  std::function<void(std::uint64_t seconds)> sleep;
};
PollClock system_clock();

// `now` plus `seconds`, or the clock's last instant when that cannot be represented.
Clock::time_point deadline_after(Clock::time_point now, std::uint64_t seconds);

// The pause before the next poll: the interval, but never more than the whole seconds left
// before the deadline plus one, so an absurd interval cannot hold the sign-in past it.
std::uint64_t pause_before_poll(std::uint64_t interval, Clock::time_point now,
                                Clock::time_point deadline);

// Polls by the sign-in's rules until a token comes, the deadline passes or a poll is
// refused for good; the deadline counts from the call. Yields the token or the error text.
Result<std::string> poll_for_token(const DeviceAuthorization& auth, bool romanian,
                                   const PollClock& clock,
                                   const std::function<ApiResult<Json>()>& poll);

// The computer name from the environment (as `env` reads it), the file, then the program.
std::string computer_name_from(const std::function<platform::EnvVar(const char*)>& env,
                               const std::filesystem::path& hostname_file);

}  // namespace qel::login_detail
