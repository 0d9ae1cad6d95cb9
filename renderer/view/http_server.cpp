// The view's web server: GET (and HEAD) on 127.0.0.1, one request per connection.
//
// One thread holds every connection from its accept until its answer has gone out, waiting on all
// of them at once, so a client that sends or reads slowly costs a socket and a few kilobytes and
// holds nobody else up: a request head must come whole within kHeadTime, an answer must be taken
// within kAnswerTime, and past kMaxConnections the connection open longest is closed. Answers are
// made a slice at a time as the socket takes them, so no answer holds more than a slice of pixels,
// whatever it asks for; Range requests are refused. Event streams, which last, get a thread each
// (at most kMaxStreams).
#include "view/http_server.h"

#include "view/view_page.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <thread>

namespace orn::view {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kLoopback = "127.0.0.1";
constexpr std::size_t kMaxHead = 8192;
constexpr std::size_t kMaxConnections = 256;
constexpr std::size_t kSliceBytes = 256 * 1024;
constexpr auto kHeadTime = std::chrono::seconds(3);
constexpr auto kAnswerTime = std::chrono::seconds(30);

const char* reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 416:
        return "Range Not Satisfiable";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Service Unavailable";
    }
}

std::string head_of(int status, const std::string& type, std::size_t length, const std::string& extra = "") {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(length) +
           "\r\nConnection: close\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
           "Referrer-Policy: no-referrer\r\nX-Frame-Options: DENY\r\n" +
           extra + "\r\n";
}

// A request's parts this server looks at.
struct Request {
    std::string method, path;
    std::map<std::string, std::string> query;
    int hosts = 0;
    std::string host;
    bool range = false;
};

bool parse_request(const std::string& head, Request& req) {
    const std::size_t line_end = head.find("\r\n");
    const std::string line = head.substr(0, line_end);
    const std::size_t a = line.find(' '), b = line.rfind(' ');
    if (a == std::string::npos || b <= a) return false;
    req.method = line.substr(0, a);
    const std::string target = line.substr(a + 1, b - a - 1);
    const std::size_t q = target.find('?');
    req.path = target.substr(0, q);
    for (std::size_t at = q; at != std::string::npos && at < target.size();) {
        const std::size_t end = std::min(target.find('&', at + 1), target.size());
        const std::string item = target.substr(at + 1, end - at - 1);
        const std::size_t eq = item.find('=');
        if (eq != std::string::npos) req.query.emplace(item.substr(0, eq), item.substr(eq + 1));
        at = end < target.size() ? end : std::string::npos;
    }
    for (std::size_t at = line_end + 2; at < head.size();) {
        const std::size_t end = head.find("\r\n", at);
        if (end == std::string::npos || end == at) break;
        const std::string field = head.substr(at, end - at);
        const std::size_t colon = field.find(':');
        std::string name = field.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        std::string value = colon == std::string::npos ? "" : field.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
        if (name == "host") {
            ++req.hosts;
            req.host = value;
        } else if (name == "range") {
            req.range = true;
        }
        at = end + 2;
    }
    return true;
}

template <class T> bool param(const Request& req, const char* name, T& value) {
    const auto it = req.query.find(name);
    if (it == req.query.end()) return false;
    const std::string& text = it->second;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

struct Connection {
    int fd = -1;
    Clock::time_point opened, deadline;
    std::string in; // the request head so far
    bool answering = false;
    std::string out; // the answer's bytes not yet sent
    std::size_t sent = 0;
    std::function<bool(std::string&)> more; // the next slice of the body; false: no more
};

class Server final : public HttpServer {
  public:
    explicit Server(ViewSource& v) : view_(v) {}
    ~Server() override { stop(); }
    std::optional<std::string> start(int port, int& bound) override;
    void stop() override;

  private:
    void loop();
    void read_head(Connection& c);
    // The answer to a whole head; false when the connection went to an event stream.
    bool answer(Connection& c, const Request& req);
    void refuse(Connection& c, int status, const std::string& why, bool head_only = false);
    void stream(int fd);

    ViewSource& view_;
    int listen_fd_ = -1, wake_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::list<Connection> connections_;
    std::mutex streams_mutex_;
    std::condition_variable streams_cv_;
    int streams_ = 0;
};

std::optional<std::string> Server::start(int port, int& bound) {
    // A client that goes away mid-stream must cost a failed write, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) return "cannot serve the view: " + std::string(std::strerror(errno));
    // Not SO_REUSEPORT: a second server must not get half of the connections of a port in use.
    int yes = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_fd_, 64) != 0) {
        const int error = errno;
        ::close(listen_fd_);
        listen_fd_ = -1;
        const std::string where = std::string(kLoopback) + ":" + std::to_string(port);
        if (port == 0)
            return "cannot serve the view on " + std::string(kLoopback) + ": " + std::strerror(error);
        if (error == EADDRINUSE)
            return "cannot serve the view on " + where +
                   ": the port is in use (another ornrender --view or another program); choose another with "
                   "--view PORT, or --view 0 for any free port";
        if (error == EACCES)
            return "cannot serve the view on " + where +
                   ": permission denied (ports below 1024 need root); "
                   "choose another with --view PORT";
        return "cannot serve the view on " + where + ": " + std::strerror(error);
    }
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    bound = port_;
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        return "cannot serve the view: " + std::string(std::strerror(errno));
    thread_ = std::thread([this] { loop(); });
    return std::nullopt;
}

void Server::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    view_.wake();
    (void)!::write(wake_[1], "x", 1);
    thread_.join();
    std::unique_lock<std::mutex> lock(streams_mutex_);
    streams_cv_.wait(lock, [this] { return streams_ == 0; });
    lock.unlock();
    for (Connection& c : connections_)
        ::close(c.fd);
    connections_.clear();
    ::close(listen_fd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void Server::loop() {
    std::vector<pollfd> fds;
    std::vector<std::list<Connection>::iterator> of;
    while (!stopping_) {
        fds.assign({{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}});
        of.clear();
        auto next = Clock::now() + std::chrono::seconds(1);
        for (auto it = connections_.begin(); it != connections_.end(); ++it) {
            fds.push_back({it->fd, short(it->answering ? POLLOUT : POLLIN), 0});
            of.push_back(it);
            next = std::min(next, it->deadline);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        if (::poll(fds.data(), fds.size(), int(std::clamp<long long>(wait + 1, 0, 1000))) < 0 &&
            errno != EINTR)
            break;
        const auto now = Clock::now();
        for (std::size_t i = 2; i < fds.size(); ++i) {
            Connection& c = *of[i - 2];
            if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL) && !(fds[i].revents & POLLIN)) {
                c.deadline = now; // gone: closed below
                continue;
            }
            if (!c.answering && (fds[i].revents & POLLIN)) read_head(c);
            while (c.answering && c.fd >= 0 && (fds[i].revents & POLLOUT)) {
                const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
                if (n < 0) {
                    if (errno != EAGAIN && errno != EWOULDBLOCK) c.deadline = now;
                    break;
                }
                c.sent += std::size_t(n);
                if (c.sent < c.out.size()) continue;
                c.out.clear();
                c.sent = 0;
                if (!c.more || !c.more(c.out) || c.out.empty()) {
                    c.deadline = now; // all sent
                    break;
                }
            }
        }
        // Done, gone or too slow; a connection handed to an event stream has fd -1.
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (it->fd >= 0 && it->deadline <= now) ::close(it->fd);
            if (it->fd < 0 || it->deadline <= now)
                it = connections_.erase(it);
            else
                ++it;
        }
        if (fds[0].revents & POLLIN)
            for (;;) {
                const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) break;
                // The connection open longest goes first: a viewer's request is answered in
                // moments, so it is the slow ones that wait longest.
                if (connections_.size() >= kMaxConnections) {
                    ::close(connections_.front().fd);
                    connections_.pop_front();
                }
                Connection c;
                c.fd = fd;
                c.opened = now;
                c.deadline = now + kHeadTime;
                connections_.push_back(std::move(c));
            }
    }
}

void Server::read_head(Connection& c) {
    char buf[4096];
    const ssize_t n = ::recv(c.fd, buf, std::min(sizeof buf, kMaxHead + 4 - c.in.size()), 0);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) c.deadline = Clock::now();
        return;
    }
    c.in.append(buf, std::size_t(n));
    const std::size_t end = c.in.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (c.in.size() > kMaxHead)
            refuse(c, 431, "the request's head is longer than " + std::to_string(kMaxHead) + " bytes");
        return;
    }
    Request req;
    if (!parse_request(c.in.substr(0, end + 2), req)) return refuse(c, 400, "not an HTTP request");
    c.in.clear();
    if (!answer(c, req)) c.fd = -1; // an event stream has it now
}

void Server::refuse(Connection& c, int status, const std::string& why, bool head_only) {
    const std::string body = "ornrender: " + why + "\n";
    c.out = head_of(status, "text/plain; charset=utf-8", body.size()) + (head_only ? "" : body);
    c.sent = 0;
    c.more = nullptr;
    c.answering = true;
    c.deadline = Clock::now() + kAnswerTime;
}

bool Server::answer(Connection& c, const Request& req) {
    // Only requests meant for this address are answered: a page elsewhere that has its own name
    // resolve to 127.0.0.1 (DNS rebinding) sends its own name as the Host.
    const std::string own = ":" + std::to_string(port_);
    if (req.hosts != 1 || (req.host != std::string(kLoopback) + own && req.host != "localhost" + own)) {
        refuse(c, 403, "this view answers requests for " + std::string(kLoopback) + own + " only");
        return true;
    }
    const bool head = req.method == "HEAD";
    if (req.method != "GET" && !head) {
        refuse(c, 405, "this view only answers GET");
        return true;
    }
    // Pieces of an answer are asked for by their pixels, never by byte ranges: one answer, one
    // body, and no way to have the server cut one up many times over.
    if (req.range) {
        refuse(c, 416, "this view answers no Range requests; ask /pixels for the rows you want", head);
        return true;
    }
    c.answering = true;
    c.deadline = Clock::now() + kAnswerTime;
    c.sent = 0;
    auto whole = [&](int status, const std::string& type, std::string body, const std::string& extra = "") {
        if (status != 200) return refuse(c, status, body, head);
        // The head first: the operands of + are unsequenced, and moving the body out before its
        // size is read gave "Content-Length: 0".
        c.out = head_of(status, type, body.size(), extra);
        if (!head) c.out += body;
    };
    if (req.path == "/") {
        const std::string_view page = view_page();
        whole(200, "text/html; charset=utf-8", std::string(page),
              "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src "
              "'unsafe-inline'; connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
              "frame-ancestors 'none'\r\n");
    } else if (req.path == "/info") {
        whole(200, "application/json", view_.info_json());
    } else if (req.path == "/pixel") {
        std::uint64_t g = 0;
        int x = 0, y = 0;
        if (!param(req, "g", g) || !param(req, "x", x) || !param(req, "y", y)) {
            refuse(c, 400, "/pixel needs g, x and y as whole numbers", head);
            return true;
        }
        std::string out;
        const int status = view_.pixel_json(g, x, y, out);
        whole(status, "application/json", std::move(out));
    } else if (req.path == "/mixtext") {
        std::uint64_t g = 0;
        const auto mix = req.query.find("mix");
        if (!param(req, "g", g) || mix == req.query.end()) {
            refuse(c, 400, "/mixtext needs g and mix (GROUP=R:G:B,...)", head);
            return true;
        }
        std::string out;
        const int status = view_.mix_text(g, mix->second, out);
        whole(status, "text/plain; charset=utf-8", std::move(out));
    } else if (req.path == "/pixels") {
        std::uint64_t g = 0;
        int layer = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        if (!param(req, "g", g) || !param(req, "layer", layer) || !param(req, "x0", x0) ||
            !param(req, "y0", y0) || !param(req, "x1", x1) || !param(req, "y1", y1)) {
            refuse(c, 400, "/pixels needs g, layer, x0, y0, x1 and y1 as whole numbers", head);
            return true;
        }
        // The first row tells whether the request fits the frame and how long a row is; the
        // rest follows a slice of rows at a time, read from the view as the socket takes it.
        std::string row;
        const int status = view_.layer_pixels(g, layer, x0, y0, x1, y0 < y1 ? y0 + 1 : y1, row);
        if (status != 200) {
            refuse(c, status, row, head);
            return true;
        }
        const std::size_t row_bytes = row.size(), rows = std::size_t(y1 - y0);
        c.out = head_of(200, "application/octet-stream", row_bytes * rows);
        if (head) return true;
        const int per_slice =
            int(std::max<std::size_t>(1, kSliceBytes / std::max<std::size_t>(row_bytes, 1)));
        int y = y0;
        c.more = [this, g, layer, x0, x1, y1, y, per_slice](std::string& out) mutable {
            if (y >= y1) return false;
            const int to = std::min(y1, y + per_slice);
            // A frame that moved on ends the answer short: the client sees a failed fetch.
            if (view_.layer_pixels(g, layer, x0, y, x1, to, out) != 200) return false;
            y = to;
            return true;
        };
    } else if (req.path == "/events") {
        {
            std::lock_guard<std::mutex> lock(streams_mutex_);
            if (streams_ >= kMaxStreams) {
                refuse(c, 503,
                       "this render has " + std::to_string(kMaxStreams) +
                           " live views open already; close one and reload",
                       head);
                return true;
            }
            ++streams_;
        }
        const int fd = c.fd;
        std::thread([this, fd] { stream(fd); }).detach();
        return false;
    } else {
        refuse(c, 404, "no such page", head);
    }
    return true;
}

void Server::stream(int fd) {
    // Blocking from here on, with a bound on each write: a client that stops reading is dropped.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    auto send_all = [fd](const std::string& s) {
        for (std::size_t at = 0; at < s.size();) {
            const ssize_t n = ::send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return false;
            at += std::size_t(n);
        }
        return true;
    };
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n"
                             "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n\r\n";
    ViewSource::Cursor cursor;
    bool open = send_all(head);
    // A stream ends when the server stops or the client has gone (the write fails).
    while (open && !stopping_) {
        const std::string message = view_.events(cursor, stopping_);
        open = !message.empty() && send_all(message);
    }
    ::close(fd);
    std::lock_guard<std::mutex> lock(streams_mutex_);
    --streams_;
    streams_cv_.notify_all();
}

} // namespace

} // namespace orn::view

extern "C" __attribute__((visibility("default"))) orn::view::HttpServer*
orn_view_http_server(int version, orn::view::ViewSource* source) {
    if (version != orn::view::kHttpInterfaceVersion || !source) return nullptr;
    return new orn::view::Server(*source);
}
