#include "view/http_server.h"

#include "view/view_page.h"

#include <httplib.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <thread>

namespace orn::view {

namespace {

constexpr const char* kLoopback = "127.0.0.1";

template <class T> bool param(const httplib::Request& req, const char* name, T& value) {
    if (!req.has_param(name)) return false;
    const std::string text = req.get_param_value(name);
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

void refuse(httplib::Response& res, int status, const std::string& why) {
    res.status = status;
    res.set_content("ornrender: " + why + "\n", "text/plain; charset=utf-8");
}

class Server final : public HttpServer {
  public:
    explicit Server(ViewSource& v) : view_(v) {}
    ~Server() override { stop(); }
    std::optional<std::string> start(int port, int& bound) override;
    void stop() override;

  private:
    ViewSource& view_;
    httplib::Server server_;
    std::thread thread_;
    std::atomic<bool> stopping_{false}, ended_{false};
    std::atomic<int> streams_{0};
    int port_ = 0;
};

std::optional<std::string> Server::start(int port, int& bound) {
    // A client that goes away mid-stream must cost a failed write, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    httplib::Server& s = server_;
    ViewSource& view = view_;
    // The library's default lets a second server share the port (SO_REUSEPORT), which would split
    // the connections between two renders; a busy port must be an error instead.
    s.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Every request but the event streams is answered at once, so a few threads serve many
    // clients. A connection is closed after its answer: the library polls idle kept-alive
    // connections every few milliseconds, which costs more than a new loopback connection.
    s.new_task_queue = [] { return new httplib::ThreadPool(kMaxStreams + 8); };
    s.set_keep_alive_max_count(1);
    s.set_read_timeout(5, 0);
    s.set_write_timeout(5, 0);
    s.set_default_headers({{"Cache-Control", "no-store"},
                           {"X-Content-Type-Options", "nosniff"},
                           {"Referrer-Policy", "no-referrer"},
                           {"X-Frame-Options", "DENY"}});

    // Only requests meant for this address are answered: a page elsewhere that has its own name
    // resolve to 127.0.0.1 (DNS rebinding) sends its own name as the Host.
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        const std::string own = ":" + std::to_string(port_);
        const std::string host = req.get_header_value("Host");
        if (req.get_header_value_count("Host") != 1 ||
            (host != std::string(kLoopback) + own && host != "localhost" + own)) {
            refuse(res, 403, "this view answers requests for " + std::string(kLoopback) + own + " only");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD") {
            refuse(res, 405, "this view only answers GET");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.status == 404 && res.body.empty()) refuse(res, 404, "no such page");
    });

    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                       "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
                       "frame-ancestors 'none'");
        const std::string_view page = view_page();
        res.set_content(page.data(), page.size(), "text/html; charset=utf-8");
    });
    s.Get("/info", [&view](const httplib::Request&, httplib::Response& res) {
        res.set_content(view.info_json(), "application/json");
    });
    s.Get("/pixels", [&view](const httplib::Request& req, httplib::Response& res) {
        std::uint64_t g = 0;
        int layer = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        if (!param(req, "g", g) || !param(req, "layer", layer) || !param(req, "x0", x0) ||
            !param(req, "y0", y0) || !param(req, "x1", x1) || !param(req, "y1", y1))
            return refuse(res, 400, "/pixels needs g, layer, x0, y0, x1 and y1 as whole numbers");
        std::string out;
        const int status = view.layer_pixels(g, layer, x0, y0, x1, y1, out);
        if (status != 200) return refuse(res, status, out);
        res.set_content(std::move(out), "application/octet-stream");
    });
    s.Get("/pixel", [&view](const httplib::Request& req, httplib::Response& res) {
        std::uint64_t g = 0;
        int x = 0, y = 0;
        if (!param(req, "g", g) || !param(req, "x", x) || !param(req, "y", y))
            return refuse(res, 400, "/pixel needs g, x and y as whole numbers");
        std::string out;
        const int status = view.pixel_json(g, x, y, out);
        if (status != 200) return refuse(res, status, out);
        res.set_content(std::move(out), "application/json");
    });
    s.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
        if (streams_.fetch_add(1) >= kMaxStreams) {
            streams_.fetch_sub(1);
            return refuse(res, 503,
                          "this render has " + std::to_string(kMaxStreams) +
                              " live views open already; close one and reload");
        }
        auto cursor = std::make_shared<ViewSource::Cursor>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, cursor](std::size_t, httplib::DataSink& sink) {
                const std::string message = view_.events(*cursor, stopping_);
                // A stream ends when the server stops or the client has gone (the write fails).
                return !stopping_.load() && !message.empty() && sink.write(message.data(), message.size());
            },
            [this](bool) { streams_.fetch_sub(1); });
    });

    errno = 0;
    if (port == 0) {
        port_ = s.bind_to_any_port(kLoopback);
        if (port_ < 0)
            return "cannot serve the view on " + std::string(kLoopback) + ": " + std::strerror(errno);
    } else if (!s.bind_to_port(kLoopback, port)) {
        const int error = errno;
        const std::string where = std::string(kLoopback) + ":" + std::to_string(port);
        if (error == EADDRINUSE)
            return "cannot serve the view on " + where +
                   ": the port is in use (another ornrender --view or another program); choose another with "
                   "--view PORT, or --view 0 for any free port";
        if (error == EACCES)
            return "cannot serve the view on " + where +
                   ": permission denied (ports below 1024 need root); "
                   "choose another with --view PORT";
        return "cannot serve the view on " + where + (error ? ": " + std::string(std::strerror(error)) : "");
    } else {
        port_ = port;
    }
    bound = port_;
    thread_ = std::thread([this] {
        server_.listen_after_bind();
        ended_ = true;
    });
    // stop() only reaches a server that is listening.
    while (!server_.is_running() && !ended_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return std::nullopt;
}

void Server::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    view_.wake();
    server_.stop();
    thread_.join();
}

} // namespace

} // namespace orn::view

extern "C" __attribute__((visibility("default"))) orn::view::HttpServer*
orn_view_http_server(int version, orn::view::ViewSource* source) {
    if (version != orn::view::kHttpInterfaceVersion || !source) return nullptr;
    return new orn::view::Server(*source);
}
