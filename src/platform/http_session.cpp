#include "platform/http_session.h"

#include <curl/curl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

namespace ryvoobs {
namespace {

// Bodies the ingest API answers with are small JSON or error pages; anything far larger is a
// broken or hostile server and must not grow the process without bound.
constexpr std::size_t kMaxResponseBody = 4 * 1024 * 1024;

constexpr const char* kCancelledText = "request cancelled";

void ensure_curl_initialised() {
    static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    static_cast<void>(result);
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view trim(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

bool breaks_header_block(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

UrlHandle parse_http_url(const std::string& url) {
    if (url.find('\0') != std::string::npos) {
        return nullptr;
    }
    UrlHandle handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        return nullptr;
    }
    char* scheme = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
        return nullptr;
    }
    const bool http = strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "https") == 0;
    curl_free(scheme);
    return http ? std::move(handle) : nullptr;
}

void append_header(HeaderList& list, const std::string& line) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (extended == nullptr) {
        throw std::bad_alloc();
    }
    static_cast<void>(list.release());
    list.reset(extended);
}

// libcurl drops a header given as "Name:" and sends "Name;" as an empty one.
std::string header_line(const std::string& name, const std::string& value) {
    return value.empty() ? name + ";" : name + ": " + value;
}

// What one exchange collects; lives on the calling thread's stack for the exchange.
struct CallState {
    char error[CURL_ERROR_SIZE] = {};
    std::string body;
    std::string retry_after;
    bool body_too_large = false;
    bool out_of_memory = false;
    // libcurl's own low-speed limit judges a speed averaged over several seconds, so it fires
    // only some five seconds after the data stopped; the stall bound is kept here instead.
    std::chrono::steady_clock::duration stall_limit{};
    std::chrono::steady_clock::time_point last_progress = std::chrono::steady_clock::now();
    curl_off_t last_bytes = 0;
    bool stalled = false;
    const std::atomic<bool>* cancel = nullptr;
    bool cancelled = false;
};

// The callbacks run inside libcurl: nothing may be thrown through it.
int on_progress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) noexcept {
    auto* state = static_cast<CallState*>(user);
    if (state->cancel != nullptr && state->cancel->load(std::memory_order_acquire)) {
        state->cancelled = true;
        return 1;
    }
    const auto now = std::chrono::steady_clock::now();
    if (received + sent != state->last_bytes) {
        state->last_bytes = received + sent;
        state->last_progress = now;
        return 0;
    }
    if (now - state->last_progress >= state->stall_limit) {
        state->stalled = true;
        return 1;
    }
    return 0;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) noexcept {
    auto* state = static_cast<CallState*>(user);
    const std::size_t bytes = size * count;
    if (state->body.size() + bytes > kMaxResponseBody) {
        state->body_too_large = true;
        return CURL_WRITEFUNC_ERROR;
    }
    try {
        state->body.append(data, bytes);
    } catch (const std::bad_alloc&) {
        state->out_of_memory = true;
        return CURL_WRITEFUNC_ERROR;
    }
    return bytes;
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) noexcept {
    auto* state = static_cast<CallState*>(user);
    const std::size_t bytes = size * count;
    const std::string_view line(data, bytes);
    if (line.starts_with("HTTP/")) {
        // A new status line: informational responses before the final one carry nothing of use.
        state->retry_after.clear();
    } else if (const auto colon = line.find(':');
               colon != std::string_view::npos &&
               equals_ignoring_case(line.substr(0, colon), "Retry-After")) {
        try {
            state->retry_after = std::string(trim(line.substr(colon + 1)));
        } catch (const std::bad_alloc&) {
            state->out_of_memory = true;
            return CURL_WRITEFUNC_ERROR;
        }
    }
    return bytes;
}

std::string failure_description(const CallState& state, CURLcode result,
                                std::chrono::milliseconds stall_limit) {
    if (state.body_too_large) {
        return "response body too large";
    }
    if (state.out_of_memory) {
        return "out of memory";
    }
    if (state.cancelled) {
        return kCancelledText;
    }
    if (state.stalled) {
        return "Operation too slow: no data transferred for " +
               std::to_string(stall_limit.count()) + " ms";
    }
    return state.error[0] != '\0' ? std::string(state.error)
                                  : std::string(curl_easy_strerror(result));
}

// The caller's headers plus two that switch off libcurl defaults: segments are megabytes, and
// without "Expect:" libcurl would first wait for a 100 Continue; a POST without a declared type
// must not be labelled as a form. Nothing when a name or value would break the header block.
std::optional<HeaderList> header_list_for(HttpMethod method,
                                          const std::map<std::string, std::string>& headers) {
    HeaderList list;
    bool has_content_type = false;
    for (const auto& [name, value] : headers) {
        if (name.empty() || breaks_header_block(name) || breaks_header_block(value)) {
            return std::nullopt;
        }
        has_content_type = has_content_type || equals_ignoring_case(name, "Content-Type");
        append_header(list, header_line(name, value));
    }
    append_header(list, "Expect:");
    if (method == HttpMethod::post && !has_content_type) {
        append_header(list, "Content-Type:");
    }
    return list;
}

// An option the transfer's safety rests on: when libcurl refuses it, the exchange must fail
// rather than run on libcurl's default.
template <typename Value>
bool require_option(CURL* handle, CURLoption option, const char* what, Value value,
                    std::string* error) {
    const CURLcode result = curl_easy_setopt(handle, option, value);
    if (result != CURLE_OK) {
        *error = std::string("libcurl refused a required safety setting (") + what +
                 "): " + curl_easy_strerror(result);
        return false;
    }
    return true;
}

bool is_plain_http(CURLU* url) {
    char* scheme = nullptr;
    if (curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
        return false;
    }
    const bool plain = strcasecmp(scheme, "http") == 0;
    curl_free(scheme);
    return plain;
}

bool set_safety_options(CURL* handle, CURLU* url, const std::string& ca_file, std::string* error) {
    if (!require_option(handle, CURLOPT_PROTOCOLS_STR, "allowed protocols", "http,https", error) ||
        !require_option(handle, CURLOPT_FOLLOWLOCATION, "no redirects", 0L, error) ||
        !require_option(handle, CURLOPT_SSL_VERIFYPEER, "peer verification", 1L, error) ||
        !require_option(handle, CURLOPT_SSL_VERIFYHOST, "host verification", 2L, error) ||
        !require_option(handle, CURLOPT_SSLVERSION, "minimum TLS 1.2",
                        static_cast<long>(CURL_SSLVERSION_TLSv1_2), error)) {
        return false;
    }
    if (!ca_file.empty() &&
        (!require_option(handle, CURLOPT_CAINFO, "CA file", ca_file.c_str(), error) ||
         !require_option(handle, CURLOPT_CAPATH, "CA file only", static_cast<const char*>(nullptr),
                         error))) {
        return false;
    }
    // Plain http:// only ever goes to this machine; through a proxy from the environment the
    // request, API key included, would cross the network in clear text.
    return !is_plain_http(url) || require_option(handle, CURLOPT_PROXY, "no proxy", "", error);
}

// False, with the reason in `error`, when a safety setting was refused.
bool set_options(CURL* handle, const HttpSessionOptions& options, const std::string& ca_file,
                 HttpMethod method, CURLU* url, curl_slist* headers,
                 std::span<const std::uint8_t> body, CallState* state, std::string* error) {
    if (!set_safety_options(handle, url, ca_file, error)) {
        return false;
    }
    curl_easy_setopt(handle, CURLOPT_CURLU, url);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, state->error);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(options.exchange_timeout.count()));
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &on_progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, state);
    curl_easy_setopt(handle, CURLOPT_MAXCONNECTS, 1L);
    if (!options.user_agent.empty()) {
        curl_easy_setopt(handle, CURLOPT_USERAGENT, options.user_agent.c_str());
    }
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &on_body);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, state);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &on_header);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, state);
    if (method == HttpMethod::post) {
        static constexpr char kNoBody[] = "";
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        // Sent straight from the caller's buffer: libcurl does not copy POSTFIELDS.
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS,
                         body.empty() ? static_cast<const void*>(kNoBody)
                                      : static_cast<const void*>(body.data()));
    } else {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    }
    return true;
}

}  // namespace

// The session's open sockets, so that cancel() can wake a transfer that waits on a silent peer:
// libcurl looks at its progress callback only about once a second while nothing arrives, but a
// socket shut down under it fails the transfer at once. Sockets are opened and closed through
// here only, under the mutex, so a shutdown can never reach a descriptor that was reused.
class HttpSession::SocketRegistry {
  public:
    static curl_socket_t open(void* user, curlsocktype, curl_sockaddr* address) noexcept {
        auto* registry = static_cast<SocketRegistry*>(user);
        std::lock_guard lock(registry->mutex_);
        const curl_socket_t socket_fd =
            ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (socket_fd == CURL_SOCKET_BAD) {
            return CURL_SOCKET_BAD;
        }
        try {
            registry->open_.insert(socket_fd);
        } catch (...) {
            ::close(socket_fd);
            return CURL_SOCKET_BAD;
        }
        if (registry->shut_down_) {
            ::shutdown(socket_fd, SHUT_RDWR);
        }
        return socket_fd;
    }

    static int close(void* user, curl_socket_t socket_fd) noexcept {
        auto* registry = static_cast<SocketRegistry*>(user);
        std::lock_guard lock(registry->mutex_);
        registry->open_.erase(socket_fd);
        return ::close(socket_fd);
    }

    // Set again for every exchange: a handle's reset forgets them.
    void route_sockets_of(CURL* handle) {
        curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, &SocketRegistry::open);
        curl_easy_setopt(handle, CURLOPT_OPENSOCKETDATA, this);
        curl_easy_setopt(handle, CURLOPT_CLOSESOCKETFUNCTION, &SocketRegistry::close);
        curl_easy_setopt(handle, CURLOPT_CLOSESOCKETDATA, this);
    }

    void shut_down_all() {
        std::lock_guard lock(mutex_);
        shut_down_ = true;
        for (const curl_socket_t socket_fd : open_) {
            ::shutdown(socket_fd, SHUT_RDWR);
        }
    }

  private:
    std::mutex mutex_;
    std::set<curl_socket_t> open_;
    bool shut_down_ = false;
};

// Easy handles, each holding at most one connection. A handle goes back to the pool after every
// exchange so that its connection is reused; at most `max_connections` handles exist, which
// caps the connections of the session. The mutex is a leaf: no libcurl call runs under it.
class HttpSession::HandlePool {
  public:
    explicit HandlePool(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}

    ~HandlePool() {
        for (CURL* handle : idle_) {
            curl_easy_cleanup(handle);
        }
    }

    HandlePool(const HandlePool&) = delete;
    HandlePool& operator=(const HandlePool&) = delete;

    // Null when libcurl cannot create a handle.
    CURL* acquire() {
        {
            std::unique_lock lock(mutex_);
            available_.wait(lock, [this] { return !idle_.empty() || created_ < capacity_; });
            if (!idle_.empty()) {
                CURL* handle = idle_.back();
                idle_.pop_back();
                return handle;
            }
            ++created_;
        }
        CURL* handle = curl_easy_init();
        if (handle == nullptr) {
            std::lock_guard lock(mutex_);
            --created_;
            available_.notify_one();
        }
        return handle;
    }

    void release(CURL* handle) {
        {
            std::lock_guard lock(mutex_);
            idle_.push_back(handle);
        }
        available_.notify_one();
    }

  private:
    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable available_;
    // Most recently used last, so a thread working alone gets its warm handle back.
    std::vector<CURL*> idle_;
    std::size_t created_ = 0;
};

HttpSession::HttpSession(HttpSessionOptions options)
    : options_(std::move(options)),
      sockets_(std::make_unique<SocketRegistry>()),
      pool_(std::make_unique<HandlePool>(options_.max_connections)) {
    ensure_curl_initialised();
    if (const char* ca_file = std::getenv("RYVO_CA_FILE"); ca_file != nullptr) {
        ca_file_ = ca_file;
    }
}

HttpSession::~HttpSession() = default;

void HttpSession::cancel() {
    cancelled_.store(true, std::memory_order_release);
    sockets_->shut_down_all();
}

// Returns its handle to the pool reset, so that nothing in it points at the finished call's
// buffers and the next exchange sets its options from scratch; the live connection survives.
class HttpSession::HandleLease {
  public:
    explicit HandleLease(HandlePool& pool) : pool_(pool), handle_(pool.acquire()) {}
    ~HandleLease() {
        if (handle_ != nullptr) {
            curl_easy_reset(handle_);
            pool_.release(handle_);
        }
    }
    HandleLease(const HandleLease&) = delete;
    HandleLease& operator=(const HandleLease&) = delete;

    CURL* get() const { return handle_; }

  private:
    HandlePool& pool_;
    CURL* handle_;
};

HttpExchange HttpSession::perform(HttpMethod method, const std::string& url,
                                  const std::map<std::string, std::string>& headers,
                                  std::span<const std::uint8_t> body) const {
    HttpExchange exchange;
    const UrlHandle parsed = parse_http_url(url);
    if (!parsed) {
        exchange.outcome = HttpExchange::Outcome::invalid_url;
        return exchange;
    }
    const std::optional<HeaderList> header_list = header_list_for(method, headers);
    if (!header_list) {
        exchange.outcome = HttpExchange::Outcome::invalid_header;
        return exchange;
    }

    if (cancelled_.load(std::memory_order_acquire)) {
        exchange.error = kCancelledText;
        return exchange;
    }
    const HandleLease lease(*pool_);
    if (lease.get() == nullptr) {
        exchange.error = "could not create an HTTP handle";
        return exchange;
    }
    CallState state;
    state.stall_limit = options_.stall_timeout;
    if (!set_options(lease.get(), options_, ca_file_, method, parsed.get(), header_list->get(),
                     body, &state, &exchange.error)) {
        return exchange;
    }
    state.cancel = &cancelled_;
    sockets_->route_sockets_of(lease.get());
    if (cancelled_.load(std::memory_order_acquire)) {
        exchange.error = kCancelledText;
        return exchange;
    }
    const CURLcode result = curl_easy_perform(lease.get());
    if (result != CURLE_OK) {
        exchange.error = failure_description(state, result, options_.stall_timeout);
        return exchange;
    }
    long status = 0;
    curl_easy_getinfo(lease.get(), CURLINFO_RESPONSE_CODE, &status);
    exchange.outcome = HttpExchange::Outcome::response;
    exchange.status = status;
    exchange.body = std::move(state.body);
    exchange.retry_after = std::move(state.retry_after);
    return exchange;
}

}  // namespace ryvoobs
