// One transfer: create it, upload every chunk with 1 to 8 workers, finalise, build the link.
#pragma once

#include <cstddef>
#include <cstdint>
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

Result<UploadResult> upload_transfer(const ApiClient& client, const std::vector<FileEntry>& files,
                                     const UploadOptions& options);

// The error text for a finished transfer whose link could not be written out (`why`: the
// system's error text). In end-to-end mode the link held the only copy of the key, so the
// transfer can never be opened: it is deleted. Any other transfer stays usable through the
// account (and a recipient may have been mailed its link).
std::string link_not_written(const ApiClient& client, const UploadResult& result, bool e2ee,
                             std::string_view why);

// What the upload needs from around it besides the service: waiting between attempts, and
// where and on which clock the progress bar draws. The defaults are the real ones.
struct UploadSurroundings {
  Sleeper sleep = sleep_seconds;
  ProgressSink progress_sink;  // none: standard error
  ProgressClock clock = steady_progress_clock();
};

Result<UploadResult> upload_transfer(const ApiClient& client, const std::vector<FileEntry>& files,
                                     const UploadOptions& options,
                                     const UploadSurroundings& surroundings);

}  // namespace qel
