#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>

// Blocking HTTP(S) exchanges on libcurl.
//
// TLS peers are always verified, against the system CA store; setting the environment variable
// RYVO_CA_FILE to a PEM file makes that file the only trusted CA set instead (for test servers
// with their own CA). Verification itself can never be switched off; TLS 1.2 is the oldest
// version spoken, redirects are not followed, and plain http:// never goes through a proxy. An
// exchange fails when libcurl refuses any of these settings.
namespace ryvoobs {

enum class HttpMethod { get, post };

struct HttpSessionOptions {
    // Longest whole exchange, connecting included.
    std::chrono::milliseconds exchange_timeout{30'000};
    // Longest time without any body data moving in either direction, connecting and waiting
    // for the answer included. Checked about once a second.
    std::chrono::milliseconds stall_timeout{15'000};
    // Connections to the server at once; further exchanges wait for one to come free.
    std::size_t max_connections = 4;
    std::string user_agent;
};

struct HttpExchange {
    enum class Outcome { response, invalid_url, invalid_header, transport_failure };

    Outcome outcome = Outcome::transport_failure;
    std::int64_t status = 0;  // of the final response
    std::string body;         // empty unless a response arrived
    std::string error;        // libcurl's description of a transport failure
    std::string retry_after;  // the final response's Retry-After value, trimmed; "" when absent
};

// One session per client. Exchanges on different threads run at the same time, each on its own
// connection; a connection outlives the exchange and is reused by the next one, so a thread that
// sends one request after another keeps talking over the same connection.
class HttpSession {
  public:
    explicit HttpSession(HttpSessionOptions options = {});
    ~HttpSession();

    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // Only http and https URLs are accepted; anything else, and header names or values that
    // would break the header block (CR, LF, NUL), fail before any network activity. Headers are
    // sent in the map's order; an empty value is sent as an empty header. `body` (POST only) is
    // sent from the caller's buffer as it is.
    HttpExchange perform(HttpMethod method, const std::string& url,
                         const std::map<std::string, std::string>& headers,
                         std::span<const std::uint8_t> body) const;

    // Ends every exchange in flight within about 100 ms as a transport failure ("request
    // cancelled") and makes every later one fail the same way before any network activity.
    // Returns at once; cannot be undone.
    void cancel();

  private:
    class HandlePool;
    class HandleLease;
    class SocketRegistry;

    HttpSessionOptions options_;
    std::string ca_file_;
    // Declared before the pool: handles close their connections through it when destroyed.
    std::unique_ptr<SocketRegistry> sockets_;
    std::unique_ptr<HandlePool> pool_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace ryvoobs
