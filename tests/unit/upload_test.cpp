#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <new>
#include <regex>
#include <stdexcept>

#include "upload/upload.h"
#include "upload_fakes.h"

namespace qel {
namespace {

using testing::FakeTransport;
using testing::SeenRequest;
using testing::TempFolder;
using testing::fake_client;
using testing::no_reply;
using testing::random_text;
using testing::reply;

// A stand-in service: creates transfer 42 (or what `create` answers), accepts chunks, and
// finalises with a transfer whose "url" is fixed. Each route can be overridden.
struct Service {
  std::function<HttpOutcome(const SeenRequest&)> create = [](const SeenRequest&) {
    return reply(201, R"({"id":42,"status":"pending"})");
  };
  std::function<HttpOutcome(const SeenRequest&)> chunk = [](const SeenRequest&) {
    return reply(200, R"({"received":1})");
  };
  std::function<HttpOutcome(const SeenRequest&)> finalize = [](const SeenRequest&) {
    return reply(200, R"({"id":42,"status":"active","url":"https://dl.test/t/42"})");
  };
  std::function<HttpOutcome(const SeenRequest&)> other = [](const SeenRequest&) {
    return reply(200, R"({"id":42,"status":"active","url":"https://dl.test/t/42/get"})");
  };

  HttpOutcome operator()(const SeenRequest& r) const {
    if (r.method == "POST" && r.path == "/transfers") return create(r);
    if (r.method == "PUT") return chunk(r);
    if (r.method == "POST" && r.path.ends_with("/finalize")) return finalize(r);
    return other(r);
  }
};

struct UploadFixture {
  TempFolder folder;
  std::vector<FileEntry> files;
  std::shared_ptr<FakeTransport> transport;
  ApiClient client;
  std::vector<std::uint64_t> waits;
  std::vector<std::string> drawn;
  std::mutex mutex;
  UploadSurroundings surroundings;

  std::atomic<bool> interrupt{false};
  std::vector<std::string> cancel_lines;

  explicit UploadFixture(Service service = {})
      : transport(std::make_shared<FakeTransport>(std::move(service))), client(fake_client(transport)) {
    surroundings.interrupt = &interrupt;
    surroundings.cancelled = [this](std::string_view line) { cancel_lines.emplace_back(line); };
    surroundings.sleep = [this](std::uint64_t s) {
      std::lock_guard l(mutex);
      waits.push_back(s);
    };
    surroundings.progress_sink = [this](std::string_view s) {
      std::lock_guard l(mutex);
      drawn.emplace_back(s);
    };
    std::chrono::nanoseconds now{0};
    // Each reading of the clock moves it on by a second, so every advance redraws.
    surroundings.clock = [now]() mutable { return now += std::chrono::seconds(1); };
  }

  void add(const std::string& name, const std::string& bytes) {
    files.push_back({folder.write(name, bytes), name, bytes.size()});
  }

  Result<UploadResult> upload(std::string mode = "preview_download", Json options = Json::object(),
                              std::size_t parallel = 4, bool hide = true) {
    UploadOptions o;
    o.mode = std::move(mode);
    o.options = std::move(options);
    o.parallel = parallel;
    o.hide_progress = hide;
    return upload_transfer(client, files, o, surroundings);
  }

  std::vector<std::string> routes() const {
    std::vector<std::string> out;
    for (const auto& r : transport->requests()) out.push_back(r.method + " " + r.path);
    return out;
  }
};

TEST(Upload, CreateBodyIsCompactJsonInKeyOrder) {
  struct Case {
    Json options;
    std::string body;
  };
  const std::string files = R"("files":[{"chunks":1,"name":"a.txt","size":3},{"chunks":2,"name":"d/b.bin","size":8388609}])";
  const Case cases[] = {
      {Json::object(), "{" + files + R"(,"mode":"preview_only"})"},
      {{{"title", "T"}}, "{" + files + R"(,"mode":"preview_only","title":"T"})"},
      {{{"expires_at", "2030-01-01T23:59:59"}, {"max_downloads", 0}, {"self_destroy", true}},
       R"({"expires_at":"2030-01-01T23:59:59",)" + files +
           R"(,"max_downloads":0,"mode":"preview_only","self_destroy":true})"},
      {{{"mode", "e2ee"}, {"files", "x"}}, "{" + files + R"(,"mode":"preview_only"})"},
  };
  for (const auto& c : cases) {
    UploadFixture fx;
    fx.add("a.txt", "abc");
    fx.add("b.bin", std::string(8388609, 'b'));
    fx.files[1].name = "d/b.bin";
    ASSERT_TRUE(fx.upload("preview_only", c.options).ok());
    const auto creates = fx.transport->requests("POST");
    ASSERT_FALSE(creates.empty());
    EXPECT_EQ(creates[0].path, "/transfers");
    EXPECT_EQ(creates[0].body.value_or(""), c.body);
  }
}

TEST(Upload, PlainModeLinkIsTheUrlAndChunksGoFileByFile) {
  UploadFixture fx;
  fx.add("a", std::string(CHUNK_SIZE + 1, 'a'));
  fx.add("b", "b");
  auto result = fx.upload("preview_download", Json::object(), 1);
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(result->link, "https://dl.test/t/42");
  EXPECT_EQ(result->transfer["status"], "active");
  EXPECT_EQ(fx.routes(), (std::vector<std::string>{
                             "POST /transfers", "PUT /transfers/42/files/0/chunks/0",
                             "PUT /transfers/42/files/0/chunks/1",
                             "PUT /transfers/42/files/1/chunks/0", "POST /transfers/42/finalize"}));
  const auto finalize = fx.transport->requests().back();
  EXPECT_EQ(finalize.body.value_or("absent"), "") << "finalised with an empty body";
}

TEST(Upload, EndToEndLinkCarriesTheKeyAndNoRequestDoes) {
  Service service;
  service.finalize = [](const SeenRequest&) { return reply(200, R"({"id":42,"url":7})"); };
  UploadFixture fx(service);
  fx.add("a", "secret");
  auto result = fx.upload("e2ee");
  ASSERT_TRUE(result.ok()) << result.error();
  ASSERT_EQ(result->link.size(), 5u + 43u) << "no url string: the key alone";
  EXPECT_EQ(result->link.substr(0, 5), "#key=");
  const std::string key = result->link.substr(5);
  EXPECT_TRUE(std::regex_match(key, std::regex("[A-Za-z0-9_-]{43}"))) << key;
  for (const auto& r : fx.transport->requests()) {
    EXPECT_EQ(r.path.find(key), std::string::npos);
    EXPECT_EQ(r.body.value_or("").find(key), std::string::npos);
    for (const auto& [n, v] : r.headers) EXPECT_EQ(v.find(key), std::string::npos) << n;
    EXPECT_EQ(r.body.value_or("").find("secret"), std::string::npos) << "plaintext never sent";
  }
}

TEST(Upload, CreateRetriesOnlyWithAReply) {
  struct Case {
    const char* what;
    std::function<HttpOutcome(const SeenRequest&)> create;
    std::size_t attempts;
    std::vector<std::uint64_t> waits;
    std::string error;
  };
  const Case cases[] = {
      {"no reply", [](const SeenRequest&) { return no_reply(); }, 1, {},
       "Network error: connection refused"},
      {"503", [](const SeenRequest&) { return reply(503, "<html>"); }, 6, {2, 4, 8, 16, 32},
       "The server answered with HTTP 503. (http_error, HTTP 503)"},
      {"404", [](const SeenRequest&) { return reply(404, R"({"error":{"code":"nope","message":"No."}})"); },
       1, {}, "No. (nope, HTTP 404)"},
      {"429", [](const SeenRequest&) { return reply(429, "", {{"Retry-After", "0"}}); }, 6, {},
       "The server answered with HTTP 429. (http_error, HTTP 429)"},
  };
  for (const auto& c : cases) {
    Service service;
    service.create = c.create;
    UploadFixture fx(service);
    fx.add("a", "a");
    auto result = fx.upload("e2ee");
    ASSERT_FALSE(result.ok()) << c.what;
    EXPECT_EQ(result.error(), c.error) << c.what;
    EXPECT_EQ(fx.transport->requests().size(), c.attempts) << c.what;
    EXPECT_EQ(fx.waits, c.waits) << c.what;
  }
}

TEST(Upload, TransferIdMustBeASigned64BitInteger) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"id":0})", "/transfers/0/finalize"},
      {R"({"id":-9223372036854775808})", "/transfers/-9223372036854775808/finalize"},
      {R"({"id":9223372036854775807})", "/transfers/9223372036854775807/finalize"},
      {R"({"status":"pending"})", nullptr},
      {R"({"id":"5"})", nullptr},
      {R"({"id":5.0})", nullptr},
      {R"({"id":9223372036854775808})", nullptr},
      {R"([5])", nullptr},
  };
  for (const auto& [body, finalize] : cases) {
    Service service;
    const std::string reply_body = body;
    service.create = [reply_body](const SeenRequest&) { return reply(201, reply_body); };
    UploadFixture fx(service);
    fx.add("a", "a");
    auto result = fx.upload();
    if (finalize) {
      ASSERT_TRUE(result.ok()) << body;
      EXPECT_EQ(fx.routes().back(), std::string("POST ") + finalize);
    } else {
      ASSERT_FALSE(result.ok()) << body;
      EXPECT_EQ(result.error(), "unexpected response from the server");
      EXPECT_EQ(fx.routes(), std::vector<std::string>{"POST /transfers"}) << body;
    }
  }
}

TEST(Upload, WorkerFailureDeletesOnceAndNeverFinalises) {
  for (bool delete_fails : {false, true}) {
    Service service;
    service.chunk = [](const SeenRequest& r) {
      if (r.path.find("/files/1/") == std::string::npos) return reply(200, "{}");
      return reply(413, R"({"error":{"code":"too_large","message":"Too large."}})");
    };
    service.other = [delete_fails](const SeenRequest&) {
      return delete_fails ? no_reply() : reply(200, R"({"deleted":true})");
    };
    UploadFixture fx(service);
    fx.add("a", "a");
    fx.add("b", "b");
    fx.add("c", "c");
    auto result = fx.upload("e2ee", Json::object(), 1, /*hide=*/false);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), "b: Too large. (too_large, HTTP 413)");
    EXPECT_EQ(fx.routes(), (std::vector<std::string>{"POST /transfers",
                                                     "PUT /transfers/42/files/0/chunks/0",
                                                     "PUT /transfers/42/files/1/chunks/0",
                                                     "DELETE /transfers/42"}));
    ASSERT_EQ(fx.drawn.size(), 2u);
    EXPECT_EQ(fx.drawn.back(), "\r\x1B[K") << "the bar is cleared on failure too";
  }
}

TEST(Upload, AWorkerThatThrowsFailsTheUploadAndTheTransferIsDeleted) {
  // Whatever is thrown inside a worker (here by the transport, on the second file's chunk)
  // stays there: the upload fails with a text for it and deletes the transfer, as after any
  // worker failure, instead of the program ending with the transfer left behind.
  struct Case {
    std::function<void()> raise;
    std::string error;
  };
  const Case cases[] = {
      {[] { throw std::bad_alloc(); }, "out of memory"},
      {[] { throw std::runtime_error("the disk is on fire"); }, "the disk is on fire"},
      {[] { throw 7; }, "unexpected failure"},
  };
  for (const Case& c : cases) {
    Service service;
    service.chunk = [&c](const SeenRequest& r) {
      if (r.path.find("/files/1/") != std::string::npos) c.raise();
      return reply(200, "{}");
    };
    UploadFixture fx(service);
    fx.add("a", "a");
    fx.add("b", "b");
    fx.add("c", "c");
    auto result = fx.upload("e2ee", Json::object(), 1, /*hide=*/false);
    ASSERT_FALSE(result.ok()) << c.error;
    EXPECT_EQ(result.error(), c.error);
    EXPECT_EQ(fx.routes(), (std::vector<std::string>{"POST /transfers",
                                                     "PUT /transfers/42/files/0/chunks/0",
                                                     "PUT /transfers/42/files/1/chunks/0",
                                                     "DELETE /transfers/42"}))
        << c.error;
    ASSERT_FALSE(fx.drawn.empty());
    EXPECT_EQ(fx.drawn.back(), "\r\x1B[K") << "the bar is cleared";
  }
}

TEST(Upload, AnInterruptCancelsTheUploadAndDeletesTheTransfer) {
  // Each case raises the interrupt at one point of the upload, the way the person's Ctrl-C
  // would arrive there; an exchange it ends fails without a reply, as an aborted one does.
  const std::string deleted = "Upload cancelled; the transfer was deleted.";
  const std::vector<std::string> all_chunks_then_delete = {
      "POST /transfers", "PUT /transfers/42/files/0/chunks/0", "PUT /transfers/42/files/1/chunks/0",
      "PUT /transfers/42/files/2/chunks/0", "POST /transfers/42/finalize", "DELETE /transfers/42"};
  struct Case {
    std::string what;
    std::function<void(Service&, std::atomic<bool>&)> script;
    std::vector<std::string> routes;
    std::string line;
  };
  const Case cases[] = {
      {"during a chunk: no further chunk and no finalisation",
       [](Service& s, std::atomic<bool>& interrupt) {
         s.chunk = [&interrupt](const SeenRequest& r) {
           if (r.path.find("/files/1/") == std::string::npos) return reply(200, "{}");
           interrupt = true;
           return no_reply();
         };
       },
       {"POST /transfers", "PUT /transfers/42/files/0/chunks/0",
        "PUT /transfers/42/files/1/chunks/0", "DELETE /transfers/42"},
       deleted},
      {"while a chunk waits for its next attempt",
       [](Service& s, std::atomic<bool>&) {
         s.chunk = [](const SeenRequest&) { return reply(503, ""); };
       },
       {"POST /transfers", "PUT /transfers/42/files/0/chunks/0", "DELETE /transfers/42"},
       deleted},
      {"during the create, which is let finish so that its transfer can be deleted",
       [](Service& s, std::atomic<bool>& interrupt) {
         s.create = [&interrupt](const SeenRequest&) {
           interrupt = true;
           return reply(201, R"({"id":42})");
         };
       },
       {"POST /transfers", "DELETE /transfers/42"},
       deleted},
      {"during a create that the service refuses: nothing to delete, no retry",
       [](Service& s, std::atomic<bool>& interrupt) {
         s.create = [&interrupt](const SeenRequest&) {
           interrupt = true;
           return reply(503, "");
         };
       },
       {"POST /transfers"},
       "Upload cancelled."},
      {"during the finalisation",
       [](Service& s, std::atomic<bool>& interrupt) {
         s.finalize = [&interrupt](const SeenRequest&) {
           interrupt = true;
           return no_reply();
         };
       },
       all_chunks_then_delete,
       deleted},
      {"when the deletion fails: said so, and not retried",
       [](Service& s, std::atomic<bool>& interrupt) {
         s.finalize = [&interrupt](const SeenRequest&) {
           interrupt = true;
           return reply(200, "{}");
         };
         s.other = [](const SeenRequest&) {
           return reply(503, R"({"error":{"code":"busy","message":"Busy."}})");
         };
       },
       all_chunks_then_delete,
       "Upload cancelled, but transfer #42 could not be deleted: Busy. (busy, HTTP 503)"},
  };
  for (const Case& c : cases) {
    std::atomic<bool> interrupt{false};
    Service service;
    c.script(service, interrupt);
    UploadFixture fx(service);
    fx.surroundings.interrupt = &interrupt;
    // A wait between attempts is where the interrupt of the waiting case arrives.
    fx.surroundings.sleep = [&](std::uint64_t) { interrupt = true; };
    fx.add("a", "a");
    fx.add("b", "b");
    fx.add("c", "c");
    auto result = fx.upload("e2ee", Json::object(), 1, /*hide=*/false);
    ASSERT_FALSE(result.ok()) << c.what;
    EXPECT_EQ(result.error(), c.line) << c.what;
    EXPECT_EQ(fx.cancel_lines, std::vector<std::string>{c.line}) << c.what;
    EXPECT_EQ(fx.routes(), c.routes) << c.what;
    for (const SeenRequest& r : fx.transport->requests()) {
      if (r.method == "DELETE") {
        EXPECT_EQ(r.cancel, nullptr) << "the deletion itself is not cancelled";
        EXPECT_EQ(r.time_limit, std::chrono::milliseconds(3000)) << "but bounded";
      } else if (r.method == "PUT" || r.path.ends_with("/finalize")) {
        EXPECT_EQ(r.cancel, &interrupt) << c.what << ": the interrupt ends " << r.path;
      } else {
        EXPECT_EQ(r.cancel, nullptr) << c.what << ": the create is let finish";
      }
    }
    if (!fx.drawn.empty()) {
      EXPECT_EQ(fx.drawn.back(), "\r\x1B[K") << c.what << ": the bar is erased";
    }
  }
}

TEST(Upload, FinalisationRetriesAndFallsBackToTheTransfer) {
  {
    std::atomic<int> drops{2};
    Service service;
    auto ok = service.finalize;
    service.finalize = [&, ok](const SeenRequest& r) { return drops-- > 0 ? no_reply() : ok(r); };
    UploadFixture fx(service);
    fx.add("a", "a");
    auto result = fx.upload();
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(fx.transport->requests("POST").size(), 4u) << "create and three finalise attempts";
    EXPECT_EQ(fx.waits, (std::vector<std::uint64_t>{2, 4}));
  }
  {
    Service service;
    service.finalize = [](const SeenRequest&) {
      return reply(409, R"({"error":{"code":"transfer_not_pending","message":"Not pending."}})");
    };
    UploadFixture fx(service);
    fx.add("a", "a");
    auto result = fx.upload();
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(result->link, "https://dl.test/t/42/get");
    EXPECT_EQ(fx.routes().back(), "GET /transfers/42");
    EXPECT_EQ(fx.transport->requests("POST").size(), 2u) << "409 is not retried";
  }
  {
    Service service;
    service.finalize = [](const SeenRequest&) {
      return reply(409, R"({"error":{"code":"transfer_not_pending","message":"Not pending."}})");
    };
    service.other = [](const SeenRequest&) { return reply(404, R"({"error":{"code":"gone","message":"Gone."}})"); };
    UploadFixture fx(service);
    fx.add("a", "a");
    auto result = fx.upload();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), "Gone. (gone, HTTP 404)");
    EXPECT_TRUE(fx.transport->requests("DELETE").empty());
  }
  {
    Service service;
    service.finalize = [](const SeenRequest&) {
      return reply(400, R"({"error":{"code":"incomplete","message":"Chunks missing."}})");
    };
    UploadFixture fx(service);
    fx.add("a", "a");
    auto result = fx.upload();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), "Chunks missing. (incomplete, HTTP 400)");
    EXPECT_EQ(fx.routes().back(), "POST /transfers/42/finalize");
  }
}

TEST(Upload, ProgressIsHiddenOnRequestAndErasedAtTheEnd) {
  for (bool hide : {true, false}) {
    UploadFixture fx;
    fx.add("a", random_text(3000, 1));
    fx.add("b", random_text(1000, 2));
    ASSERT_TRUE(fx.upload("e2ee", Json::object(), 1, hide).ok());
    if (hide) {
      EXPECT_TRUE(fx.drawn.empty());
      continue;
    }
    ASSERT_EQ(fx.drawn.size(), 3u) << "one draw per accepted chunk here, then the erase";
    EXPECT_NE(fx.drawn[0].find(" 2.93 KiB/3.91 KiB "), std::string::npos) << fx.drawn[0];
    EXPECT_NE(fx.drawn[1].find(" 3.91 KiB/3.91 KiB "), std::string::npos) << fx.drawn[1];
    EXPECT_EQ(fx.drawn[2], "\r\x1B[K");
  }
}

TEST(Upload, WorkerCountIsBounded) {
  // The first chunk requests wait until `expected` of them are in flight at once, so the
  // upload only gets through quickly when that many workers run side by side.
  for (const auto& [parallel, expected] :
       std::vector<std::pair<std::size_t, std::size_t>>{{0, 1}, {3, 3}, {100, 8}}) {
    std::mutex m;
    std::condition_variable cv;
    std::size_t in_flight = 0, most = 0;
    bool all_arrived = false;
    Service service;
    const std::size_t target = expected;
    service.chunk = [&, target](const SeenRequest&) {
      std::unique_lock l(m);
      most = std::max(most, ++in_flight);
      if (in_flight == target) all_arrived = true;
      cv.notify_all();
      cv.wait_for(l, std::chrono::seconds(20), [&] { return all_arrived; });
      --in_flight;
      return reply(200, "{}");
    };
    UploadFixture fx(service);
    for (std::size_t i = 0; i < 2 * expected + 1; ++i) fx.add("f" + std::to_string(i), "x");
    ASSERT_TRUE(fx.upload("preview_download", Json::object(), parallel).ok());
    EXPECT_EQ(most, expected) << parallel;
  }
}

TEST(Upload, FewerJobsThanWorkers) {
  UploadFixture fx;
  fx.add("a", std::string(3, 'a'));
  auto result = fx.upload("e2ee", Json::object(), 8);
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(fx.transport->requests("PUT").size(), 1u);
}

}  // namespace
}  // namespace qel
