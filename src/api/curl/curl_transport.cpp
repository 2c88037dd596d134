// The libcurl back end of the transport: one exchange per call, redirects left to the
// caller, a pool of idle connections shared by every thread of the run.
#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "api/curl/curl_errors.h"
#include "api/transport.h"
#include "common/text.h"

namespace qel {
namespace api {
extern const unsigned char kRootCertificates[];
extern const std::size_t kRootCertificatesSize;
}  // namespace api

namespace {

constexpr long CONNECT_TIMEOUT_SECONDS = 20;
constexpr long STALL_SECONDS = 180;               // no progress for this long ends the exchange
// Large chunk bodies move in few steps; measured on loopback, 128 KiB sends as fast as
// 512 KiB while every handle (one per worker and request) holds a quarter of the memory.
constexpr long UPLOAD_BUFFER_BYTES = 128 * 1024;
constexpr std::size_t MAX_IDLE_CONNECTIONS = 100;
// The longest curl is left waiting for its sockets before it looks again. Its own wait on
// Windows listens for a send event that is not raised again after a send that was only
// partly taken (Wine shows it on every full send buffer); uncapped, each such send would
// wait out a whole second.
constexpr int POLL_CAP_MS = 25;
constexpr const char* TLS12_CIPHERS =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

void init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// What the callbacks collect during one exchange.
struct Exchange {
  std::uint16_t status = 0;
  bool head_complete = false;  // the final reply's head has been read to its blank line
  HttpHeaders headers;
  std::string body;
  bool body_too_large = false;
  int requests_sent = 0;  // how often curl set out to send the request in this exchange
};

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto& ex = *static_cast<Exchange*>(user);
  const std::size_t length = size * count;
  std::string_view line(data, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);

  if (line.substr(0, 5) == "HTTP/") {  // a new head starts (after an interim 1xx reply too)
    ex.headers.clear();
    ex.head_complete = false;
    ex.status = 0;
    const auto space = line.find(' ');
    if (space != std::string_view::npos) {
      std::uint64_t code = 0;
      if (parse_u64(line.substr(space + 1, 3), code) && code < 1000) {
        ex.status = static_cast<std::uint16_t>(code);
      }
    }
  } else if (line.empty()) {
    ex.head_complete = ex.status >= 200;
  } else if ((line.front() == ' ' || line.front() == '\t') && !ex.headers.empty()) {
    ex.headers.back().second += " " + std::string(trim_blanks(line));
  } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
    ex.headers.emplace_back(std::string(line.substr(0, colon)),
                            std::string(trim_blanks(line.substr(colon + 1))));
  }
  return length;
}

constexpr std::size_t BODY_DOUBLING_LIMIT = 1024 * 1024;

// A body is held once, never next to a copy twice its size that it grows into: room for
// the declared length is made at the start; past a mebibyte a body that keeps growing (a
// gzip reply declares its compressed length) moves once into room for the largest body
// allowed, whose pages cost memory only as they are filled.
void reserve_body(Exchange& ex, std::size_t incoming) {
  const std::size_t needed = ex.body.size() + incoming;
  std::size_t room = 0;
  std::uint64_t declared = 0;
  const auto length = find_header(ex.headers, "Content-Length");
  if (ex.body.empty() && length && parse_u64(*length, declared)) {
    room = static_cast<std::size_t>(std::min<std::uint64_t>(declared, MAX_REPLY_BODY));
  }
  if (room < needed) {
    room = ex.body.capacity() * 2;
    if (room > BODY_DOUBLING_LIMIT) room = MAX_REPLY_BODY;
  }
  ex.body.reserve(std::max(room, needed));
}

// Called often during an exchange, about once a second even while nothing moves: a
// non-zero answer ends the exchange.
int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(user)->load() ? 1 : 0;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto& ex = *static_cast<Exchange*>(user);
  const std::size_t length = size * count;
  if (ex.body.size() + length > MAX_REPLY_BODY) {
    ex.body_too_large = true;
    return 0;  // makes curl abort the exchange
  }
  if (ex.body.size() + length > ex.body.capacity()) reserve_body(ex, length);
  ex.body.append(data, length);
  return length;
}

// Called once a connection is made or reused, before the request goes out. curl calls it a
// second time only to resend the request on a fresh connection after a reused one closed
// without a reply; the service may have acted on the first copy, so the resend is refused
// and the exchange fails as the first attempt did. Whether to try again is the caller's
// retry rule to decide, never the transport's.
int on_before_send(void* user, char*, char*, int, int) {
  auto& ex = *static_cast<Exchange*>(user);
  return ++ex.requests_sent == 1 ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
}

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

bool append_header(HeaderList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) return false;
  list.release();
  list.reset(grown);
  return true;
}

bool has_header(const HttpHeaders& headers, std::string_view name) {
  return find_header(headers, name).has_value();
}

// "scheme://authority" of a URL, lower-case: idle connections are kept per destination.
std::string destination_of(std::string_view url) {
  const auto sep = url.find("://");
  if (sep == std::string_view::npos) return ascii_lower(url);
  const auto end = url.find_first_of("/?#", sep + 3);
  return ascii_lower(url.substr(0, end));
}

// One reusable exchange slot: an easy handle and the multi handle that drives it, whose
// connection cache keeps the handle's one live connection between exchanges.
struct Slot {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;

  static Slot open() {
    Slot slot{curl_easy_init(), curl_multi_init()};
    if (slot.multi != nullptr) curl_multi_setopt(slot.multi, CURLMOPT_MAXCONNECTS, 1L);
    return slot;
  }
  bool valid() const { return easy != nullptr && multi != nullptr; }
  void close() {
    if (multi != nullptr) curl_multi_cleanup(multi);
    if (easy != nullptr) curl_easy_cleanup(easy);
    easy = nullptr;
    multi = nullptr;
  }
};

class CurlTransport final : public Transport {
 public:
  explicit CurlTransport(TransportSettings settings) : settings_(std::move(settings)) {
    init_curl_once();
    share_ = curl_share_init();
    if (share_ != nullptr) {
      // Name lookups and TLS sessions are shared, so a fresh connection resumes cheaply.
      curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &CurlTransport::lock);
      curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &CurlTransport::unlock);
      curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
  }

  ~CurlTransport() override {
    for (auto& [destination, slot] : idle_) slot.close();
    if (share_ != nullptr) curl_share_cleanup(share_);
  }

  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  HttpOutcome send(const HttpRequest& request) override {
    if (settings_.proxy && settings_.proxy->kind == ProxySettings::Kind::socks) {
      return TransportFailure{request.url + ": Proxy Failed: SOCKS proxies are not supported"};
    }
    // curl would guess a scheme for a URL without one; such a URL is malformed here.
    if (request.url.find("://") == std::string::npos) {
      return TransportFailure{request.url + ": Bad Url: the URL has no scheme"};
    }
    const std::string destination = destination_of(request.url);
    Slot slot = take(destination);
    if (!slot.valid()) {
      slot.close();
      return TransportFailure{request.url + ": Network Error: cannot set up a connection"};
    }
    Exchange ex;
    std::array<char, CURL_ERROR_SIZE> error_text{};
    bool alive = false;
    HttpOutcome outcome = perform(slot, request, ex, error_text.data(), alive);
    // Nothing of this exchange (buffers, header list, callbacks' data) stays set on the handle.
    curl_easy_reset(slot.easy);
    give_back(slot, destination, alive);
    return outcome;
  }

 private:
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<CurlTransport*>(user)->share_locks_[static_cast<std::size_t>(data)].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<CurlTransport*>(user)->share_locks_[static_cast<std::size_t>(data)].unlock();
  }

  Slot take(const std::string& destination) {
    {
      std::lock_guard<std::mutex> guard(pool_mutex_);
      for (auto it = idle_.begin(); it != idle_.end(); ++it) {
        if (it->first == destination) {
          Slot slot = it->second;
          idle_.erase(it);
          return slot;
        }
      }
    }
    return Slot::open();
  }

  static bool connection_alive(CURL* handle) {
    curl_socket_t socket = CURL_SOCKET_BAD;
    return curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK &&
           socket != CURL_SOCKET_BAD;
  }

  // Keeps the handle (and so its one live connection) when no other idle one serves the
  // destination and the pool has room; otherwise its connection is closed.
  void give_back(Slot slot, const std::string& destination, bool alive) {
    if (alive) {
      std::lock_guard<std::mutex> guard(pool_mutex_);
      bool served = false;
      for (const auto& entry : idle_) served = served || entry.first == destination;
      if (!served && idle_.size() < MAX_IDLE_CONNECTIONS) {
        idle_.emplace_back(destination, slot);
        return;
      }
    }
    slot.close();
  }

  // Runs the exchange to its end on the slot's multi handle; `alive` tells afterwards
  // whether its connection stays open for the next exchange.
  static CURLcode run(const Slot& slot, bool& alive) {
    if (curl_multi_add_handle(slot.multi, slot.easy) != CURLM_OK) return CURLE_FAILED_INIT;
    CURLcode rc = CURLE_OK;
    int running = 1;
    for (;;) {
      const CURLMcode mc = curl_multi_perform(slot.multi, &running);
      if (mc != CURLM_OK) {
        rc = mc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
        break;
      }
      if (running == 0) {
        int left = 0;
        rc = CURLE_FAILED_INIT;
        while (const CURLMsg* message = curl_multi_info_read(slot.multi, &left)) {
          if (message->msg == CURLMSG_DONE && message->easy_handle == slot.easy) {
            rc = message->data.result;
          }
        }
        break;
      }
      if (curl_multi_poll(slot.multi, nullptr, 0, POLL_CAP_MS, nullptr) != CURLM_OK) {
        rc = CURLE_FAILED_INIT;
        break;
      }
    }
    alive = rc == CURLE_OK && connection_alive(slot.easy);
    curl_multi_remove_handle(slot.multi, slot.easy);
    return rc;
  }

  HttpOutcome perform(const Slot& slot, const HttpRequest& request, Exchange& ex,
                      char* error_text, bool& alive) {
    CURL* h = slot.easy;
    curl_easy_reset(h);
    HeaderList headers;
    if (!configure(h, request, ex, error_text, headers)) {
      return TransportFailure{request.url + ": Network Error: cannot prepare the request"};
    }
    const CURLcode rc = run(slot, alive);
    if (ex.requests_sent > 1) {
      // The first copy got nothing back: the same words as an empty reply on a new connection.
      return TransportFailure{
          describe_curl_failure(request.url, CURLE_GOT_NOTHING, "Empty reply from server", false)};
    }
    // curl accepts a connection that closes in the middle of the head; no reply came then.
    if (rc == CURLE_OK && !ex.head_complete) {
      return TransportFailure{request.url +
                              ": Bad Reply: the connection closed before the reply's head ended"};
    }
    if (rc == CURLE_OK) {
      HttpReply reply;
      long status = 0;
      curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
      reply.status = static_cast<std::uint16_t>(status);
      reply.headers = std::move(ex.headers);
      reply.body = std::move(ex.body);
      return reply;
    }
    if (ex.head_complete) {  // the reply came; reading its body failed
      HttpReply reply;
      reply.status = ex.status;
      reply.headers = std::move(ex.headers);
      reply.body =
          fail(ex.body_too_large ? request.url +
                                       ": Network Error: the reply body is "
                                       "larger than 10 MiB"
                                 : describe_curl_failure(request.url, rc, error_text, false));
      return reply;
    }
    long connect_code = 0;
    curl_easy_getinfo(h, CURLINFO_HTTP_CONNECTCODE, &connect_code);
    const bool proxy_refused = connect_code != 0 && connect_code != 200;
    return TransportFailure{describe_curl_failure(request.url, rc, error_text, proxy_refused)};
  }

  bool configure(CURL* h, const HttpRequest& request, Exchange& ex, char* error_text,
                 HeaderList& headers) {
    bool ok = true;
    auto set = [&ok](CURLcode rc) { ok = ok && rc == CURLE_OK; };

    set(curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text));
    set(curl_easy_setopt(h, CURLOPT_URL, request.url.c_str()));
    set(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
    if (share_ != nullptr) set(curl_easy_setopt(h, CURLOPT_SHARE, share_));
    set(curl_easy_setopt(h, CURLOPT_MAXCONNECTS, 1L));
    set(curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
    set(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, CONNECT_TIMEOUT_SECONDS));
    set(curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L));
    set(curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, STALL_SECONDS));
    set(curl_easy_setopt(h, CURLOPT_USERAGENT, settings_.user_agent.c_str()));
    set(curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "gzip"));
    set(curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, UPLOAD_BUFFER_BYTES));

    // TLS: 1.2 at least, and only the built-in roots; the system's store is never read.
    set(curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)));
    // TLS 1.2 offers ECDHE with AEAD suites only (TLS 1.3 suites are all AEAD).
    set(curl_easy_setopt(h, CURLOPT_SSL_CIPHER_LIST, TLS12_CIPHERS));
    set(curl_easy_setopt(h, CURLOPT_SSL_EC_CURVES, "X25519:P-256:P-384"));
    set(curl_easy_setopt(h, CURLOPT_CAINFO, static_cast<char*>(nullptr)));
    set(curl_easy_setopt(h, CURLOPT_CAPATH, static_cast<char*>(nullptr)));
    curl_blob roots{const_cast<unsigned char*>(api::kRootCertificates), api::kRootCertificatesSize,
                    CURL_BLOB_NOCOPY};
    set(curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &roots));

    // The proxy is set explicitly, so curl's own reading of the environment never applies.
    set(curl_easy_setopt(h, CURLOPT_NOPROXY, ""));
    if (settings_.proxy) {
      const ProxySettings& proxy = *settings_.proxy;
      const std::string address = "http://" + proxy.host + ":" + std::to_string(proxy.port);
      set(curl_easy_setopt(h, CURLOPT_PROXY, address.c_str()));
      if (proxy.user && proxy.password) {
        set(curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, proxy.user->c_str()));
        set(curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, proxy.password->c_str()));
        set(curl_easy_setopt(h, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC)));
      }
      const bool https = ascii_lower(request.url.substr(0, 8)) == "https://";
      set(curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, https ? 1L : 0L));
      set(curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
    } else {
      set(curl_easy_setopt(h, CURLOPT_PROXY, ""));
    }

    if (request.cancel != nullptr) {
      set(curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &on_progress));
      set(curl_easy_setopt(h, CURLOPT_XFERINFODATA,
                           const_cast<void*>(static_cast<const void*>(request.cancel))));
      set(curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L));
    }
    if (request.time_limit) {
      set(curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.time_limit->count())));
    }

    set(curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &on_header));
    set(curl_easy_setopt(h, CURLOPT_HEADERDATA, &ex));
    set(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &on_body));
    set(curl_easy_setopt(h, CURLOPT_WRITEDATA, &ex));
    set(curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &on_before_send));
    set(curl_easy_setopt(h, CURLOPT_PREREQDATA, &ex));

    for (const auto& [name, value] : request.headers)
      ok = ok && append_header(headers, name + ": " + value);
    ok = ok && append_header(headers, "Expect:");  // bodies go out at once, no 100-continue wait
    if (request.body) {
      // curl would label a body as a form otherwise; an unlabelled body stays unlabelled.
      if (!has_header(request.headers, "Content-Type"))
        ok = ok && append_header(headers, "Content-Type:");
      const std::string_view body = *request.body;
      set(curl_easy_setopt(h, CURLOPT_POST, 1L));
      set(curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
      // Sent straight from the caller's memory, which outlives the exchange.
      set(curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.empty() ? "" : body.data()));
      if (request.method != "POST") {
        set(curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str()));
      }
    } else if (request.method == "HEAD") {
      set(curl_easy_setopt(h, CURLOPT_NOBODY, 1L));
    } else {
      set(curl_easy_setopt(h, CURLOPT_HTTPGET, 1L));
      if (request.method != "GET") {
        set(curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str()));
      }
    }
    set(curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()));
    return ok;
  }

  TransportSettings settings_;
  CURLSH* share_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> share_locks_;
  std::mutex pool_mutex_;
  std::vector<std::pair<std::string, Slot>> idle_;
};

}  // namespace

std::shared_ptr<Transport> make_transport(const TransportSettings& settings) {
  return std::make_shared<CurlTransport>(settings);
}

}  // namespace qel
