// One transfer: create it, upload every chunk with 1 to 8 workers, finalise, build the link.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "api/client.h"
#include "common/json.h"
#include "common/result.h"
#include "upload/collect.h"
#include "upload/progress.h"
#include "upload/worker.h"

namespace qel {

inline constexpr std::size_t MAX_WORKERS = 8;
// The one mode that seals files on this computer before they leave it.
inline constexpr std::string_view E2EE_MODE = "e2ee";

struct UploadOptions {
  std::string mode;
  std::size_t parallel = 4;
  Json options = Json::object();
  bool hide_progress = false;
};

struct UploadResult {
  std::string link;
  Json transfer;
  std::int64_t transfer_id = 0;  // as the service gave it when the transfer was created
};

// An interrupt (see UploadSurroundings) stops the upload: no further chunk is started, the
// requests under way are ended, the bar is erased, the transfer is deleted with one bounded
// request, a line says so, and the program ends with the interrupted exit code.
Result<UploadResult> upload_transfer(const ApiClient& client, const std::vector<FileEntry>& files,
                                     const UploadOptions& options);

// The error text for a finished transfer whose link could not be written out (`why`: the
// system's error text). In end-to-end mode the link held the only copy of the key, so the
// transfer can never be opened: it is deleted. Any other transfer stays usable through the
// account (and a recipient may have been mailed its link).
std::string link_not_written(const ApiClient& client, const UploadResult& result, bool e2ee,
                             std::string_view why);

// What the upload needs from around it besides the service: waiting between attempts, and
// where and on which clock the progress bar draws, and what an interrupt does. The defaults
// are the real ones.
struct UploadSurroundings {
  Sleeper sleep;               // none: real waits, cut short by an interrupt
  ProgressSink progress_sink;  // none: standard error, within its terminal's width
  ProgressClock clock = steady_progress_clock();
  // The interrupt to watch. None: the platform's, whose handling is armed for the length of
  // the upload (the first interrupt cancels it, a second ends the program at once).
  const std::atomic<bool>* interrupt = nullptr;
  // Told the line of a cancelled upload, which then fails with that line. None: the line
  // goes to standard error and the program ends with the interrupted exit code.
  std::function<void(std::string_view line)> cancelled;
};

Result<UploadResult> upload_transfer(const ApiClient& client, const std::vector<FileEntry>& files,
                                     const UploadOptions& options,
                                     const UploadSurroundings& surroundings);

}  // namespace qel
