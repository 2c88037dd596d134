#include "upload/upload.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <optional>
#include <thread>
#include <utility>

#include "platform/platform.h"

namespace qel {

namespace {

constexpr std::string_view NOT_PENDING = "transfer_not_pending";
// After an interrupt the person waits for the deletion: it gets one attempt of this length.
constexpr std::chrono::seconds CANCEL_DELETE_LIMIT{3};
// How often a wait between attempts looks for an interrupt.
constexpr std::chrono::milliseconds WAIT_STEP{100};

Json create_body(const std::vector<FileEntry>& files, const UploadOptions& options) {
  Json body = options.options.is_object() ? options.options : Json::object();
  Json list = Json::array();
  for (const FileEntry& entry : files) {
    list.push_back(Json{{"name", entry.name}, {"size", entry.size}, {"chunks", chunk_count(entry.size)}});
  }
  body["mode"] = options.mode;
  body["files"] = std::move(list);
  return body;
}

std::string transfer_path(std::int64_t id) { return "/transfers/" + std::to_string(id); }

// Waits `seconds`, or until the flag is raised. A signal handler cannot wake a sleeper, so
// the flag is looked at every WAIT_STEP.
void sleep_unless(const std::atomic<bool>& flag, std::uint64_t seconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
  while (!flag.load()) {
    const Clock::time_point now = Clock::now();
    if (now >= end) return;
    std::this_thread::sleep_for(std::min<Clock::duration>(WAIT_STEP, end - now));
  }
}

// The end of an upload that an interrupt stopped: the transfer, when the service made one,
// is deleted by one short request, and the person is told whether that worked.
std::string cancel_upload(const ApiClient& client, std::optional<std::int64_t> transfer_id) {
  if (!transfer_id) return "Upload cancelled.";
  ApiClient bounded = client;
  bounded.cancel = nullptr;
  bounded.time_limit = CANCEL_DELETE_LIMIT;
  auto deleted = api_delete(bounded, transfer_path(*transfer_id));
  if (deleted) return "Upload cancelled; the transfer was deleted.";
  return "Upload cancelled, but transfer #" + std::to_string(*transfer_id) +
         " could not be deleted: " + format_api_error(deleted.error());
}

void end_cancelled(std::string_view line) {
  platform::write_stderr(std::string(line) + "\n");
  std::_Exit(platform::INTERRUPTED_EXIT_CODE);
}

// Runs `count` workers on the context and waits for all of them. A thread that cannot be
// started (no thread, or no memory for one) counts as a worker failure; the ones already
// running are still waited for.
void run_workers(WorkerContext& context, std::size_t count) {
  std::vector<std::thread> workers;
  workers.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    try {
      workers.emplace_back(run_chunk_worker, std::ref(context));
    } catch (const std::exception& e) {
      context.abort_flag.store(true);
      std::lock_guard lock(context.error_mutex);
      if (!context.first_error) {
        context.first_error = std::string("cannot start an upload worker: ") + e.what();
      }
      break;
    }
  }
  for (std::thread& worker : workers) worker.join();
}

}  // namespace

Result<UploadResult> upload_transfer(const ApiClient& client, const std::vector<FileEntry>& files,
                                     const UploadOptions& options) {
  return upload_transfer(client, files, options, UploadSurroundings{});
}

Result<UploadResult> upload_transfer(const ApiClient& client, const std::vector<FileEntry>& files,
                                     const UploadOptions& options,
                                     const UploadSurroundings& surroundings) {
  const bool e2ee = options.mode == E2EE_MODE;

  std::optional<platform::InterruptGuard> interrupt_guard;
  const std::atomic<bool>* interrupt = surroundings.interrupt;
  if (interrupt == nullptr) {
    interrupt_guard.emplace();
    interrupt = &platform::interrupt_flag();
  }
  const auto interrupted = [interrupt] { return interrupt->load(); };
  const Sleeper sleep = surroundings.sleep ? surroundings.sleep : [interrupt](std::uint64_t s) {
    sleep_unless(*interrupt, s);
  };
  const auto cancelled = [&](std::optional<std::int64_t> transfer_id) -> Result<UploadResult> {
    std::string line = cancel_upload(client, transfer_id);
    if (surroundings.cancelled) {
      surroundings.cancelled(line);
    } else {
      end_cancelled(line);
    }
    return fail(std::move(line));
  };
  // Every request after the create ends as soon as the interrupt comes.
  ApiClient cancellable = client;
  cancellable.cancel = interrupt;

  // Key material first: nothing reaches the service when the generator fails.
  TransferKey transfer_key{};
  std::optional<std::vector<FileCipher>> ciphers;
  if (e2ee) {
    if (auto drawn = random_bytes(transfer_key.data(), transfer_key.size()); !drawn) {
      return fail(std::move(drawn).error());
    }
    ciphers.emplace();
    ciphers->reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
      auto cipher = next_file_cipher(transfer_key);
      if (!cipher) return fail(std::move(cipher).error());
      ciphers->push_back(std::move(cipher).value());
    }
  }

  const Json body = create_body(files, options);
  // Without a reply the transfer may exist already, so the create is not repeated then. For
  // the same reason an interrupt lets an attempt under way finish (its transfer can then be
  // deleted) and only keeps another from starting.
  auto created = with_upload_retries(
      [&]() -> ApiResult<Json> {
        if (interrupted()) return fail(network_error("cancelled"));
        return api_post_json(client, "/transfers", body, Redirects::unchanged);
      },
      [&](const ApiError& e) { return is_retryable(e) && e.http_status != 0 && !interrupted(); },
      sleep);
  const auto transfer_id =
      created ? signed_integer(member(created.value(), "id")) : std::optional<std::int64_t>();
  if (interrupted()) return cancelled(transfer_id);
  if (!created) return fail(format_api_error(created.error()));
  if (!transfer_id) return fail("unexpected response from the server");

  const std::uint64_t total = total_size(files);
  std::optional<ProgressBar> visible;
  ProgressBar hidden;
  if (!options.hide_progress) {
    ProgressSink sink = surroundings.progress_sink
                            ? surroundings.progress_sink
                            : ProgressSink([](std::string_view text) { platform::write_stderr(text); });
    ProgressWidth width = surroundings.progress_sink ? ProgressWidth()
                                                     : ProgressWidth(platform::stderr_terminal_width);
    visible.emplace(total, std::move(sink), surroundings.clock, std::move(width));
  }
  ProgressBar& progress = visible ? *visible : hidden;

  WorkerContext context{files, ciphers ? &*ciphers : nullptr, cancellable, *transfer_id, progress,
                        sleep};
  context.interrupt = interrupt;
  for (std::size_t f = 0; f < files.size(); ++f) {
    const std::uint64_t chunks = chunk_count(files[f].size);
    for (std::uint64_t c = 0; c < chunks; ++c) context.job_queue.push_back({f, c});
  }

  const std::size_t workers = options.parallel == 0 ? 1 : std::min(options.parallel, MAX_WORKERS);
  run_workers(context, workers);
  progress.finish();

  if (interrupted()) return cancelled(*transfer_id);
  if (context.first_error) {
    (void)api_delete(client, transfer_path(*transfer_id));
    return fail(std::move(*context.first_error));
  }

  const std::string finalize_path = transfer_path(*transfer_id) + "/finalize";
  auto finalized = with_upload_retries(
      [&] { return api_post(cancellable, finalize_path, Redirects::unchanged); },
      [&](const ApiError& e) { return is_retryable(e) && !interrupted(); }, sleep);
  if (interrupted()) return cancelled(*transfer_id);
  Json transfer;
  if (finalized) {
    transfer = std::move(finalized).value();
  } else if (finalized.error().code == NOT_PENDING) {
    auto fetched = api_get(cancellable, transfer_path(*transfer_id));
    if (interrupted()) return cancelled(*transfer_id);
    if (!fetched) return fail(format_api_error(fetched.error()));
    transfer = std::move(fetched).value();
  } else {
    return fail(format_api_error(finalized.error()));
  }

  const Json& url = member(transfer, "url");
  std::string link = url.is_string() ? url.get<std::string>() : std::string();
  if (e2ee) link += "#key=" + base64url(transfer_key.data(), transfer_key.size());
  return UploadResult{std::move(link), std::move(transfer), *transfer_id};
}

std::string link_not_written(const ApiClient& client, const UploadResult& result, bool e2ee,
                             std::string_view why) {
  const std::string lost = "cannot write the link: " + std::string(why) + ". Transfer #" +
                           std::to_string(result.transfer_id);
  if (!e2ee) return lost + " is active.";
  auto deleted = api_delete(client, transfer_path(result.transfer_id));
  if (!deleted) {
    return lost + " could not be deleted, though its key was only in the link: " +
           format_api_error(deleted.error());
  }
  return lost + " was deleted: its key was only in the link.";
}

}  // namespace qel
