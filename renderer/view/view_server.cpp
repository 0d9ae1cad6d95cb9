#include "view/view_server.h"

#include "core/renderer_directory.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>

namespace orn::view {

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

ViewServer::ViewServer(ViewSource& view) : view_(view) {}

ViewServer::~ViewServer() {
    stop();
}

std::string ViewServer::address() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

std::optional<std::string> ViewServer::start(int port) {
    if (port < 0 || port > 65535)
        return "--view " + std::to_string(port) + ": a port is a number from 0 to 65535";
    const std::string path = (std::filesystem::path(renderer_directory()) / kHttpLibraryFile).string();
    // Never closed: the server's code runs until the view goes, and the libraries behind it
    // register exit handlers.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const char* reason = handle ? nullptr : dlerror();
    auto entry = handle ? reinterpret_cast<OrnViewHttpEntry>(dlsym(handle, "orn_view_http_server")) : nullptr;
    server_.reset(entry ? entry(kHttpInterfaceVersion, &view_) : nullptr);
    if (!server_)
        return "cannot load the view's web server \"" + path + "\": " +
               (reason  ? reason
                : entry ? "it was built for another version of the renderer"
                        : "it is not the view's web server");
    return server_->start(port, port_);
}

void ViewServer::stop() {
    if (server_) server_->stop();
}

} // namespace orn::view
