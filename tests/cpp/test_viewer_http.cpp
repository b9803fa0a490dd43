// The viewer's HTTP layer: request parsing, responses, and the accept loop
// over real loopback sockets with a stand-in request handler. The banner,
// the loopback-only socket, the silent client and the 8 MiB request line
// are checked from Python against the real viewer (test_viewer_server.py).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "viewer/http.h"

using namespace morva;
using namespace morva::viewer;

namespace {

// Reads until the peer closes (or the 10 s receive time-out).
std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

void send_text(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Echoes what the request parser saw.
Response echo(const Request& r) {
    std::string body = r.method + "|" + r.path;
    for (const auto& [k, v] : r.query) body += "|" + k + "=" + v;
    return {200, "text/plain", body};
}

// Runs one request through handle_connection over a socket pair.
std::string exchange(std::string_view request, bool close_sending_side = true) {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    UniqueFd client(sv[0]);
    ServerLimits limits;
    limits.read_timeout_ms = 2000;
    timeval tv{10, 0};
    ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    timeval server_tv{2, 0};
    ::setsockopt(sv[1], SOL_SOCKET, SO_RCVTIMEO, &server_tv, sizeof server_tv);
    std::thread server(
        [fd = sv[1], limits] { handle_connection(UniqueFd(fd), RequestHandler(echo), limits); });
    send_text(client.get(), request);
    if (close_sending_side) ::shutdown(client.get(), SHUT_WR);
    std::string answer = read_all(client.get());
    server.join();
    return answer;
}

std::string body_of(const std::string& response) {
    const std::size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

class LoopbackServer {
public:
    explicit LoopbackServer(RequestHandler handler, ServerLimits limits = {},
                            std::shared_ptr<const ConnectionObserver> observer = nullptr) {
        auto listener = bind_loopback(0);
        EXPECT_TRUE(listener.ok());
        listener_ = std::move(listener).value();
        port_ = local_port(listener_.get());
        auto shared = std::make_shared<const RequestHandler>(std::move(handler));
        thread_ = std::thread([this, shared, limits, observer] {
            run_accept_loop(listener_.get(), shared, limits, [this] { return stop_.load(); }, observer);
        });
    }
    ~LoopbackServer() {
        stop_ = true;
        thread_.join();
    }
    std::uint16_t port() const { return port_; }

    UniqueFd connect_client() const {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port_);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        timeval tv{10, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return fd;
    }
    std::string get(std::string_view request) const {
        UniqueFd fd = connect_client();
        send_text(fd.get(), request);
        return read_all(fd.get());
    }

private:
    UniqueFd listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

TEST(UrlDecode, PlusPercentAndLatin1) {
    EXPECT_EQ(url_decode("a+b"), "a b");
    EXPECT_EQ(url_decode("%34%32"), "42");
    EXPECT_EQ(url_decode("%2b%2B"), "++");
    EXPECT_EQ(url_decode("%"), "%");
    EXPECT_EQ(url_decode("%4"), "%4");
    EXPECT_EQ(url_decode("%zz1"), "%zz1");
    EXPECT_EQ(url_decode("100%"), "100%");
    EXPECT_EQ(url_decode("%%41"), "%A");
    EXPECT_EQ(url_decode("%C3%A9"), "\u00c3\u00a9");
    EXPECT_EQ(url_decode("é"), "\u00c3\u00a9");  // raw bytes are Latin-1 too
    EXPECT_EQ(url_decode("%00"), std::string(1, '\0'));
}

TEST(Query, PairsLastValueWins) {
    EXPECT_EQ(parse_query("id=1&id=2"), (QueryMap{{"id", "2"}}));
    EXPECT_EQ(parse_query("id&x=&&=v&a=b=c"), (QueryMap{{"x", ""}, {"", "v"}, {"a", "b=c"}}));
    EXPECT_EQ(parse_query("i%64=%34%32"), (QueryMap{{"id", "42"}}));
    EXPECT_TRUE(parse_query("").empty());
}

TEST(RequestLine, MethodTargetAndQuery) {
    Request r = parse_request_line("GET /api/wave?id=7&x=1 HTTP/1.1\r\n");
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.path, "/api/wave");
    EXPECT_EQ(r.query, (QueryMap{{"id", "7"}, {"x", "1"}}));
    r = parse_request_line("GET\n");
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.path, "/");
    r = parse_request_line("  \t\n");
    EXPECT_EQ(r.method, "");
    EXPECT_EQ(r.path, "/");
    r = parse_request_line("GET   /a%2Fb?q   extra words\n");
    EXPECT_EQ(r.path, "/a%2Fb");
    EXPECT_TRUE(r.query.empty());
    // Unicode white space separates words as well.
    r = parse_request_line("GET\u00a0/x\u3000HTTP/1.1");
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.path, "/x");
}

TEST(WriteStatus, ExactHead) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    UniqueFd a(sv[0]), b(sv[1]);
    ASSERT_TRUE(write_status(a.get(), 405, "text/plain", "method not allowed").ok());
    ASSERT_TRUE(write_status(a.get(), 418, "x/y", "").ok());
    a.reset();
    EXPECT_EQ(read_all(b.get()),
              "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain\r\nContent-Length: 18\r\n"
              "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\nmethod "
              "not allowed"
              "HTTP/1.1 418 Status\r\nContent-Type: x/y\r\nContent-Length: 0\r\n"
              "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n");
}

TEST(WriteStatus, ClosedPeerIsAnErrorNotASignal) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    UniqueFd a(sv[0]);
    ::close(sv[1]);
    EXPECT_FALSE(write_status(a.get(), 200, "text/plain", std::string(1 << 20, 'x')).ok());
}

TEST(Connection, AnswersOneRequest) {
    const std::string answer =
        exchange("GET /p?id=%34%32&id=+7 HTTP/1.1\r\nHost: 127.0.0.1:8765\r\nAccept: */*\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: ", 0), 0u);
    EXPECT_EQ(body_of(answer), "GET|/p|id= 7");
}

TEST(Connection, LineWithoutFeedAtEndOfStreamIsAnswered) {
    EXPECT_EQ(body_of(exchange("GET /x")), "GET|/x");
    EXPECT_EQ(body_of(exchange("GET /x\nHost: localhost")), "GET|/x");
}

// A page on another site can point its own host name at 127.0.0.1 (DNS
// rebinding) and then read the viewer as same-origin: only requests naming
// the loopback (or none, as HTTP/1.0 clients do) are answered.
TEST(Connection, ForeignHostIsForbidden) {
    for (const char* host : {"127.0.0.1", "127.0.0.1:8765", "localhost", "LocalHost:1", "[::1]:8765", "[::1]",
                             " 127.0.0.1 \t"}) {
        SCOPED_TRACE(host);
        EXPECT_EQ(body_of(exchange(std::string("GET /a HTTP/1.1\r\nHost:") + host + "\r\n\r\n")), "GET|/a");
    }
    EXPECT_EQ(body_of(exchange("GET /a HTTP/1.1\r\nAccept: */*\r\n\r\n")), "GET|/a");
    const std::string forbidden =
        "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n"
        "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\nforbidden";
    for (const char* host :
         {"evil.example:8765", "evil.example", "127.0.0.1.evil.example", "localhost.evil:80", "127.0.0.2", "",
          "127.0.0.1:80x", "[::1]x", "[::2]:80", "0.0.0.0:8765"}) {
        SCOPED_TRACE(host);
        EXPECT_EQ(exchange(std::string("GET /a HTTP/1.1\r\nhOsT: ") + host + "\r\n\r\n"), forbidden);
    }
    // Any foreign Host line among several.
    EXPECT_EQ(exchange("POST /a HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: evil.example\r\n\r\n"), forbidden);
}

TEST(Connection, UnreadableRequestsAreAnsweredWithTheirStatus) {
    const auto status_of = [](const std::string& answer) { return answer.substr(0, answer.find("\r\n")); };
    EXPECT_EQ(exchange(""), "");
    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 200; ++i) many += "H: v\r\n";
    const struct {
        std::string request, status, body;
    } cases[] = {
        {"GET /\xff HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", "bad request: not UTF-8"},
        {"GET / HTTP/1.1\r\nBad: \xc3\x28\r\n\r\n", "HTTP/1.1 400 Bad Request", "bad request: not UTF-8"},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large", "request header fields too large"},
        {"GET / HTTP/1.1\r\nX: " + std::string(9000, 'b') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large", "request header fields too large"},
        {many + "\r\n", "HTTP/1.1 431 Request Header Fields Too Large", "request header fields too large"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 40));
        const std::string answer = exchange(c.request);
        EXPECT_EQ(status_of(answer), c.status);
        EXPECT_EQ(body_of(answer), c.body);
    }
    // The client still sending its over-long line reads the status too.
    EXPECT_EQ(status_of(exchange("GET /" + std::string(200000, 'a'), false)),
              "HTTP/1.1 431 Request Header Fields Too Large");
    // A line of exactly the limit is still read.
    const std::string at_limit = "GET /" + std::string(8192 - 7, 'a') + "\r\n";
    ASSERT_EQ(at_limit.size(), 8192u);
    EXPECT_EQ(body_of(exchange(at_limit)), "GET|/" + std::string(8192 - 7, 'a'));
}

TEST(Connection, ThrowingHandlerOnlyClosesTheConnection) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    UniqueFd client(sv[0]);
    send_text(client.get(), "GET / HTTP/1.1\r\n\r\n");
    handle_connection(UniqueFd(sv[1]), [](const Request&) -> Response { throw std::runtime_error("boom"); },
                      {});
    EXPECT_EQ(read_all(client.get()), "");
}

// Whether the server has closed this client's connection, waiting at most
// `ms` for it.
bool closed_by_server(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// Counts what the accept loop says of its connections, and waits for counts
// (the bound is only against a hang).
class ConnectionEvents {
public:
    std::shared_ptr<const ConnectionObserver> observer() {
        return std::make_shared<const ConnectionObserver>([this](ConnectionEvent e) {
            std::lock_guard lock(mutex_);
            ++counts_[static_cast<int>(e)];
            changed_.notify_all();
        });
    }
    bool reach(ConnectionEvent e, int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60),
                                 [&] { return counts_[static_cast<int>(e)] >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int counts_[3] = {};
};

// Idle clients (a stuck tab set, a local process) used to take every slot
// while each was held up to the request time-out, and newcomers were closed
// at once: now a newcomer replaces the one that has been idle longest.
TEST(AcceptLoop, FullSlotsCloseTheLongestIdleConnection) {
    using enum ConnectionEvent;
    ServerLimits limits;
    limits.max_connections = 3;
    limits.first_line_timeout_ms = 60000;
    limits.read_timeout_ms = 60000;
    // Guarded by blocked_mutex: the answers held and whether to let them go.
    std::mutex blocked_mutex;
    std::condition_variable blocked_changed;
    int blocked = 0;
    bool release = false;
    ConnectionEvents events;
    LoopbackServer server(
        [&](const Request& r) {
            if (r.path == "/block") {
                std::unique_lock lock(blocked_mutex);
                ++blocked;
                blocked_changed.notify_all();
                blocked_changed.wait_for(lock, std::chrono::seconds(60), [&] { return release; });
            }
            return echo(r);
        },
        limits, events.observer());
    // Accepted one after the other, each idle since.
    std::vector<UniqueFd> idle;
    for (int i = 0; i < 3; ++i) idle.push_back(server.connect_client());
    ASSERT_TRUE(events.reach(Accepted, 3));
    // A byte makes the oldest the most recently active.
    send_text(idle[0].get(), "G");
    ASSERT_TRUE(events.reach(BytesRead, 1));
    EXPECT_EQ(body_of(server.get("GET /a HTTP/1.1\r\n\r\n")), "GET|/a");
    EXPECT_TRUE(closed_by_server(idle[1].get(), 60000));
    // Once that answer is done (and the closed one gone), a fourth idle
    // client fills the slots again.
    ASSERT_TRUE(events.reach(Ended, 2));
    idle.push_back(server.connect_client());
    ASSERT_TRUE(events.reach(Accepted, 5));
    EXPECT_EQ(body_of(server.get("GET /b HTTP/1.1\r\n\r\n")), "GET|/b");
    EXPECT_TRUE(closed_by_server(idle[2].get(), 60000));
    EXPECT_FALSE(closed_by_server(idle[0].get(), 100));
    EXPECT_FALSE(closed_by_server(idle[3].get(), 0));
    // The rest of its request is still answered.
    send_text(idle[0].get(), "ET /c HTTP/1.1\r\n\r\n");
    EXPECT_EQ(body_of(read_all(idle[0].get())), "GET|/c");

    // Connections being answered are never closed for a newcomer.
    idle.clear();
    ASSERT_TRUE(events.reach(Ended, 6));  // every slot free
    std::vector<UniqueFd> busy;
    for (int i = 0; i < 3; ++i) {
        busy.push_back(server.connect_client());
        send_text(busy.back().get(), "GET /block HTTP/1.1\r\n\r\n");
    }
    {
        std::unique_lock lock(blocked_mutex);
        ASSERT_TRUE(blocked_changed.wait_for(lock, std::chrono::seconds(60), [&] { return blocked == 3; }));
    }
    EXPECT_EQ(server.get("GET /d HTTP/1.1\r\n\r\n"), "");
    {
        std::lock_guard lock(blocked_mutex);
        release = true;
        blocked_changed.notify_all();
    }
    for (const UniqueFd& fd : busy) EXPECT_EQ(body_of(read_all(fd.get())), "GET|/block");
    // The newcomer closed at once had no thread: three more ends.
    ASSERT_TRUE(events.reach(Ended, 9));
    EXPECT_EQ(body_of(server.get("GET /again HTTP/1.1\r\n\r\n")), "GET|/again");
}

TEST(AcceptLoop, SilentClientIsClosedAtTheFirstLineTimeOut) {
    ServerLimits limits;
    limits.first_line_timeout_ms = 500;
    LoopbackServer server(echo, limits);
    UniqueFd silent = server.connect_client();
    EXPECT_TRUE(closed_by_server(silent.get(), 4000));
    // Once the request line is in, the usual read time-out applies.
    UniqueFd slow = server.connect_client();
    send_text(slow.get(), "GET /slow HTTP/1.1\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    send_text(slow.get(), "\r\n");
    EXPECT_EQ(body_of(read_all(slow.get())), "GET|/slow");
}

TEST(AcceptLoop, DribblingClientIsClosedAtTheRequestDeadline) {
    ServerLimits limits;
    limits.read_timeout_ms = 2000;
    limits.request_timeout_ms = 1000;
    LoopbackServer server(echo, limits);

    // One header byte every 100 ms keeps every read within its time-out; the
    // request time-out still ends the connection, without an answer.
    UniqueFd fd = server.connect_client();
    send_text(fd.get(), "GET / HTTP/1.1\r\n");
    const auto start = std::chrono::steady_clock::now();
    bool closed = false;
    std::string received;
    // Bounded for a hang only: how long past its deadline the server gets to
    // it, a busy machine decides.
    while (!closed && std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buf[256];
            const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
            if (n > 0) received.append(buf, static_cast<std::size_t>(n));
            closed = n <= 0;
        } else {
            (void)::send(fd.get(), "X", 1, MSG_NOSIGNAL);
        }
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(closed);
    EXPECT_EQ(received, "");
    EXPECT_GE(elapsed, std::chrono::milliseconds(800));

    // A request that is slow but complete within the time-out is answered.
    UniqueFd slow = server.connect_client();
    for (const char* piece : {"GET /slow", " HTTP/1.1\r\n", "Host: localhost\r\n", "\r\n"}) {
        send_text(slow.get(), piece);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(body_of(read_all(slow.get())), "GET|/slow");
}

TEST(Connection, RequestTimeOutCountsFromAccept) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    UniqueFd client(sv[0]);
    send_text(client.get(), "GET / HTTP/1.1\r\n\r\n");
    ServerLimits limits;
    limits.request_timeout_ms = 1000;
    // Accepted two seconds ago: the time for the request is over.
    handle_connection(UniqueFd(sv[1]), RequestHandler(echo), limits,
                      std::chrono::steady_clock::now() - std::chrono::seconds(2));
    EXPECT_EQ(read_all(client.get()), "");
}
