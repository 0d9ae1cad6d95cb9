// ornrender --view: serves a LiveView to a browser on the loopback address only.
#pragma once

#include "view/live_view.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orn::view {

// The command line with "--view" as "--view=PORT": it takes a port only when a number follows
// it, so that "--view scene.mi" still names a scene (the default port then).
std::vector<std::string> with_view_port(int argc, char** argv);

class ViewServer {
  public:
    static constexpr int kDefaultPort = 9800;
    // Event streams open at once; one more is refused with a message (each holds a thread).
    static constexpr int kMaxStreams = 4;

    explicit ViewServer(LiveView& view);
    ~ViewServer();
    ViewServer(const ViewServer&) = delete;
    ViewServer& operator=(const ViewServer&) = delete;

    // Listens on 127.0.0.1:port (0: a free port the system picks); the reason when it cannot.
    std::optional<std::string> start(int port);
    void stop();
    int port() const { return port_; }
    // "http://127.0.0.1:PORT/"
    std::string address() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

} // namespace orn::view
