#include "upload/worker.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include "e2ee/crypto.h"
#include "platform/platform.h"

namespace qel {

std::uint64_t chunk_count(std::uint64_t size) {
  if (size == 0) return 1;
  return size / CHUNK_SIZE + (size % CHUNK_SIZE != 0 ? 1 : 0);
}

std::uint64_t retry_delay(const ApiError& error, std::size_t attempt) {
  std::uint64_t wait = error.retry_after ? *error.retry_after
                       : attempt < 6     ? std::uint64_t{2} << attempt
                                         : MAX_RETRY_DELAY;
  return std::min(wait, MAX_RETRY_DELAY);
}

ApiResult<Json> with_upload_retries(const std::function<ApiResult<Json>()>& attempt,
                                    const RetryTest& retry_test, const Sleeper& sleep) {
  for (std::size_t tries = 0;; ++tries) {
    ApiResult<Json> outcome = attempt();
    if (outcome.ok()) return outcome;
    if (!retry_test(outcome.error()) || tries >= MAX_RETRIES) return outcome;
    const std::uint64_t wait = retry_delay(outcome.error(), tries);
    if (wait > 0) sleep(wait);
  }
}

std::string chunk_path(std::int64_t transfer_id, std::size_t file_index, std::uint64_t chunk_index) {
  return "/transfers/" + std::to_string(transfer_id) + "/files/" + std::to_string(file_index) +
         "/chunks/" + std::to_string(chunk_index);
}

Result<crypto::Digest> prepare_chunk(const ChunkReader& read, const ChunkSeal* seal,
                                     unsigned char* body, std::size_t length,
                                     std::size_t block_size) {
  crypto::Sha256 hash;
  std::optional<ChunkSealer> sealer;
  unsigned char* plaintext = body;
  if (seal) {
    auto started = ChunkSealer::start(seal->cipher, seal->chunk_index, seal->is_last,
                                      seal->nonce, body, length);
    if (!started) return fail(std::move(started).error());
    sealer.emplace(std::move(started).value());
    plaintext += record_prefix_size(seal->chunk_index);
    hash.update(body, static_cast<std::size_t>(plaintext - body));
  }
  for (std::size_t done = 0; done < length;) {
    const std::size_t size = std::min(block_size, length - done);
    unsigned char* block = plaintext + done;
    if (auto got = read(block, size); !got) return fail(std::move(got).error());
    if (sealer) {
      if (auto sealed = sealer->seal(block, size); !sealed) return fail(std::move(sealed).error());
    }
    hash.update(block, size);
    done += size;
  }
  if (sealer) {
    if (auto sealed = sealer->finish(); !sealed) return fail(std::move(sealed).error());
    hash.update(plaintext + length, TAG_SIZE);
  }
  return hash.finish();
}

namespace {

std::string lower_hex(const crypto::Digest& digest) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (unsigned char byte : digest) {
    text += DIGITS[byte >> 4];
    text += DIGITS[byte & 0x0F];
  }
  return text;
}

// The one body buffer of a worker, reused from chunk to chunk. The chunk is read straight
// into it at its record offset and, in end-to-end mode, sealed in place block by block, so
// a worker never holds more than one chunk body (at most 8 MiB + 52 bytes).
class BodyBuffer {
 public:
  unsigned char* reserve(std::size_t size) {
    if (size > capacity_) {
      data_.reset();
      data_ = std::make_unique_for_overwrite<unsigned char[]>(size);
      capacity_ = size;
    }
    return data_.get();
  }

 private:
  std::unique_ptr<unsigned char[]> data_;
  std::size_t capacity_ = 0;
};

// Reads, seals, hashes and sends one chunk. Nothing on success, or the chunk's failure text.
std::optional<std::string> upload_chunk(WorkerContext& context, const UploadJob& job,
                                        BodyBuffer& buffer) {
  const FileEntry& entry = context.file_entries[job.file_index];
  const std::uint64_t offset = job.chunk_index * CHUNK_SIZE;
  // The size recorded at collection counts, not the file's present size.
  const auto length = static_cast<std::size_t>(std::min(entry.size - offset, CHUNK_SIZE));

  const FileCipher* cipher = context.ciphers ? &(*context.ciphers)[job.file_index] : nullptr;
  const std::size_t body_size = cipher ? chunk_body_size(job.chunk_index, length) : length;
  unsigned char* body = buffer.reserve(body_size);

  std::string digest;
  {
    const std::string local = platform::path_text(entry.path);
    auto file = platform::InputFile::open(entry.path);
    if (!file) return local + ": " + file.error();
    if (auto moved = file->seek(offset); !moved) return local + ": " + moved.error();

    std::optional<ChunkSeal> seal;
    if (cipher) {
      const bool is_last = job.chunk_index + 1 == chunk_count(entry.size);
      Nonce nonce{};
      if (auto drawn = random_bytes(nonce.data(), nonce.size()); !drawn) {
        return std::move(drawn).error();
      }
      seal.emplace(ChunkSeal{*cipher, job.chunk_index, is_last, nonce});
    }
    auto prepared = prepare_chunk(
        [&](unsigned char* out, std::size_t size) -> Status {
          if (auto read = file->read_exact(out, size); !read) {
            return fail(local + ": " + read.error() + " (was the file changed during upload?)");
          }
          return {};
        },
        seal ? &*seal : nullptr, body, length);
    if (!prepared) return std::move(prepared).error();
    digest = lower_hex(*prepared);
  }  // the file is closed once its chunk is prepared

  // Body, digest and path are made once; every attempt sends the very same bytes.
  const std::string_view payload(reinterpret_cast<const char*>(body), body_size);
  const std::string path = chunk_path(context.transfer_id, job.file_index, job.chunk_index);

  auto sent = with_upload_retries(
      [&] {
        return check_response_unread(api_request(context.client, "PUT", path)
                                         .header("Content-Type", "application/octet-stream")
                                         .header("X-Chunk-SHA256", digest)
                                         .redirects(Redirects::unchanged)
                                         .send(payload));
      },
      is_retryable, context.sleep);
  if (!sent) return entry.name + ": " + format_api_error(sent.error());

  context.progress.advance(length);
  return std::nullopt;
}

}  // namespace

namespace {

// Stops the other workers and offers the failure text; the first one offered is kept.
// Some text is always stored, so the upload never mistakes a failed worker for a done one.
void record_failure(WorkerContext& context, std::string_view failure) noexcept {
  context.abort_flag.store(true);
  std::lock_guard lock(context.error_mutex);
  if (context.first_error) return;
  try {
    context.first_error.emplace(failure);
  } catch (...) {
    context.first_error.emplace("out of memory");  // short enough to need no allocation
  }
}

bool should_stop(const WorkerContext& context) {
  return context.abort_flag.load() || (context.interrupt != nullptr && context.interrupt->load());
}

void run_jobs(WorkerContext& context) {
  BodyBuffer buffer;
  while (!should_stop(context)) {
    UploadJob job;
    {
      std::lock_guard lock(context.job_mutex);
      if (context.job_queue.empty()) return;
      job = context.job_queue.front();
      context.job_queue.pop_front();
    }
    if (auto failure = upload_chunk(context, job, buffer)) {
      record_failure(context, *failure);
      return;
    }
  }
}

}  // namespace

void run_chunk_worker(WorkerContext& context) noexcept {
  // An exception leaving a thread would end the program and leave the transfer behind on
  // the service; here it becomes the worker's failure, and the upload deletes the transfer.
  try {
    run_jobs(context);
  } catch (const std::bad_alloc&) {
    record_failure(context, "out of memory");
  } catch (const std::exception& e) {
    record_failure(context, e.what());
  } catch (...) {
    record_failure(context, "unexpected failure");
  }
}

}  // namespace qel
