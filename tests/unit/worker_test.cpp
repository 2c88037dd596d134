#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <thread>

#include "e2ee/crypto.h"
#include "e2ee/e2ee.h"
#include "platform/platform.h"
#include "support/hex.h"
#include "upload/worker.h"
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

std::string hex_sha256(const std::string& bytes) {
  return test::hex(crypto::sha256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

TEST(ChunkArithmetic, CountsAndRetryDelays) {
  const std::pair<std::uint64_t, std::uint64_t> counts[] = {
      {0, 1}, {1, 1}, {CHUNK_SIZE - 1, 1}, {CHUNK_SIZE, 1}, {CHUNK_SIZE + 1, 2},
      {20 * 1024 * 1024, 3}, {3 * CHUNK_SIZE, 3}, {~std::uint64_t{0}, (std::uint64_t{1} << 41)},
  };
  for (const auto& [size, count] : counts) EXPECT_EQ(chunk_count(size), count) << size;

  ApiError plain;
  for (std::size_t attempt = 0; attempt < 5; ++attempt) {
    EXPECT_EQ(retry_delay(plain, attempt), std::uint64_t{2} << attempt);
  }
  EXPECT_EQ(retry_delay(plain, 6), 120u);
  EXPECT_EQ(retry_delay(plain, 63), 120u);
  const std::pair<std::uint64_t, std::uint64_t> asked[] = {{0, 0}, {7, 7}, {120, 120}, {600, 120}};
  for (const auto& [after, wait] : asked) {
    ApiError e;
    e.retry_after = after;
    EXPECT_EQ(retry_delay(e, 3), wait) << after;
  }
  EXPECT_EQ(chunk_path(57, 2, 3), "/transfers/57/files/2/chunks/3");
  EXPECT_EQ(chunk_path(-4, 0, 0), "/transfers/-4/files/0/chunks/0");
}

ApiError error_of(std::uint16_t status, std::string code) {
  ApiError e;
  e.code = std::move(code);
  e.message = "m";
  e.http_status = status;
  return e;
}

TEST(RetryLoop, AttemptsAndWaits) {
  struct Case {
    const char* what;
    std::vector<ApiError> failures;  // answers before a success (all of them when too many)
    bool reply_test_rejects_no_reply;
    std::size_t attempts;
    std::vector<std::uint64_t> waits;
    bool ok;
  };
  const Case cases[] = {
      {"503 six times", std::vector<ApiError>(6, error_of(503, "http_error")), false, 6,
       {2, 4, 8, 16, 32}, false},
      {"404 at once", {error_of(404, "not_found")}, false, 1, {}, false},
      {"two checksum errors, then accepted",
       {error_of(409, "checksum_mismatch"), error_of(409, "checksum_mismatch")}, false, 3, {2, 4}, true},
      {"no reply is retried", {error_of(0, "network")}, false, 2, {2}, true},
      {"no reply, caller refuses", {error_of(0, "network")}, true, 1, {}, false},
      {"429 ip_blocked", {error_of(429, "ip_blocked")}, false, 1, {}, false},
  };
  for (const auto& c : cases) {
    std::size_t attempts = 0;
    std::vector<std::uint64_t> waits;
    auto result = with_upload_retries(
        [&]() -> ApiResult<Json> {
          const std::size_t i = attempts++;
          if (i < c.failures.size()) return fail(c.failures[i]);
          return Json{{"ok", true}};
        },
        [&](const ApiError& e) {
          return is_retryable(e) && !(c.reply_test_rejects_no_reply && e.http_status == 0);
        },
        [&](std::uint64_t s) { waits.push_back(s); });
    EXPECT_EQ(attempts, c.attempts) << c.what;
    EXPECT_EQ(waits, c.waits) << c.what;
    EXPECT_EQ(result.ok(), c.ok) << c.what;
  }
}

TEST(RetryLoop, RetryAfterZeroGoesOnWithoutSleeping) {
  std::size_t attempts = 0;
  std::vector<std::uint64_t> waits;
  auto result = with_upload_retries(
      [&]() -> ApiResult<Json> {
        ApiError e = error_of(503, "http_error");
        e.retry_after = 0;
        if (attempts++ < 2) return fail(e);
        return Json(nullptr);
      },
      is_retryable, [&](std::uint64_t s) { waits.push_back(s); });
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(attempts, 3u);
  EXPECT_TRUE(waits.empty());
}

// A chunk's body and digest made the plain way, as the reference for the one-pass
// preparation: the whole plaintext at once, sealed in one piece, hashed in one go, with
// the record's layout written out here.
std::pair<std::string, crypto::Digest> one_shot_chunk(const FileCipher* cipher,
                                                      std::uint64_t index, bool is_last,
                                                      const Nonce& nonce,
                                                      const std::string& plaintext) {
  std::string body;
  if (!cipher) {
    body = plaintext;
  } else {
    if (index == 0) body += "QEL3" + std::string(cipher->salt.begin(), cipher->salt.end());
    const std::size_t length = 12 + plaintext.size() + 16;
    for (int shift : {24, 16, 8, 0}) body += static_cast<char>((length >> shift) & 0xFF);
    body += std::string(nonce.begin(), nonce.end());
    std::string data = plaintext;
    unsigned char tag[16];
    const auto aad = associated_data(cipher->salt, index, is_last);
    auto sealing = cipher->aead.start_seal(nonce.data(), aad.data(), aad.size());
    EXPECT_TRUE(sealing &&
                sealing->update(reinterpret_cast<unsigned char*>(data.data()), data.size()) &&
                sealing->finish(tag));
    body += data + std::string(reinterpret_cast<char*>(tag), 16);
  }
  return {body, crypto::sha256(reinterpret_cast<const unsigned char*>(body.data()), body.size())};
}

TEST(ChunkPreparation, InBlocksEqualsTheOneShotSealAndHash) {
  constexpr std::size_t BLOCK = PREPARE_BLOCK_SIZE;
  TransferKey key{};
  key.fill(9);
  const FileCipher cipher = file_cipher_with_salt(key, Salt{1, 2, 3}).value();
  const Nonce nonce{0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xab};
  // Chunks of files of 1 byte, one block, one block + 1, 8 MiB and 8 MiB + 1 byte: each
  // one as chunk 0 and as a later chunk (the last of a longer file, or its full middle).
  struct Case {
    std::size_t length;
    std::uint64_t index;
    bool is_last;
  };
  const Case cases[] = {
      {1, 0, true},           {1, 3, true},           // 1 byte
      {BLOCK, 0, true},       {BLOCK, 3, true},       // one block
      {BLOCK + 1, 0, true},   {BLOCK + 1, 3, true},   // one block + 1
      {CHUNK_SIZE, 0, true},  {CHUNK_SIZE, 3, false}, // 8 MiB
      {CHUNK_SIZE, 0, false}, {1, 1, true},           // 8 MiB + 1: its two chunks
  };
  const std::string source = random_text(CHUNK_SIZE, 14);
  for (const Case& c : cases) {
    for (bool sealed : {false, true}) {
      const std::string what = std::to_string(c.length) + " bytes, chunk " +
                               std::to_string(c.index) + (sealed ? ", e2ee" : ", plain");
      const std::string plaintext = source.substr(0, c.length);
      const auto [expected_body, expected_digest] =
          one_shot_chunk(sealed ? &cipher : nullptr, c.index, c.is_last, nonce, plaintext);

      // Exactly the body's size, so that a write past it is caught by the sanitizers.
      std::vector<unsigned char> body(sealed ? chunk_body_size(c.index, c.length) : c.length);
      std::size_t read_so_far = 0;
      std::vector<std::size_t> blocks;
      const ChunkSeal seal{cipher, c.index, c.is_last, nonce};
      const auto digest = prepare_chunk(
          [&](unsigned char* out, std::size_t size) -> Status {
            std::memcpy(out, plaintext.data() + read_so_far, size);
            read_so_far += size;
            blocks.push_back(size);
            return {};
          },
          sealed ? &seal : nullptr, body.data(), c.length);
      ASSERT_TRUE(digest) << what << ": " << digest.error();
      EXPECT_TRUE(std::string(body.begin(), body.end()) == expected_body) << what;
      EXPECT_EQ(*digest, expected_digest) << what;
      EXPECT_EQ(read_so_far, c.length) << what;
      EXPECT_EQ(blocks.size(), (c.length + BLOCK - 1) / BLOCK) << what;
      for (std::size_t size : blocks) EXPECT_LE(size, BLOCK) << what;
    }
  }
}

TEST(ChunkPreparation, AFailedReadEndsItWithTheReadersText) {
  TransferKey key{};
  const FileCipher cipher = file_cipher_with_salt(key, Salt{}).value();
  const ChunkSeal seal{cipher, 0, true, Nonce{}};
  for (const ChunkSeal* mode : {static_cast<const ChunkSeal*>(nullptr), &seal}) {
    std::vector<unsigned char> body(chunk_body_size(0, 3 * PREPARE_BLOCK_SIZE));
    int reads = 0;
    const auto digest = prepare_chunk(
        [&](unsigned char*, std::size_t) -> Status {
          if (++reads == 2) return fail("f: failed to fill whole buffer (was the file changed?)");
          return {};
        },
        mode, body.data(), 3 * PREPARE_BLOCK_SIZE);
    ASSERT_FALSE(digest);
    EXPECT_EQ(digest.error(), "f: failed to fill whole buffer (was the file changed?)");
    EXPECT_EQ(reads, 2) << "no read after the failed one";
  }
}

// A worker context over real files and a scripted service.
struct WorkerFixture {
  TempFolder folder;
  std::vector<FileEntry> files;
  std::optional<std::vector<FileCipher>> ciphers;
  std::shared_ptr<FakeTransport> transport;
  ApiClient client;
  ProgressBar progress{1 << 30, [](std::string_view) {}, [] { return std::chrono::nanoseconds(0); }};
  std::vector<std::uint64_t> waits;
  std::mutex waits_mutex;

  explicit WorkerFixture(FakeTransport::Handler handler)
      : transport(std::make_shared<FakeTransport>(std::move(handler))),
        client(fake_client(transport)) {}

  void add(const std::string& name, const std::string& bytes) {
    files.push_back({folder.write(name, bytes), name, bytes.size()});
  }

  void encrypt() {
    TransferKey key{};
    key.fill(7);
    ciphers.emplace();
    for (std::size_t i = 0; i < files.size(); ++i) ciphers->push_back(next_file_cipher(key).value());
  }

  std::unique_ptr<WorkerContext> context(std::int64_t transfer_id = 57) {
    auto c = std::make_unique<WorkerContext>(files, ciphers ? &*ciphers : nullptr, client,
                                             transfer_id, progress, [this](std::uint64_t s) {
                                               std::lock_guard l(waits_mutex);
                                               waits.push_back(s);
                                             });
    for (std::size_t f = 0; f < files.size(); ++f) {
      for (std::uint64_t k = 0; k < chunk_count(files[f].size); ++k) c->job_queue.push_back({f, k});
    }
    return c;
  }
};

HttpOutcome accept(const SeenRequest&) { return reply(200, R"({"received":1})"); }

TEST(ChunkWorker, SendsEachChunkOfThePlainFileInOrder) {
  WorkerFixture fx(accept);
  const std::string big = random_text(CHUNK_SIZE + 5, 1);
  fx.add("big.bin", big);
  fx.add("one.txt", "x");
  auto ctx = fx.context(-3);
  run_chunk_worker(*ctx);

  EXPECT_FALSE(ctx->first_error);
  const auto puts = fx.transport->requests("PUT");
  ASSERT_EQ(puts.size(), 3u);
  const std::pair<std::string, std::string> expected[] = {
      {"/transfers/-3/files/0/chunks/0", big.substr(0, CHUNK_SIZE)},
      {"/transfers/-3/files/0/chunks/1", big.substr(CHUNK_SIZE)},
      {"/transfers/-3/files/1/chunks/0", "x"},
  };
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(puts[i].path, expected[i].first);
    ASSERT_TRUE(puts[i].body);
    EXPECT_TRUE(*puts[i].body == expected[i].second) << i;
    EXPECT_EQ(puts[i].header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(puts[i].header("X-Chunk-SHA256"), hex_sha256(*puts[i].body));
  }
  EXPECT_EQ(fx.progress.position(), big.size() + 1);
}

TEST(ChunkWorker, SealsChunksInTheStreamLayout) {
  WorkerFixture fx(accept);
  const std::string plain = random_text(CHUNK_SIZE + 1, 2);
  fx.add("a.bin", plain);
  fx.add("b.txt", std::string(4096, 'b'));
  fx.encrypt();
  auto ctx = fx.context();
  run_chunk_worker(*ctx);
  ASSERT_FALSE(ctx->first_error) << *ctx->first_error;

  const auto puts = fx.transport->requests("PUT");
  ASSERT_EQ(puts.size(), 3u);
  struct Expect {
    std::size_t file;
    std::uint64_t chunk;
    bool last;
    std::string plaintext;
  };
  const Expect expected[] = {{0, 0, false, plain.substr(0, CHUNK_SIZE)},
                             {0, 1, true, plain.substr(CHUNK_SIZE)},
                             {1, 0, true, std::string(4096, 'b')}};
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& e = expected[i];
    const FileCipher& cipher = (*fx.ciphers)[e.file];
    std::string body = *puts[i].body;
    EXPECT_EQ(puts[i].header("X-Chunk-SHA256"), hex_sha256(body)) << "digest covers the whole body";
    std::size_t at = 0;
    if (e.chunk == 0) {
      ASSERT_EQ(body.substr(0, 4), "QEL3");
      EXPECT_EQ(std::memcmp(body.data() + 4, cipher.salt.data(), 16), 0);
      at = 20;
    }
    const std::size_t p = e.plaintext.size();
    ASSERT_EQ(body.size(), at + 32 + p) << i;
    const auto* rec = reinterpret_cast<unsigned char*>(body.data() + at);
    const std::uint32_t length = (rec[0] << 24) | (rec[1] << 16) | (rec[2] << 8) | rec[3];
    EXPECT_EQ(length, 12 + p + 16);
    const auto aad = associated_data(cipher.salt, e.chunk, e.last);
    unsigned char* data = reinterpret_cast<unsigned char*>(body.data() + at + 16);
    ASSERT_TRUE(cipher.aead.open(rec + 4, aad.data(), aad.size(), data, p, data + p)) << i;
    EXPECT_TRUE(std::string(reinterpret_cast<char*>(data), p) == e.plaintext) << i;
  }
  EXPECT_EQ(fx.progress.position(), plain.size() + 4096) << "plaintext bytes, not body bytes";
}

TEST(ChunkWorker, EachSealDrawsAFreshNonce) {
  // The same chunk of the same file, under the same cipher, uploaded twice.
  WorkerFixture fx(accept);
  fx.add("a.bin", random_text(1000, 4));
  fx.encrypt();
  run_chunk_worker(*fx.context());
  run_chunk_worker(*fx.context());
  const auto puts = fx.transport->requests("PUT");
  ASSERT_EQ(puts.size(), 2u);
  const std::string& one = *puts[0].body;
  const std::string& two = *puts[1].body;
  ASSERT_EQ(one.size(), two.size());
  EXPECT_EQ(one.substr(0, 24), two.substr(0, 24)) << "header and length";
  EXPECT_NE(one.substr(24, 12), two.substr(24, 12)) << "nonce";
  EXPECT_NE(one.substr(36, 1000), two.substr(36, 1000)) << "ciphertext";
  EXPECT_NE(one.substr(1036), two.substr(1036)) << "tag";
  EXPECT_NE(puts[0].header("X-Chunk-SHA256"), puts[1].header("X-Chunk-SHA256"));
}

TEST(ChunkWorker, RetriesResendTheSameSealedBodyAndDigest) {
  // Each refusal twice, then the chunk is accepted; a lost exchange is retried like a 503.
  const std::pair<const char*, HttpOutcome (*)()> refusals[] = {
      {"checksum_mismatch",
       [] { return reply(409, R"({"error":{"code":"checksum_mismatch","message":"bad"}})"); }},
      {"invalid_chunk",
       [] { return reply(400, R"({"error":{"code":"invalid_chunk","message":"bad"}})"); }},
      {"no reply", [] { return no_reply(); }},
  };
  for (const auto& [what, refuse] : refusals) {
    std::atomic<int> left{2};
    WorkerFixture fx([&, refuse = refuse](const SeenRequest& r) {
      return r.method == "PUT" && left-- > 0 ? refuse() : accept(r);
    });
    fx.add("a.bin", random_text(1000, 3));
    fx.encrypt();
    auto ctx = fx.context();
    run_chunk_worker(*ctx);
    EXPECT_FALSE(ctx->first_error) << what;
    const auto puts = fx.transport->requests("PUT");
    ASSERT_EQ(puts.size(), 3u) << what;
    for (const auto& p : puts) {
      EXPECT_TRUE(p.body == puts[0].body) << what << ": one seal, one nonce for every attempt";
      EXPECT_EQ(p.header("X-Chunk-SHA256"), puts[0].header("X-Chunk-SHA256")) << what;
    }
    EXPECT_EQ(fx.waits, (std::vector<std::uint64_t>{2, 4})) << what;
  }
}

TEST(ChunkWorker, FailureTexts) {
  struct Case {
    const char* what;
    std::string bytes;          // written to the file
    std::uint64_t listed_size;  // as collected
    bool remove_file;
    HttpOutcome (*answer)(const SeenRequest&);
    std::string expected;  // "{path}" stands for the file's path
    std::size_t puts;
    bool sealed;
  };
  auto refuse = [](const SeenRequest&) {
    return reply(404, R"({"error":{"code":"not_found","message":"Transfer not found."}})");
  };
  auto empty = [](const SeenRequest&) { return reply(200, ""); };
  const Case cases[] = {
      {"shrunk", "abc", 10, false, accept,
       "{path}: failed to fill whole buffer (was the file changed during upload?)", 0, false},
      {"shrunk within a later block, sealed", random_text(PREPARE_BLOCK_SIZE + 3, 5),
       PREPARE_BLOCK_SIZE + 10, false, accept,
       "{path}: failed to fill whole buffer (was the file changed during upload?)", 0, true},
      {"missing", "abc", 3, true, accept, "{path}: " + platform::system_error_text(2), 0,
       false},
      {"refused", "abc", 3, false, refuse, "f.txt: Transfer not found. (not_found, HTTP 404)", 1,
       false},
      {"empty reply", "abc", 3, false, empty,
       "f.txt: The server returned an unexpected response. (invalid_response, HTTP 200)", 1, true},
  };
  for (const auto& c : cases) {
    WorkerFixture fx(c.answer);
    fx.add("f.txt", c.bytes);
    fx.files[0].size = c.listed_size;
    fx.add("g.txt", "later");
    if (c.remove_file) std::filesystem::remove(fx.files[0].path);
    if (c.sealed) fx.encrypt();
    auto ctx = fx.context();
    run_chunk_worker(*ctx);

    std::string expected = c.expected;
    if (auto at = expected.find("{path}"); at != std::string::npos) {
      expected.replace(at, 6, platform::path_text(fx.files[0].path));
    }
    ASSERT_TRUE(ctx->first_error) << c.what;
    EXPECT_EQ(*ctx->first_error, expected) << c.what;
    EXPECT_TRUE(ctx->abort_flag.load()) << c.what;
    EXPECT_EQ(fx.transport->requests("PUT").size(), c.puts) << c.what;
    EXPECT_EQ(ctx->job_queue.size(), 1u) << c.what << ": the next file's job is never run";
    EXPECT_EQ(fx.progress.position(), 0u) << c.what;
  }
}

TEST(ChunkWorker, AGrownFileIsSentUpToItsCollectedSize) {
  WorkerFixture fx(accept);
  fx.add("f.txt", "abcdef");
  fx.files[0].size = 4;
  auto ctx = fx.context();
  run_chunk_worker(*ctx);
  ASSERT_EQ(fx.transport->requests("PUT").size(), 1u);
  EXPECT_EQ(*fx.transport->requests("PUT")[0].body, "abcd");
}

TEST(ChunkWorker, AbortFlagAndFirstErrorAreRespected) {
  WorkerFixture fx([](const SeenRequest&) {
    return reply(400, R"({"error":{"code":"bad","message":"later failure"}})");
  });
  fx.add("f.txt", "abc");
  auto aborted = fx.context();
  aborted->abort_flag = true;
  run_chunk_worker(*aborted);
  EXPECT_TRUE(fx.transport->requests().empty()) << "the flag is read before the first job";

  auto taken = fx.context();
  taken->first_error = "earlier failure";
  run_chunk_worker(*taken);
  EXPECT_EQ(fx.transport->requests().size(), 1u);
  EXPECT_EQ(*taken->first_error, "earlier failure");
}

TEST(ChunkWorker, AChunkUnderWayWhenAnotherFailsRunsToItsEnd) {
  // Another worker fails while this one's first attempt is out: the chunk still gets its
  // retry and counts on the bar, and only then is the flag seen and the next job left.
  WorkerContext* ctx = nullptr;
  std::atomic<int> attempts{0};
  WorkerFixture fx([&](const SeenRequest& r) {
    if (attempts++ == 0) {
      ctx->abort_flag = true;
      return reply(503, "", {{"Retry-After", "0"}});
    }
    return accept(r);
  });
  fx.add("f.txt", "abc");
  fx.add("g.txt", "later");
  auto context = fx.context();
  ctx = context.get();
  run_chunk_worker(*context);
  EXPECT_EQ(fx.transport->requests("PUT").size(), 2u);
  EXPECT_FALSE(context->first_error);
  EXPECT_EQ(fx.progress.position(), 3u);
  EXPECT_EQ(context->job_queue.size(), 1u);
}

TEST(ChunkWorker, ManyWorkersShareOneContext) {
  // 24 chunks over 8 threads; every chunk is sent exactly once, whatever the interleaving.
  WorkerFixture fx(accept);
  for (int i = 0; i < 24; ++i) fx.add("f" + std::to_string(i), random_text(100 + i, i));
  fx.encrypt();
  auto ctx = fx.context();
  std::vector<std::thread> workers;
  for (int i = 0; i < 8; ++i) workers.emplace_back(run_chunk_worker, std::ref(*ctx));
  for (auto& w : workers) w.join();
  EXPECT_FALSE(ctx->first_error);
  std::map<std::string, int> seen;
  for (const auto& r : fx.transport->requests("PUT")) ++seen[r.path];
  EXPECT_EQ(seen.size(), 24u);
  for (const auto& [path, times] : seen) EXPECT_EQ(times, 1) << path;
  std::uint64_t total = 0;
  for (const auto& f : fx.files) total += f.size;
  EXPECT_EQ(fx.progress.position(), total);
}

}  // namespace
}  // namespace qel
