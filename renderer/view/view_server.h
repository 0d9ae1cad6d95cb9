// ornrender --view: serves the frame of a LiveView to a browser on the loopback address only.
#pragma once

#include "view/http_server.h"
#include "view/live_view.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orn::view {

// The command line with "--view" as "--view=PORT": it takes a port only when a number follows
// it, so that "--view scene.mi" still names a scene (the default port then).
std::vector<std::string> with_view_port(int argc, char** argv);

// Serves a frame to a browser on the loopback address only, through the web server library.
class ViewServer {
  public:
    static constexpr int kDefaultPort = 9800;
    static constexpr int kMaxStreams = view::kMaxStreams;

    explicit ViewServer(ViewSource& view);
    ~ViewServer();
    ViewServer(const ViewServer&) = delete;
    ViewServer& operator=(const ViewServer&) = delete;

    // Loads the web server and listens on 127.0.0.1:port (0: a free port the system picks); the
    // reason when it cannot.
    std::optional<std::string> start(int port);
    void stop();
    int port() const { return port_; }
    // "http://127.0.0.1:PORT/"
    std::string address() const;

  private:
    ViewSource& view_;
    std::unique_ptr<HttpServer> server_;
    int port_ = 0;
};

} // namespace orn::view
