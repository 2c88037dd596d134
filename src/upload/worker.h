// The chunk upload workers: what they share, the retry loop, and one worker's run.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/api_error.h"
#include "api/client.h"
#include "common/json.h"
#include "common/result.h"
#include "e2ee/crypto.h"
#include "e2ee/e2ee.h"
#include "upload/collect.h"
#include "upload/progress.h"

namespace qel {

inline constexpr std::uint64_t CHUNK_SIZE = 8 * 1024 * 1024;
inline constexpr std::size_t MAX_RETRIES = 5;
inline constexpr std::uint64_t MAX_RETRY_DELAY = 120;

// max(1, ceil(size / CHUNK_SIZE)).
std::uint64_t chunk_count(std::uint64_t size);

// Seconds to wait after attempt `attempt` (from 0) failed with `error`: the service's
// Retry-After when given, else 2 << attempt; never more than 120.
std::uint64_t retry_delay(const ApiError& error, std::size_t attempt);

// Waits whole seconds; injected so tests need not wait.
using Sleeper = std::function<void(std::uint64_t seconds)>;

using RetryTest = std::function<bool(const ApiError&)>;

// Makes the request with `attempt`, again after each error that `retry_test` accepts,
// at most MAX_RETRIES times, waiting retry_delay between attempts.
ApiResult<Json> with_upload_retries(const std::function<ApiResult<Json>()>& attempt,
                                    const RetryTest& retry_test, const Sleeper& sleep);

struct UploadJob {
  std::size_t file_index = 0;
  std::uint64_t chunk_index = 0;
};

// Shared by every worker of one upload; outlives them all. Everything but the queue, the
// abort flag, the error slot and the bar is only read while the workers run.
struct WorkerContext {
  WorkerContext(const std::vector<FileEntry>& file_entries, const std::vector<FileCipher>* ciphers,
                const ApiClient& client, std::int64_t transfer_id, ProgressBar& progress,
                Sleeper sleep)
      : file_entries(file_entries),
        ciphers(ciphers),
        client(client),
        transfer_id(transfer_id),
        progress(progress),
        sleep(std::move(sleep)) {}

  const std::vector<FileEntry>& file_entries;
  const std::vector<FileCipher>* ciphers;  // present exactly in end-to-end mode
  const ApiClient& client;
  std::int64_t transfer_id;
  ProgressBar& progress;
  Sleeper sleep;

  std::mutex job_mutex;
  std::deque<UploadJob> job_queue;

  std::atomic<bool> abort_flag{false};
  // Raised by an interrupt: like the abort flag, no job is taken once it is seen. None: no
  // interrupt stops these workers.
  const std::atomic<bool>* interrupt = nullptr;

  std::mutex error_mutex;
  std::optional<std::string> first_error;
};

// Plaintext bytes that a worker reads, seals and hashes at a time: small enough to stay in
// the processor's cache from the read to the hash, so each byte is fetched from memory
// once; large enough that the calls per block cost nothing.
inline constexpr std::size_t PREPARE_BLOCK_SIZE = 128 * 1024;

// Reads the next `size` bytes of a chunk's plaintext into `out`; its error text is the
// chunk's failure text.
using ChunkReader = std::function<Status(unsigned char* out, std::size_t size)>;

// How a chunk is sealed in end-to-end mode.
struct ChunkSeal {
  const FileCipher& cipher;
  std::uint64_t chunk_index;
  bool is_last;
  Nonce nonce;
};

// Builds a chunk's body in `body` and yields its SHA-256, in one pass over blocks of
// `block_size` plaintext bytes: each block is read into its place, sealed there and hashed
// while it is still in cache, and the hash takes the body's bytes in order. Without `seal`
// the body is the `length` bytes read; with it, the record of chunk_body_size(chunk_index,
// length) bytes (and the file header for chunk 0). Errors: the reader's text,
// "encryption failed".
Result<crypto::Digest> prepare_chunk(const ChunkReader& read, const ChunkSeal* seal,
                                     unsigned char* body, std::size_t length,
                                     std::size_t block_size = PREPARE_BLOCK_SIZE);

// "/transfers/{}/files/{}/chunks/{}".
std::string chunk_path(std::int64_t transfer_id, std::size_t file_index, std::uint64_t chunk_index);

// One worker thread's body: takes jobs until the queue is empty, the abort flag (or the
// interrupt) is seen before a job, or a chunk of its own fails (then it sets the flag and
// offers its text).
// An exception thrown on the way counts as such a failure; none leaves the worker.
void run_chunk_worker(WorkerContext& context) noexcept;

}  // namespace qel
