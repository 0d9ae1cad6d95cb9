// ornrender: renders scene files.
#include "core/messages.h"
#include "film/pass_closure.h"
#include "render/session.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {
void on_interrupt(int) {
    orn::Frame::aborted().store(true);
}
} // namespace

int main(int argc, char** argv) {
    CLI::App app{"ornrender: renders scene files with the shaders they link"};
    std::vector<std::string> scenes;
    std::string check_file, sheet_from, sheet_to, preview_to;
    orn::SessionOptions options;
    int verbosity = 2;
    bool quiet = false;
    app.add_option("scene", scenes, "scene files (.mi)")->check(CLI::ExistingFile);
    app.add_option("--check-passes", check_file,
                   "rebuild the beauty of a multi-pass EXR from its layers and report how close it comes")
        ->check(CLI::ExistingFile);
    app.add_option("--contact-sheet", sheet_to, "write a PNG that shows every layer of --sheet-from");
    app.add_option("--preview", preview_to, "write the colour of --sheet-from as a PNG");
    app.add_option("--sheet-from", sheet_from, "the multi-layer EXR for --contact-sheet")
        ->check(CLI::ExistingFile);
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

    if (!check_file.empty() || !sheet_to.empty() || !preview_to.empty()) {
        int status = 0;
        if (!check_file.empty()) {
            const auto r = orn::film::check_pass_closure(check_file);
            if (!r.error.empty()) {
                std::fprintf(stderr, "ornrender: %s\n", r.error.c_str());
                return 1;
            }
            std::printf("pass closure of %s (%d x %d):\n", check_file.c_str(), r.width, r.height);
            std::printf("  beauty rebuilt from:");
            for (const auto& u : r.used)
                std::printf(" %s;", u.c_str());
            std::printf("\n");
            if (!r.missing.empty()) {
                std::printf("  not in the file (taken as 0):");
                for (const auto& m : r.missing)
                    std::printf(" %s", m.c_str());
                std::printf("\n");
            }
            const char* names = "RGB";
            for (int c = 0; c < 3; ++c)
                std::printf("  %c: largest difference %.3g, mean %.3g\n", names[c], r.max_diff[size_t(c)],
                            r.mean_diff[size_t(c)]);
            std::printf("  pixels over 2e-5 + 1e-5 x |beauty|: %.4f%%\n", 100.0 * r.share_over);
            std::printf("  %s\n", r.ok ? "closed" : "NOT closed");
            if (!r.ok) status = 1;
        }
        if ((!sheet_to.empty() || !preview_to.empty()) && sheet_from.empty()) {
            std::fprintf(stderr, "ornrender: --contact-sheet and --preview need --sheet-from FILE.exr\n");
            return 1;
        }
        for (const auto& [to, sheet] : {std::pair<std::string, bool>{sheet_to, true}, {preview_to, false}}) {
            if (to.empty()) continue;
            const std::string err = sheet ? orn::film::write_contact_sheet(sheet_from, to)
                                          : orn::film::write_preview(sheet_from, to);
            if (!err.empty()) {
                std::fprintf(stderr, "ornrender: %s\n", err.c_str());
                return 1;
            }
            std::printf("wrote %s\n", to.c_str());
        }
        if (scenes.empty()) return status;
        if (status) return status;
    }
    if (scenes.empty()) {
        std::fprintf(stderr, "ornrender: no scene file given (see --help)\n");
        return 1;
    }
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
