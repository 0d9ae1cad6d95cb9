// ornrender: renders scene files.
#include "core/messages.h"
#include "render/session.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {
void on_interrupt(int) { orn::Frame::aborted().store(true); }
} // namespace

int main(int argc, char** argv) {
    CLI::App app{"ornrender: renders scene files with the shaders they link"};
    std::vector<std::string> scenes;
    orn::SessionOptions options;
    int verbosity = 2;
    bool quiet = false;
    app.add_option("scene", scenes, "scene files (.mi)")->required()->check(CLI::ExistingFile);
    app.add_option("-t,--threads", options.render.threads, "render threads (0: one per core)")
        ->check(CLI::Range(0, 1024));
    app.add_option("-v,--verbose", verbosity,
                   "message level: 0 none, 1 errors, 2 warnings (default), 3 info, 4 progress, 5 debug")
        ->check(CLI::Range(0, 5));
    app.add_flag("-q,--quiet", quiet, "no progress bar, errors only");
    app.add_option("-I,--include-path", options.include_paths, "directories searched by $include");
    app.add_option("-L,--library-path", options.module_dirs, "directories searched by link");
    app.add_option("-o,--output-dir", options.render.output_dir, "directory for relative output file names");
    CLI11_PARSE(app, argc, argv);

    orn::Messages::set_verbosity(quiet ? 1 : verbosity);
    options.render.progress = !quiet && isatty(STDERR_FILENO);
    std::signal(SIGINT, on_interrupt);

    orn::Session session(options);
    for (const auto& s : scenes)
        if (!session.load_file(s)) {
            std::fprintf(stderr, "ornrender: %s has errors; nothing rendered\n", s.c_str());
            return 1;
        }
    if (!session.render_all()) return 1;
    return orn::Frame::aborted().load() ? 130 : 0;
}
