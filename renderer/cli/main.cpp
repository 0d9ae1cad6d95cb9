// ornrender: renders scene files.
#include "core/messages.h"
#include "core/nearest_name.h"
#include "film/light_mix.h"
#include "film/pass_closure.h"
#include "render/merge.h"
#include "render/session.h"
#include "scene/parameter_docs.h"
#include "view/view_server.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

// Exit statuses: 0 done, 1 a render or check failed, 2 the command line was wrong.
constexpr int kFailed = 1, kUsage = 2;

// The signal that stopped the frame (SIGINT from a terminal, SIGTERM from a farm scheduler).
volatile std::sig_atomic_t stop_signal = 0;

void on_interrupt(int sig) {
    // A second signal means "now": leave at once.
    if (stop_signal) std::_Exit(128 + sig);
    stop_signal = sig;
    orn::Frame::aborted().store(true);
}

int fail(int status, const std::string& message) {
    std::fprintf(stderr, "ornrender: error: %s\n", message.c_str());
    return status;
}

std::string value_text(const orn::scene::Value& v) {
    using Kind = orn::scene::Value::Kind;
    switch (v.kind) {
    case Kind::Numbers: {
        std::string out;
        for (double d : v.numbers) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%g", d);
            out += (out.empty() ? "" : " ") + std::string(buf);
        }
        return out;
    }
    case Kind::Boolean:
        return v.boolean ? "on" : "off";
    case Kind::String:
        return "\"" + v.text + "\"";
    default:
        return "";
    }
}

std::string type_text(const orn::scene::ParamDecl& p) {
    return (p.is_array ? "array " : "") + orn::scene::to_string(p.type);
}

// The declarations whose shader a linked module provides, by name.
std::vector<const orn::Declaration*> provided(orn::Database& db) {
    std::vector<const orn::Declaration*> out;
    for (orn::Element* e : db.all(miSCENE_FUNCTION_DECL)) {
        const auto& d = static_cast<orn::DeclElement*>(e)->declaration;
        if (d.code) out.push_back(&d);
    }
    std::sort(out.begin(), out.end(), [](auto* a, auto* b) { return a->decl.name < b->decl.name; });
    return out;
}

int list_shaders(orn::Database& db) {
    for (const orn::Declaration* d : provided(db))
        std::printf("%-28s %-10s version %d\n", d->decl.name.c_str(), type_text(d->decl.result).c_str(),
                    d->decl.version);
    return 0;
}

// The parameter meanings of the shader reference installed beside a declaration file
// (shaders_orn.md beside shaders_orn.mi); none when it is not there.
std::map<std::string, std::string> meanings_of(const orn::Declaration& d) {
    std::filesystem::path doc(d.decl.loc.file);
    doc.replace_extension(".md");
    std::ifstream in(doc);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    auto all = orn::scene::parse_parameter_meanings(text.str());
    return all[d.decl.name];
}

int describe(orn::Database& db, const std::string& name) {
    for (const orn::Declaration* d : provided(db)) {
        if (d->decl.name != name) continue;
        std::printf("%s %s, version %d\n", type_text(d->decl.result).c_str(), name.c_str(), d->decl.version);
        const auto meanings = meanings_of(*d);
        for (const auto& p : d->decl.params) {
            const std::string quoted = "\"" + p.name + "\"";
            if (p.default_value)
                std::printf("  %-16s %-28s default %s\n", type_text(p).c_str(), quoted.c_str(),
                            value_text(*p.default_value).c_str());
            else
                std::printf("  %-16s %s\n", type_text(p).c_str(), quoted.c_str());
            if (auto it = meanings.find(p.name); it != meanings.end() && !it->second.empty())
                std::printf("      %s\n", it->second.c_str());
        }
        return 0;
    }
    std::vector<std::string> names;
    for (const orn::Declaration* d : provided(db))
        names.push_back(d->decl.name);
    return fail(kFailed, "no loaded module provides a shader \"" + name + "\"" +
                             orn::did_you_mean(name, names) + " (see --list-shaders)");
}

// The first argument that looks like an option but names none of the command's, as a message
// with the nearest option's name; empty when every option is known. Only asked once parsing has
// failed, so a value that merely starts with '-' costs nothing worse than this message.
std::string unknown_option(const CLI::App& app, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (arg.size() < 2 || arg[0] != '-' || std::isdigit(static_cast<unsigned char>(arg[1])) ||
            arg[1] == '.')
            continue;
        const bool is_long = arg[1] == '-';
        // "--name=value" names "--name"; "-qv" starts with the flag "-q".
        const std::string name = is_long ? arg.substr(0, arg.find('=')) : arg.substr(0, 2);
        if (app.get_option_no_throw(name)) continue;
        std::vector<std::string> known;
        for (const CLI::Option* o : app.get_options()) {
            for (const std::string& l : o->get_lnames())
                known.push_back(l);
            for (const std::string& s : o->get_snames())
                known.push_back(s);
        }
        const std::string typed = name.substr(name.find_first_not_of('-'));
        const std::string near = orn::nearest_name(typed, known);
        return "unknown option " + name +
               (near.empty() ? std::string()
                             : "; did you mean " + std::string(near.size() == 1 ? "-" : "--") + near + "?") +
               " (see --help)";
    }
    return {};
}

// "7", "1-100" or "1-100x2": the frames of a sequence, first to last by a step.
struct FrameRange {
    int first = 0, last = 0, step = 1;
};

std::optional<FrameRange> parse_frames(const std::string& text, std::string& error) {
    static const std::regex form(R"((-?\d{1,9})(?:-(-?\d{1,9})(?:x(\d{1,9}))?)?)");
    std::smatch m;
    if (!std::regex_match(text, m, form)) {
        error = "--frames \"" + text + "\" is not a frame range (N, FIRST-LAST or FIRST-LASTxSTEP)";
        return std::nullopt;
    }
    FrameRange r;
    r.first = std::stoi(m[1]);
    r.last = m[2].matched ? std::stoi(m[2]) : r.first;
    r.step = m[3].matched ? std::stoi(m[3]) : 1;
    if (r.last < r.first || r.step < 1) {
        error =
            "--frames \"" + text + "\" holds no frame (the last comes before the first, or the step is 0)";
        return std::nullopt;
    }
    return r;
}

// "I/N": part I (from 0) of N of a split frame.
struct TileSpec {
    int index = 0, count = 0;
};

std::optional<TileSpec> parse_tile(const std::string& text, std::string& error) {
    static const std::regex form(R"((\d{1,6})/(\d{1,6}))");
    std::smatch m;
    if (!std::regex_match(text, m, form)) {
        error = "--tile \"" + text + "\" is not a part of a frame (I/N, I from 0 to N - 1)";
        return std::nullopt;
    }
    TileSpec t{std::stoi(m[1]), std::stoi(m[2])};
    if (t.count < 1 || t.index >= t.count) {
        error = "--tile \"" + text + "\": a frame in " + std::to_string(t.count) + " parts has parts 0 to " +
                std::to_string(t.count - 1);
        return std::nullopt;
    }
    return t;
}

// A whole frame, or with a tile its part file in the output directory.
bool render_frame(orn::Session& session, const std::optional<TileSpec>& tile,
                  const orn::SessionOptions& options) {
    return tile ? session.render_parts(tile->index, tile->count, options.render.output_dir)
                : session.render_all();
}

// The scene files are read anew for every frame (one file per frame when a name holds '#'),
// the frame number goes to the cameras and their outputs, and the first frame that fails
// stops the sequence; frames written before it stay. A stop ends it quietly (the caller tells
// of it) with a non-zero status: the sequence is not complete.
int render_sequence(const std::vector<std::string>& scenes, const FrameRange& range,
                    const std::optional<TileSpec>& tile, const orn::SessionOptions& options,
                    volatile std::sig_atomic_t& stop) {
    // Several frames out of one scene file must name their outputs by frame.
    const bool shared = std::none_of(scenes.begin(), scenes.end(),
                                     [](const std::string& s) { return s.find('#') != std::string::npos; });
    const bool sequence = range.last > range.first && shared;
    for (int frame = range.first; frame <= range.last; frame += range.step) {
        if (stop) return kFailed;
        orn::Session session(options);
        for (const auto& pattern : scenes) {
            const std::string file = orn::frame_name(pattern, frame);
            if (session.load_file(file)) continue;
            if (stop) return kFailed;
            return fail(kFailed,
                        "frame " + std::to_string(frame) + ": " + file + " has errors; nothing rendered");
        }
        if (!session.set_frame(frame, sequence))
            return fail(kFailed, "frame " + std::to_string(frame) + ": outputs would write over each other");
        if (!render_frame(session, tile, options))
            return stop ? kFailed : fail(kFailed, "frame " + std::to_string(frame) + " failed");
        if (range.step > range.last - frame) break; // no overflow past the last frame
    }
    return 0;
}

// What a stop left behind, and the status that says it: 0 when the signal came after every
// file of the run was written (nothing is missing), else 128 + the signal's number.
int report_stop(int signal, bool complete) {
    const char* name = signal == SIGTERM ? "SIGTERM" : "SIGINT";
    if (complete) {
        std::fprintf(
            stderr, "ornrender: %s came after the frame's files were written: the frame is complete\n", name);
        return 0;
    }
    const std::vector<std::string> written = orn::Frame::files_written();
    if (written.empty()) {
        std::fprintf(stderr,
                     "ornrender: interrupted by %s: nothing was written for the unfinished frame (no "
                     "image file, no output shader), so older files are kept\n",
                     name);
    } else {
        std::string list;
        for (const std::string& f : written)
            list += (list.empty() ? "" : ", ") + f;
        std::fprintf(stderr,
                     "ornrender: interrupted by %s while the frame's files were written: %s written, the "
                     "others not (their older files are kept); the frame is incomplete\n",
                     name, list.c_str());
    }
    return 128 + signal;
}

// --mix: a new file from a written frame with its light groups mixed.
int mix(const std::string& text, const std::vector<std::string>& inputs, const std::string& out) {
    std::string error;
    const auto parsed = orn::film::parse_light_mix(text, error);
    if (!parsed) return fail(kUsage, error);
    if (inputs.size() != 1) return fail(kUsage, "--mix takes one EXR file to mix (and -o OUT.exr)");
    if (out.empty()) return fail(kUsage, "--mix needs -o OUT.exr: the mix goes to a new file");
    if (auto err = orn::film::mix_exr(inputs[0], out, *parsed)) return fail(kFailed, *err);
    std::fprintf(stderr, "ornrender: wrote %s (%s)\n", out.c_str(), parsed->text().c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // First of all: a scheduler's SIGTERM that comes while the command line is read must still
    // stop the frame and say so, not kill the process silently.
    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);
    CLI::App app{"ornrender: renders scene files with the shaders they link.\n"
                 "Exit status: 0 done, 1 a render or check failed, 2 a usage error, 130 (SIGINT) or 143 "
                 "(SIGTERM) stopped before the frame's files were all written."};
    std::vector<std::string> scenes;
    std::string check_file, sheet_from, sheet_to, preview_to, describe_name, mix_text;
    orn::SessionOptions options;
    int verbosity = 2;
    bool quiet = false, version = false, list = false;
    std::string frames, tile_text;
    bool merge = false;
    int view_port = -1;
    std::vector<int> region;
    app.add_option("scene", scenes,
                   "scene files (.mi); with --frames a run of '#' stands for the frame number; with "
                   "--merge, the scene files the parts were rendered from (a run of '#' for the frame), "
                   "then directories or .exr files of parts")
        ->check(CLI::Validator(
            [](std::string& name) {
                return name.find('#') != std::string::npos ? "" : CLI::ExistingPath(name);
            },
            "PATH", "ExistingPath"));
    app.add_option("--frames", frames,
                   "render a sequence: N, FIRST-LAST or FIRST-LASTxSTEP; every camera gets the frame number, "
                   "and '#' runs in scene and output file names become it, padded with zeros");
    app.add_option("--tile", tile_text,
                   "render part I (from 0) of N of every frame, a strip of whole bucket rows with part 0 at "
                   "the top, into a part file in the output directory instead of the outputs");
    app.add_flag("--merge", merge,
                 "join the part files in the directories (or .exr files) given into the files the whole "
                 "frames write, in the output directory; the scene is read from the scene files given, "
                 "and parts rendered from other scene files are refused");
    app.add_option("--view", view_port,
                   "serve a live view of the frame to a browser on 127.0.0.1:PORT (default " +
                       std::to_string(orn::view::ViewServer::kDefaultPort) +
                       "; 0: any free port) while it renders, and after the last frame until Ctrl-C")
        ->type_name("[PORT]")
        ->check(CLI::Range(0, 65535));
    app.add_option("--region", region,
                   "render only the pixels with X0 <= x < X1 and Y0 <= y < Y1 (x from the left, y from the "
                   "bottom row), as the camera's window does")
        ->expected(4)
        ->allow_extra_args(false)
        ->type_name("X0 Y0 X1 Y1");
    app.add_option("--mix", mix_text,
                   "mix the light groups of a written frame: --mix key=0.5,fill=1:0.9:0.8 IN.exr -o OUT.exr "
                   "writes OUT.exr with the beauty and the groups' layers mixed (GROUP=K scales, GROUP=R:G:B "
                   "tints, GROUP=off drops a group) and every other layer as it was; IN.exr is left as it is")
        ->type_name("GROUP=K,...");
    app.add_flag("--version", version, "print the version and exit");
    app.add_flag("--list-shaders", list,
                 "list the shaders of the module beside the renderer and of the scenes' modules");
    app.add_option("--describe", describe_name,
                   "print a shader's parameters with their types, defaults and meanings");
    app.add_option("--check-passes", check_file,
                   "rebuild the beauty of a multi-pass EXR from its layers and report how close it comes")
        ->check(CLI::ExistingFile);
    app.add_option("--contact-sheet", sheet_to, "write a PNG that shows every layer of --sheet-from");
    app.add_option("--preview", preview_to, "write the beauty (R G B) of --sheet-from as a PNG");
    app.add_option("--sheet-from", sheet_from, "the multi-layer EXR for --contact-sheet")
        ->check(CLI::ExistingFile);
    app.add_option("-t,--threads", options.render.threads, "render threads (0: one per core)")
        ->check(CLI::Range(0, 1024));
    app.add_option("-v,--verbose", verbosity,
                   "message level: 0 none, 1 errors, 2 warnings (default), 3 info and the files written, "
                   "4 progress, 5 debug; a message repeated word for word is shown 5 times at levels up "
                   "to 2, 50 times at 3 and 4, always at 5, then counted")
        ->check(CLI::Range(0, 5));
    app.add_flag("-q,--quiet", quiet, "no progress, errors only");
    app.add_option("-I,--include-path", options.include_paths, "directories searched by $include");
    app.add_option("-L,--library-path", options.module_dirs, "directories searched by link");
    app.add_option("-o,--output-dir", options.render.output_dir,
                   "directory for relative output file names (with --mix: the file to write)");
    try {
        std::vector<std::string> args = orn::view::with_view_port(argc, argv);
        std::reverse(args.begin(), args.end());
        args.pop_back(); // the program
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        if (const std::string unknown = unknown_option(app, argc, argv); !unknown.empty())
            return fail(kUsage, unknown);
        return fail(kUsage, std::string(e.what()) + " (see --help)");
    }
    if (version) {
        std::printf("ornrender %s\n", ORN_VERSION);
        return 0;
    }
    orn::Messages::set_verbosity(quiet ? 1 : verbosity);
    orn::Messages::set_repeat_limit(verbosity >= 5 ? 0 : verbosity >= 3 ? 50 : 5);

    if (app.count("--mix")) return mix(mix_text, scenes, options.render.output_dir);

    if (list || !describe_name.empty()) {
        orn::Session session(options);
        if (!session.load_string("link \"shaders_orn.so\"\n$include \"shaders_orn.mi\"\n", "<ornrender>"))
            return fail(kFailed, "the shader module or its declarations could not be loaded");
        for (const auto& s : scenes)
            if (!session.load_file(s))
                return stop_signal ? report_stop(stop_signal, false) : fail(kFailed, s + " has errors");
        return list ? list_shaders(session.db()) : describe(session.db(), describe_name);
    }

    if (!check_file.empty() || !sheet_to.empty() || !preview_to.empty()) {
        if ((!sheet_to.empty() || !preview_to.empty()) && sheet_from.empty())
            return fail(kUsage, "--contact-sheet and --preview need --sheet-from FILE.exr");
        int status = 0;
        if (!check_file.empty()) {
            const auto r = orn::film::check_pass_closure(check_file);
            if (!r.error.empty()) return fail(kFailed, r.error);
            std::printf("pass closure of %s (%d x %d):\n", check_file.c_str(), r.width, r.height);
            std::printf("  beauty (R G B) rebuilt from the layers:");
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
            if (!r.groups.empty()) {
                std::printf("  beauty (R G B) as the sum of the light groups:");
                for (const auto& g : r.groups)
                    std::printf(" %s;", g.c_str());
                std::printf(
                    "\n  largest difference R %.3g, G %.3g, B %.3g; pixels over the tolerance: %.4f%%\n",
                    r.group_max_diff[0], r.group_max_diff[1], r.group_max_diff[2],
                    100.0 * r.group_share_over);
            }
            for (const auto& [type, worst] : r.mattes)
                std::printf("  ID matte %s: coverages against the alpha, largest excess or shortfall %.3g\n",
                            type.c_str(), worst);
            for (const auto& w : r.warnings)
                std::printf("  warning: %s\n", w.c_str());
            for (const auto& f : r.failures)
                std::printf("  not closed: %s\n", f.c_str());
            std::printf("  %s\n", r.ok ? "closed" : "NOT closed");
            if (!r.ok) status = 1;
        }
        for (const auto& [to, sheet] : {std::pair<std::string, bool>{sheet_to, true}, {preview_to, false}}) {
            if (to.empty()) continue;
            const std::string err = sheet ? orn::film::write_contact_sheet(sheet_from, to)
                                          : orn::film::write_preview(sheet_from, to);
            if (!err.empty()) return fail(kFailed, err);
            std::printf("wrote %s\n", to.c_str());
        }
        if (scenes.empty()) return status;
        if (status) return status;
    }
    if (scenes.empty()) return fail(kUsage, "no scene file given (see --help)");
    std::optional<TileSpec> tile;
    if (!tile_text.empty()) {
        std::string error;
        tile = parse_tile(tile_text, error);
        if (!tile) return fail(kUsage, error);
        if (merge) return fail(kUsage, "--tile and --merge do not go together");
    }
    if (merge && app.count("--frames"))
        return fail(kUsage, "--merge takes the frames from the parts; leave --frames out");
    if (merge && (app.count("--view") || app.count("--region")))
        return fail(kUsage, "--merge renders no pixels; --view and --region go with rendering");
    if (!region.empty()) {
        if (region[0] >= region[2] || region[1] >= region[3])
            return fail(kUsage, "--region " + std::to_string(region[0]) + " " + std::to_string(region[1]) +
                                    " " + std::to_string(region[2]) + " " + std::to_string(region[3]) +
                                    " is empty: it takes X0 Y0 X1 Y1 with X0 < X1 and Y0 < Y1");
        options.render.region = std::array<int, 4>{region[0], region[1], region[2], region[3]};
    }
    // The view lives across the frames of a sequence and after the last one.
    orn::view::LiveView live_view(std::vector<std::string>(argv, argv + argc));
    orn::view::ViewServer view_server(live_view);
    if (app.count("--view")) {
        if (auto err = view_server.start(view_port)) return fail(kFailed, *err);
        std::fprintf(stderr, "ornrender: live view at %s\n", view_server.address().c_str());
        options.render.watch = &live_view;
    }
    options.render.progress = !quiet;
    options.render.progress_lines = !isatty(STDERR_FILENO);
    // Whether everything the run was asked for was rendered and written.
    bool complete = false;
    if (merge) {
        // Directories and .exr files are the parts; the rest is the scene, which only the
        // command line names: a part never says what the merge reads or loads.
        std::vector<std::string> scene_files, parts;
        for (const std::string& a : scenes) {
            std::error_code ec;
            const bool part =
                std::filesystem::is_directory(a, ec) || std::filesystem::path(a).extension() == ".exr";
            (part ? parts : scene_files).push_back(a);
        }
        if (scene_files.empty())
            return fail(kUsage, "--merge needs the scene files the parts were rendered from "
                                "(ornrender --merge -o OUT shot.mi PARTS...)");
        if (parts.empty()) return fail(kUsage, "--merge needs directories or .exr files of parts");
        complete = orn::merge_parts(scene_files, parts, options);
    } else if (app.count("--frames")) {
        std::string error;
        const auto range = parse_frames(frames, error);
        if (!range) return fail(kUsage, error);
        const int status = render_sequence(scenes, *range, tile, options, stop_signal);
        if (status && !stop_signal && !live_view.has_frame()) return status;
        complete = status == 0;
    } else {
        orn::Session session(options);
        bool loaded = true;
        for (const auto& s : scenes) {
            if (stop_signal || (loaded = session.load_file(s))) continue;
            // A stop while the scene is read is a stop, not an error of the scene.
            if (stop_signal) break;
            return fail(kFailed, s + " has errors; nothing rendered");
        }
        complete = !stop_signal && loaded && render_frame(session, tile, options);
    }
    if (options.render.watch && !stop_signal && live_view.has_frame()) {
        std::fprintf(stderr, "ornrender: the view stays at %s until Ctrl-C\n", view_server.address().c_str());
        while (!stop_signal)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return complete ? report_stop(stop_signal, true) : kFailed;
    }
    if (stop_signal) return report_stop(stop_signal, complete);
    return complete ? 0 : kFailed;
}
