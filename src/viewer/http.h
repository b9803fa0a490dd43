// The viewer's small HTTP/1.1 server: blocking POSIX sockets on 127.0.0.1,
// one detached thread per connection, one request per connection.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/io.h"
#include "common/result.h"

namespace morva::viewer {

// Decoded query keys to decoded values; a repeated key keeps its last value.
using QueryMap = std::map<std::string, std::string>;

struct Request {
    std::string method;
    std::string path;  // the target before any "?", not decoded
    QueryMap query;
};

struct Response {
    Response(std::uint16_t code, std::string_view type, std::string text)
        : status(code), content_type(type), body(std::move(text)) {}
    // A body shared with other connections sending the same answer.
    Response(std::uint16_t code, std::string_view type, std::shared_ptr<const std::string> shared)
        : status(code), content_type(type), shared_body(std::move(shared)) {}

    std::string_view body_text() const { return shared_body ? std::string_view(*shared_body) : body; }

    std::uint16_t status = 200;
    std::string_view content_type;  // always a static text
    std::string body;
    std::shared_ptr<const std::string> shared_body;  // used instead of `body` when set
};

// Answers one request; must not throw (a throw closes the connection).
using RequestHandler = std::function<Response(const Request&)>;

// Decodes one query key or value: "+" is a space, "%XX" a byte, a "%" not
// followed by two hexadecimal digits stays; the bytes are read as Latin-1,
// so the result is always valid UTF-8.
std::string url_decode(std::string_view text);

// Splits a query at "&" into key=value pairs (pieces without "=" ignored).
QueryMap parse_query(std::string_view query);

// The request from its request line (method, target, anything else
// ignored); the method is empty and the target "/" when missing.
Request parse_request_line(std::string_view line);

// Whether a Host header value names the loopback: 127.0.0.1, localhost (any
// case) or [::1], each with an optional ":port".
bool is_loopback_host(std::string_view host);

// Writes "HTTP/1.1 {status} {reason}" with the fixed headers, then the body.
Result<void, IoError> write_status(int fd, std::uint16_t status, std::string_view content_type,
                                   std::string_view body);

// Bounds on what one client can make the server hold.
struct ServerLimits {
    std::size_t max_line_bytes = 8192;  // request line and each header line
    std::size_t max_header_lines = 128;
    // Live connection threads. When all are taken, a newcomer replaces the
    // connection still reading its request that has sent nothing for the
    // longest time; it is closed at once only when every one is answering.
    std::size_t max_connections = 256;
    int first_line_timeout_ms = 2000;  // the request line, from accept
    int read_timeout_ms = 5000;        // each read of the request
    int request_timeout_ms = 10000;    // the whole request, from accept
    int write_timeout_ms = 30000;
};

// What the accept loop tells an observer of its connections (the tests,
// which order their clients by it): one was accepted, read bytes of its
// request, or its thread ended.
enum class ConnectionEvent { Accepted, BytesRead, Ended };
using ConnectionObserver = std::function<void(ConnectionEvent)>;

// What the accept loop knows of one live connection while its request is
// read: when a byte last arrived, and whether the whole request has.
struct ConnectionActivity {
    explicit ConnectionActivity(int connection_fd, std::chrono::steady_clock::time_point accepted_at)
        : last_byte(accepted_at.time_since_epoch().count()), fd_(connection_fd) {}

    // Ends the connection's wait for its request (its thread then closes it);
    // nothing when the connection is closed already.
    void shut_down();
    // Called by the connection's thread before it closes the descriptor.
    void detach();

    std::atomic<std::chrono::steady_clock::rep> last_byte;  // or the accept time
    std::atomic<bool> request_read{false};
    bool evicted = false;  // the accept loop's own mark
    std::shared_ptr<const ConnectionObserver> observer;

    void notify(ConnectionEvent event) const {
        if (observer) (*observer)(event);
    }

private:
    std::mutex mutex_;
    int fd_ = -1;  // guarded by mutex_; -1 once detached
};

// Reads one request from the connection, answers it with `handler` and
// closes it. A request with a Host header that does not name the loopback
// is answered 403 "forbidden" without calling `handler`. A request that
// cannot be read (no first byte within the first-line time-out, a read
// time-out, the request time-out counted from `accepted_at`, early close,
// invalid UTF-8, an over-long line, too many header lines) is closed
// unanswered. Never throws.
void handle_connection(UniqueFd connection, const RequestHandler& handler, const ServerLimits& limits,
                       std::chrono::steady_clock::time_point accepted_at = std::chrono::steady_clock::now(),
                       ConnectionActivity* activity = nullptr);

// A listening TCP socket on 127.0.0.1:port (port 0 picks a free one).
Result<UniqueFd, IoError> bind_loopback(std::uint16_t port);

// The local port a socket is bound to (0 if it cannot be read).
std::uint16_t local_port(int fd);

// Accepts connections until `should_stop` returns true; it is asked about
// every 100 ms and after each accepted connection. Each connection runs
// `handle_connection` on a detached thread that shares the handler (and
// `observer`, when given).
void run_accept_loop(int listen_fd, std::shared_ptr<const RequestHandler> handler, const ServerLimits& limits,
                     const std::function<bool()>& should_stop,
                     std::shared_ptr<const ConnectionObserver> observer = nullptr);

}  // namespace morva::viewer
