#include "upload/upload.h"

#include <cstdint>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/platform.h"

namespace qel {

namespace {

constexpr std::string_view NOT_PENDING = "transfer_not_pending";

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

// Runs `count` workers on the context and waits for all of them. A thread that cannot be
// started counts as a worker failure; the ones already running are still waited for.
void run_workers(WorkerContext& context, std::size_t count) {
  std::vector<std::thread> workers;
  workers.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    try {
      workers.emplace_back(run_chunk_worker, std::ref(context));
    } catch (const std::system_error& e) {
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
  // Without a reply the transfer may exist already, so the create is not repeated then.
  auto created = with_upload_retries(
      [&] { return api_post_json(client, "/transfers", body); },
      [](const ApiError& e) { return is_retryable(e) && e.http_status != 0; },
      surroundings.sleep);
  if (!created) return fail(format_api_error(created.error()));
  const auto transfer_id = signed_integer(member(created.value(), "id"));
  if (!transfer_id) return fail("unexpected response from the server");

  const std::uint64_t total = total_size(files);
  std::optional<ProgressBar> visible;
  ProgressBar hidden;
  if (!options.hide_progress) {
    ProgressSink sink = surroundings.progress_sink
                            ? surroundings.progress_sink
                            : ProgressSink([](std::string_view text) { platform::write_stderr(text); });
    visible.emplace(total, std::move(sink), surroundings.clock);
  }
  ProgressBar& progress = visible ? *visible : hidden;

  WorkerContext context{files, ciphers ? &*ciphers : nullptr, client, *transfer_id, progress,
                        surroundings.sleep};
  for (std::size_t f = 0; f < files.size(); ++f) {
    const std::uint64_t chunks = chunk_count(files[f].size);
    for (std::uint64_t c = 0; c < chunks; ++c) context.job_queue.push_back({f, c});
  }

  const std::size_t workers = options.parallel == 0 ? 1 : std::min(options.parallel, MAX_WORKERS);
  run_workers(context, workers);
  progress.finish();

  if (context.first_error) {
    (void)api_delete(client, transfer_path(*transfer_id));
    return fail(std::move(*context.first_error));
  }

  const std::string finalize_path = transfer_path(*transfer_id) + "/finalize";
  auto finalized = with_upload_retries([&] { return api_post(client, finalize_path); },
                                       is_retryable, surroundings.sleep);
  Json transfer;
  if (finalized) {
    transfer = std::move(finalized).value();
  } else if (finalized.error().code == NOT_PENDING) {
    auto fetched = api_get(client, transfer_path(*transfer_id));
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
