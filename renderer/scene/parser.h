// Reads scene-language text into a list of statements (see docs/scene-format.md). Parsing stops at the first
// error; the statements read before it are kept in the result.
#pragma once

#include "scene/ast.h"

#include <atomic>
#include <string>
#include <vector>

namespace orn::scene {

struct ParseOptions {
    // Searched in order for `$include "x"` after the including file's own directory.
    std::vector<std::string> include_paths;
    // Set from outside (an interrupt): long reading such as OBJ files stops.
    const std::atomic<bool>* cancel = nullptr;
};

struct ParseResult {
    bool ok = false;
    std::vector<Statement> statements; // in file order, included files spliced in place
    std::vector<Diagnostic> errors;
};

ParseResult parse_file(const std::string& path, const ParseOptions& options = {});

// `virtual_name` stands for the file name in locations; its directory is where relative `$include` and
// `file` paths are looked up first.
ParseResult parse_string(const std::string& text, const std::string& virtual_name,
                         const ParseOptions& options = {});

} // namespace orn::scene
