// The operating-system seam: everything outside src/platform reaches the system only
// through these functions. Implementations in src/platform/posix and src/platform/windows;
// the rules both share are in utf16.h and windows_rules.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace qel::platform {

namespace fs = std::filesystem;

// ---- process start ---------------------------------------------------------------

// Once at the top of main: signal dispositions and similar process-wide set-up.
void init_process();

// The process's arguments, program path first, as the parser receives them.
std::vector<std::string> process_arguments(int argc, char** argv);

// The operating system's name as the user agent shows it ("linux", "windows").
std::string_view os_name();
// The operating system's display name in the sign-in's client name ("Linux", "Windows").
std::string_view os_display_name();

// ---- console -------------------------------------------------------------------

bool stdin_is_terminal();
bool stdout_is_terminal();
bool stderr_is_terminal();

// True only when no other process shares the program's console (a double-click start).
bool is_own_console();

// Writes to standard output / standard error. Failures (a closed pipe) are ignored.
void write_stdout(std::string_view text);
void write_stderr(std::string_view text);
// The same for output that must not be lost unnoticed. Error: the system's error text, or
// "failed to write whole buffer" when the system took nothing.
Status write_stdout_checked(std::string_view text);
Status write_stderr_checked(std::string_view text);

// The longest line that read_secret and read_stdin_line take, its line end not counted:
// input that never ends a line must not grow the program without bound.
inline constexpr std::size_t MAX_LINE_SIZE = std::size_t{1} << 20;

// Asks for a secret: prompt on the terminal itself, no echo, one line. When standard input
// is not a terminal, no prompt; one line of standard input with CR and LF at its end removed.
// Errors: the system's error text, "stream did not contain valid UTF-8", or "the input line
// is longer than 1 MiB" (MAX_LINE_SIZE bytes).
Result<std::string> read_secret(std::string_view prompt);

// One line of standard input, line end included; none at end of input, on error, or when the
// line is longer than MAX_LINE_SIZE bytes.
std::optional<std::string> read_stdin_line();

// ---- environment -----------------------------------------------------------------

struct EnvVar {
  enum class State { unset, set, invalid } state = State::unset;
  std::string value;  // the value when set (valid UTF-8)
};

EnvVar get_env(const char* name);

// The value when the variable is set and valid UTF-8; none otherwise.
std::optional<std::string> env_text(const char* name);

// ---- errors and paths ---------------------------------------------------------------

// "{message} (os error {code})" for an operating-system error code.
std::string system_error_text(int code);
// The same for the calling thread's last error (errno on POSIX).
std::string last_error_text();

// A path as text for messages: invalid sequences (unpaired surrogates on Windows) become
// U+FFFD.
std::string path_text(const fs::path& path);
// A path's lossless text form: its bytes on POSIX, WTF-8 on Windows (an unpaired surrogate
// as the three bytes of its code point). Compared as bytes, it gives the order in which
// folder entries are sorted.
std::string name_bytes(const fs::path& name);
// The path that a text names; the inverse of name_bytes, so a command-line argument that is
// not valid Unicode still reaches the file system unchanged.
fs::path path_from_text(std::string_view text);

// ---- folders and files --------------------------------------------------------------

// The per-user roaming application-data folder; none when it cannot be had.
std::optional<fs::path> roaming_app_data();

// Creates `folder` and missing parents. `private_access` restricts new folders to the user.
Status create_folders(const fs::path& folder, bool private_access);

// Creates or truncates the file and writes `bytes`. `private_access` makes a new file
// readable by the user alone.
Status write_file(const fs::path& path, std::string_view bytes, bool private_access);

// Writes `bytes` to a new file in the folder of `path`, flushes it to the disk and only then
// puts it in the place of `path`, so a failed write (a full disk) leaves the old file whole;
// the new file is removed after a failure. The file is readable by the user alone.
// Error: the system's error text.
Status replace_file(const fs::path& path, std::string_view bytes);

// The whole file when it is a regular file of at most `max_size` bytes; anything else (a
// FIFO, a device, a folder) is refused without waiting for it. Errors: the system's error
// text, "not a regular file", or "the file is larger than {max_size} bytes".
Result<std::string> read_file(const fs::path& path, std::size_t max_size);

// True when the metadata of `path` can be read (links followed or not, per `follow`).
bool path_exists(const fs::path& path, bool follow);

// Deletes a file; a read-only file is deleted too. Error: the system's error text.
Status remove_file(const fs::path& path);

// The running program's own file.
Result<fs::path> executable_path();

enum class EntryKind { file, folder, link };

struct FileMeta {
  EntryKind kind = EntryKind::file;
  std::uint64_t size = 0;
};

// Metadata with links followed. Error: the system's error text.
Result<FileMeta> stat_path(const fs::path& path);

struct FolderEntry {
  fs::path name;  // the entry's own name
  EntryKind kind = EntryKind::file;
  std::uint64_t size = 0;  // as the listing reports it (links not followed)
};

// The folder's entries, "." and ".." left out, in the order the system reports them.
// A failure to open is an error with the system's error text; a failure to read a further
// entry ends the listing silently. An entry that vanished meanwhile is left out; one that
// cannot be examined at all (a folder readable but not searchable) fails the listing.
Result<std::vector<FolderEntry>> list_folder(const fs::path& folder);

// An open folder, closed when destroyed. A walk opens each sub-folder relative to its
// parent, so it reaches folders whose paths exceed the system's path length limit.
class Folder {
 public:
  Folder();
  Folder(Folder&& other) noexcept;
  Folder& operator=(Folder&& other) noexcept;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder();

  // Opens the folder at `path`, links followed. Error: the system's error text.
  static Result<Folder> open(const fs::path& path);
  // Opens the sub-folder `name` of this folder; a link in its place is refused.
  Result<Folder> open_child(const fs::path& name) const;
  // The entries, as list_folder reports them.
  Result<std::vector<FolderEntry>> entries() const;
  bool is_open() const { return state_ != nullptr; }

  struct State;  // each implementation's own

 private:
  explicit Folder(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The folder's canonical form (absolute, links resolved); none on any failure.
std::optional<fs::path> canonical_folder(const fs::path& folder);

// A file opened for reading, closed when destroyed.
class InputFile {
 public:
  InputFile();
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  static Result<InputFile> open(const fs::path& path);
  Status seek(std::uint64_t offset);
  // Reads until `size` bytes are in `buffer`; "failed to fill whole buffer" when the file
  // ends first, the system's error text when a read fails.
  Status read_exact(unsigned char* buffer, std::size_t size);

  struct State;  // each implementation's own

 private:
  explicit InputFile(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// ---- randomness ------------------------------------------------------------------

// Fills `buffer` from the system's generator. Error: the generator's description.
Status random_fill(unsigned char* buffer, std::size_t size);

// ---- processes -------------------------------------------------------------------

struct Command {
  std::string program;  // a bare name, looked up as the platform looks programs up
  // (on Windows with ".exe", in the program's own folder, the system folder, the Windows
  // folder, then PATH; never in the current folder)
  std::vector<std::string> args;
};

// Runs the program with no standard input and captures its standard output; waits for it.
// None when it cannot be started or waited for. The exit status is ignored.
std::optional<std::string> run_capture(const Command& command);

// Runs the program with `input` on a pipe to its standard input, output and errors to the
// null device, and waits. The exit code, or none when it did not start or the wait failed.
std::optional<int> run_with_input(const Command& command, std::string_view input);

// Starts the program detached (null standard streams, not waited for). True when it started.
bool spawn_detached(const Command& command);

// ---- interrupts and the terminal -----------------------------------------------------

// The exit code of a program ended by an interrupt (128 + SIGINT, as shells report it).
inline constexpr int INTERRUPTED_EXIT_CODE = 130;

// While a guard lives, an interrupt (Ctrl-C, SIGINT or SIGTERM; on the Windows console
// Ctrl-C, Ctrl-Break or closing the window) no longer ends the program by itself: the first
// raises interrupt_flag() for the program to stop in its own way, a second ends the process
// at once with INTERRUPTED_EXIT_CODE. A signal that the program was started with ignored
// stays ignored. A new guard lowers the flag; the end of the guard puts back the handling it
// found. One guard at a time.
class InterruptGuard {
 public:
  InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
  ~InterruptGuard();

  struct State;  // each implementation's own

 private:
  std::unique_ptr<State> state_;
};

// The process's one interrupt flag; read from any thread.
const std::atomic<bool>& interrupt_flag();

// The width in columns of the terminal on standard error; none when standard error is no
// terminal or the width is unknown.
std::optional<std::size_t> stderr_terminal_width();

// ---- desktop ---------------------------------------------------------------------

// The user-interface language is Romanian (used when QEL_LANG does not decide).
bool ui_language_is_romanian();

// The programs tried, in order, to put text on the clipboard.
std::vector<Command> clipboard_commands();

// The program and leading arguments that open a URL with the default handler.
Command url_opener();

}  // namespace qel::platform
