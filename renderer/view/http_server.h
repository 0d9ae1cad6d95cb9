// The view's web server lives in a library of its own, beside the renderer, that only --view
// loads.
#pragma once

#include "view/view_source.h"

#include <optional>
#include <string>

namespace orn::view {

constexpr int kHttpInterfaceVersion = 1;
constexpr const char* kHttpLibraryFile = "libornview_http.so";
// Event streams open at once; one more is refused with a message (each holds a thread).
constexpr int kMaxStreams = 4;

class HttpServer {
  public:
    virtual ~HttpServer() = default;
    // Listens on 127.0.0.1:port (0: a free port the system picks) and sets `bound` to the port;
    // the reason when it cannot.
    virtual std::optional<std::string> start(int port, int& bound) = 0;
    virtual void stop() = 0;
};

} // namespace orn::view

// A server of `source`'s frame; null when `version` is not the library's.
extern "C" orn::view::HttpServer* orn_view_http_server(int version, orn::view::ViewSource* source);
using OrnViewHttpEntry = orn::view::HttpServer* (*)(int, orn::view::ViewSource*);
