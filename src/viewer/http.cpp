#include "viewer/http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "common/format.h"
#include "common/text.h"

namespace morva::viewer {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_latin1(std::string& out, unsigned char b) {
    if (b < 0x80) {
        out.push_back(static_cast<char>(b));
    } else {
        out.push_back(static_cast<char>(0xC0 | (b >> 6)));
        out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
}

std::string_view reason_phrase(std::uint16_t status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 431: return "Request Header Fields Too Large";
        default: return "Status";
    }
}

Result<void, IoError> send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return err(IoError::from_errno(errno));
        }
        if (n == 0) return err(IoError::from_message("failed to write whole buffer"));
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

using Clock = std::chrono::steady_clock;

// Reads lines through an 8 KiB buffer. Each read waits at most the read
// time-out, and none goes past the deadline, so that a client sending a
// byte now and then cannot hold the connection.
class LineReader {
public:
    enum class Status { Line, End, Failed, TooLong };

    LineReader(int fd, int read_timeout_ms, Clock::time_point deadline, ConnectionActivity* activity)
        : fd_(fd), read_timeout_(read_timeout_ms), deadline_(deadline), activity_(activity) {}

    void set_deadline(Clock::time_point deadline) { deadline_ = deadline; }

    // One line up to and including its line feed, or up to the end of the
    // stream. `End` only when the stream ends before any byte of the line.
    Status read_line(std::string& line, std::size_t max_bytes) {
        line.clear();
        for (;;) {
            if (pos_ == len_) {
                if (!wait_readable()) return Status::Failed;
                const ssize_t n = ::recv(fd_, buf_, sizeof buf_, 0);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    return Status::Failed;  // the read time-out included
                }
                if (n == 0) return line.empty() ? Status::End : Status::Line;
                pos_ = 0;
                len_ = static_cast<std::size_t>(n);
                if (activity_) {
                    activity_->last_byte.store(Clock::now().time_since_epoch().count());
                    activity_->notify(ConnectionEvent::BytesRead);
                }
            }
            std::size_t end = pos_;
            while (end < len_ && buf_[end] != '\n') ++end;
            const bool found = end < len_;
            if (found) ++end;
            if (line.size() + (end - pos_) > max_bytes) return Status::TooLong;
            line.append(buf_ + pos_, end - pos_);
            pos_ = end;
            if (found) return Status::Line;
        }
    }

private:
    // False when the read time-out or the deadline comes first.
    bool wait_readable() const {
        const Clock::time_point until = std::min(deadline_, Clock::now() + read_timeout_);
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left));
            if (r < 0 && errno == EINTR) continue;
            return r > 0;
        }
    }

    int fd_;
    std::chrono::milliseconds read_timeout_;
    Clock::time_point deadline_;
    ConnectionActivity* activity_;
    char buf_[8192];
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
};

void set_timeout(int fd, int option, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    (void)::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// After answering: send our FIN, then read what the client still sends for a
// short while, so that closing with unread request bytes does not reset the
// connection before the client has read the answer.
void finish_gracefully(int fd) {
    constexpr int kLingerMs = 500;
    constexpr std::size_t kMaxDrainBytes = 64 * 1024;
    ::shutdown(fd, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLingerMs);
    std::size_t drained = 0;
    char sink[4096];
    while (drained < kMaxDrainBytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0) break;
        drained += static_cast<std::size_t>(n);
    }
}

// The live connections, as the accept loop sees them. A connection's thread
// holds its entry while it runs; an entry nobody else holds has ended.
class ConnectionTable {
public:
    // Whether a newcomer may start: a slot is free, or the connection that
    // has waited longest for its request was shut down to make one.
    bool make_room(std::size_t max_connections) {
        std::erase_if(entries_, [](const auto& e) { return e.use_count() == 1; });
        std::size_t live = 0;
        ConnectionActivity* idlest = nullptr;
        for (const auto& e : entries_) {
            if (e->evicted) continue;
            ++live;
            if (e->request_read.load()) continue;
            if (!idlest || e->last_byte.load() < idlest->last_byte.load()) idlest = e.get();
        }
        if (live < max_connections) return true;
        if (!idlest) return false;
        idlest->evicted = true;
        idlest->shut_down();
        return true;
    }

    std::shared_ptr<ConnectionActivity> add(int fd, Clock::time_point accepted_at) {
        entries_.push_back(std::make_shared<ConnectionActivity>(fd, accepted_at));
        return entries_.back();
    }

    // A connection whose thread could not start.
    void drop_last() { entries_.pop_back(); }

private:
    std::vector<std::shared_ptr<ConnectionActivity>> entries_;
};

// The value of a "Host" header line, or nothing for other lines.
std::optional<std::string_view> host_header_value(std::string_view line) {
    constexpr std::string_view kName = "host:";
    if (!ascii_istarts_with(line, kName)) return std::nullopt;
    return trim_whitespace(line.substr(kName.size()));
}

// Whether a port suffix (after the host name) is empty or ":digits".
bool port_suffix_ok(std::string_view rest) {
    if (rest.empty()) return true;
    if (rest.front() != ':') return false;
    rest.remove_prefix(1);
    return std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool is_loopback_host(std::string_view host) {
    std::string_view name;
    std::string_view rest;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) return false;
        name = host.substr(1, close - 1);
        rest = host.substr(close + 1);
    } else {
        const std::size_t colon = host.find(':');
        name = host.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : host.substr(colon);
    }
    if (!port_suffix_ok(rest)) return false;
    return name == "127.0.0.1" || name == "::1" || ascii_iequals(name, "localhost");
}

std::string url_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
                   hex_value(text[i + 2]) >= 0) {
            append_latin1(out,
                          static_cast<unsigned char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else {
            append_latin1(out, static_cast<unsigned char>(c));
        }
    }
    return out;
}

QueryMap parse_query(std::string_view query) {
    QueryMap map;
    std::size_t start = 0;
    for (;;) {
        const std::size_t amp = query.find('&', start);
        const std::string_view piece =
            query.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
        const std::size_t eq = piece.find('=');
        if (eq != std::string_view::npos)
            map.insert_or_assign(url_decode(piece.substr(0, eq)), url_decode(piece.substr(eq + 1)));
        if (amp == std::string_view::npos) break;
        start = amp + 1;
    }
    return map;
}

Request parse_request_line(std::string_view line) {
    const std::vector<std::string_view> words = split_whitespace(line);
    Request req;
    if (!words.empty()) req.method = std::string(words[0]);
    const std::string_view target = words.size() >= 2 ? words[1] : std::string_view("/");
    const std::size_t q = target.find('?');
    req.path = std::string(target.substr(0, q));
    if (q != std::string_view::npos) req.query = parse_query(target.substr(q + 1));
    return req;
}

Result<void, IoError> write_status(int fd, std::uint16_t status, std::string_view content_type,
                                   std::string_view body) {
    const std::string head = fmt::cat("HTTP/1.1 ", static_cast<unsigned>(status), " ", reason_phrase(status),
                                      "\r\nContent-Type: ", content_type, "\r\nContent-Length: ", body.size(),
                                      "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                                      "Connection: close\r\n\r\n");
    MORVA_TRY(send_all(fd, head));
    return send_all(fd, body);
}

void ConnectionActivity::shut_down() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void ConnectionActivity::detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    fd_ = -1;
}

void handle_connection(UniqueFd connection, const RequestHandler& handler, const ServerLimits& limits,
                       Clock::time_point accepted_at, ConnectionActivity* activity) {
    // The accept loop may shut the connection down until it is closed here.
    struct Detach {
        ConnectionActivity* activity;
        ~Detach() {
            if (activity) activity->detach();
        }
    };
    try {
        const Detach detach{activity};
        using Status = LineReader::Status;
        // A client that connects ahead of need (a browser's preconnect) or
        // never asks must not hold its slot for the whole request time-out.
        const Clock::time_point deadline = accepted_at + std::chrono::milliseconds(limits.request_timeout_ms);
        LineReader reader(
            connection.get(), limits.read_timeout_ms,
            std::min(deadline, accepted_at + std::chrono::milliseconds(limits.first_line_timeout_ms)),
            activity);
        // A request we will not read still gets its status, so that the
        // client learns why rather than seeing a bare close.
        const auto refuse = [&](std::uint16_t status, std::string_view body) {
            if (write_status(connection.get(), status, "text/plain", body))
                finish_gracefully(connection.get());
        };
        const auto refuse_unreadable = [&](Status status) {
            if (status == Status::TooLong) refuse(431, "request header fields too large");
            if (status == Status::Line) refuse(400, "bad request: not UTF-8");
        };
        std::string line;
        if (const Status status = reader.read_line(line, limits.max_line_bytes);
            status != Status::Line || !utf8_valid(line))
            return refuse_unreadable(status);
        reader.set_deadline(deadline);
        const Request request = parse_request_line(line);
        bool foreign_host = false;
        for (std::size_t headers = 0;; ++headers) {
            const Status status = reader.read_line(line, limits.max_line_bytes);
            if (status == Status::End) break;
            if (status != Status::Line || !utf8_valid(line)) return refuse_unreadable(status);
            if (line == "\n" || line == "\r\n") break;
            if (headers >= limits.max_header_lines) return refuse(431, "request header fields too large");
            if (auto host = host_header_value(line); host && !is_loopback_host(*host)) foreign_host = true;
        }
        if (activity) activity->request_read.store(true);
        // A browser sends the name it resolved: another site's name pointed
        // at 127.0.0.1 (DNS rebinding) must not make its pages our origin.
        const Response response = foreign_host ? Response{403, "text/plain", "forbidden"} : handler(request);
        if (write_status(connection.get(), response.status, response.content_type, response.body_text()))
            finish_gracefully(connection.get());
    } catch (...) {
        // Whatever went wrong, this connection ends here; serving goes on.
    }
}

Result<UniqueFd, IoError> bind_loopback(std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return err(IoError::from_errno(errno));
    const int one = 1;
    (void)::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return err(IoError::from_errno(errno));
    if (::listen(fd.get(), SOMAXCONN) != 0) return err(IoError::from_errno(errno));
    // Accept only after poll reports a connection, and never block on one
    // that went away in between.
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return err(IoError::from_errno(errno));
    return fd;
}

std::uint16_t local_port(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

void run_accept_loop(int listen_fd, std::shared_ptr<const RequestHandler> handler, const ServerLimits& limits,
                     const std::function<bool()>& should_stop,
                     std::shared_ptr<const ConnectionObserver> observer) {
    constexpr int kPollMs = 100;
    ConnectionTable connections;
    for (;;) {
        pollfd p{listen_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kPollMs);
        if (should_stop && should_stop()) return;
        if (ready <= 0) continue;
        UniqueFd connection(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
        const Clock::time_point accepted_at = Clock::now();
        if (!connection.valid()) {
            // Out of descriptors: the pending connection stays queued, so
            // wait instead of spinning on it.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            continue;
        }
        // Every connection is being answered: the newcomer is closed at once.
        if (!connections.make_room(limits.max_connections)) continue;
        set_timeout(connection.get(), SO_RCVTIMEO, limits.read_timeout_ms);
        set_timeout(connection.get(), SO_SNDTIMEO, limits.write_timeout_ms);
        try {
            std::shared_ptr<ConnectionActivity> activity = connections.add(connection.get(), accepted_at);
            activity->observer = observer;
            activity->notify(ConnectionEvent::Accepted);
            try {
                std::thread([activity, connection = std::move(connection), handler, limits,
                             accepted_at]() mutable {
                    handle_connection(std::move(connection), *handler, limits, accepted_at, activity.get());
                    // Its entry is let go before it says so: the slot is free.
                    const std::shared_ptr<const ConnectionObserver> told = activity->observer;
                    activity.reset();
                    if (told) (*told)(ConnectionEvent::Ended);
                }).detach();
            } catch (...) {
                // No thread: the lambda and with it the connection are gone
                // already; serving goes on.
                connections.drop_last();
            }
        } catch (...) {
            // No memory for its entry: the connection is closed.
        }
    }
}

}  // namespace morva::viewer
