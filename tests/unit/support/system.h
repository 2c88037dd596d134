// The few things the test helpers need from the system itself. Each platform has its own
// implementation (support/posix, support/windows), chosen by the build.
#pragma once

#include <optional>
#include <string>

namespace qel::test::system {

// An environment variable as the platform's own API sees it (GetEnvironmentVariableW on
// Windows), in its lossless text form: bytes on POSIX, WTF-8 on Windows. None when unset.
std::optional<std::string> get_env(const std::string& name);
// Sets it (an empty value included) or, given none, removes it.
void put_env(const std::string& name, const std::optional<std::string>& value);

// True when the tests run in Wine rather than on Windows itself.
bool under_wine();

// For a child process of the tests (support/interrupts.h) only: standard error becomes a
// terminal `columns` wide (POSIX: a new pseudo-terminal; Windows: the child's own console),
// or the null device. False when that cannot be done.
bool stderr_to_terminal(int columns);
bool stderr_to_null();

}  // namespace qel::test::system
