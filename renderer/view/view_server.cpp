#include "view/view_server.h"

#include "view/view_page.h"

#include <httplib.h>

#include <algorithm>
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

} // namespace

std::vector<std::string> with_view_port(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] != "--view") continue;
        const std::string next = i + 1 < args.size() ? args[i + 1] : std::string();
        const bool number =
            !next.empty() && next.size() <= 5 &&
            std::all_of(next.begin(), next.end(), [](char c) { return c >= '0' && c <= '9'; });
        args[i] = "--view=" + (number ? next : std::to_string(ViewServer::kDefaultPort));
        if (number) args.erase(args.begin() + long(i) + 1);
    }
    return args;
}

struct ViewServer::Impl {
    explicit Impl(LiveView& v) : view(v) {}
    LiveView& view;
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> stopping{false}, ended{false};
    std::atomic<int> streams{0};
};

ViewServer::ViewServer(LiveView& view) : impl_(std::make_unique<Impl>(view)) {}

ViewServer::~ViewServer() {
    stop();
}

std::string ViewServer::address() const {
    return "http://" + std::string(kLoopback) + ":" + std::to_string(port_) + "/";
}

std::optional<std::string> ViewServer::start(int port) {
    if (port < 0 || port > 65535)
        return "--view " + std::to_string(port) + ": a port is a number from 0 to 65535";
    // A client that goes away mid-stream must cost a failed write, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    httplib::Server& s = impl_->server;
    LiveView& view = impl_->view;
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
        Impl& impl = *impl_;
        if (impl.streams.fetch_add(1) >= kMaxStreams) {
            impl.streams.fetch_sub(1);
            return refuse(res, 503,
                          "this render has " + std::to_string(kMaxStreams) +
                              " live views open already; close one and reload");
        }
        auto cursor = std::make_shared<LiveView::Cursor>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [&impl, cursor](std::size_t, httplib::DataSink& sink) {
                const std::string message = impl.view.events(*cursor, impl.stopping);
                // A stream ends when the server stops or the client has gone (the write fails).
                return !impl.stopping.load() && !message.empty() &&
                       sink.write(message.data(), message.size());
            },
            [&impl](bool) { impl.streams.fetch_sub(1); });
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
    impl_->thread = std::thread([this] {
        impl_->server.listen_after_bind();
        impl_->ended = true;
    });
    // stop() only reaches a server that is listening.
    while (!impl_->server.is_running() && !impl_->ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return std::nullopt;
}

void ViewServer::stop() {
    if (!impl_->thread.joinable()) return;
    impl_->stopping = true;
    impl_->view.wake();
    impl_->server.stop();
    impl_->thread.join();
}

} // namespace orn::view
