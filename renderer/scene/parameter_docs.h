// The parameter meanings of the shader reference (docs/shaders.md), for `ornrender --describe`:
// read from the reference itself, so the help and the page cannot drift apart.
#pragma once

#include <map>
#include <string>

namespace orn::scene {

// shader -> parameter -> the first sentence of its "Meaning" cell, as plain text.
using ParameterMeanings = std::map<std::string, std::map<std::string, std::string>>;

// Reads the tables under each "## `shader`" heading: rows "| `a`, `b` | type | default |
// meaning |" give every parameter named in the first cell that meaning.
ParameterMeanings parse_parameter_meanings(const std::string& markdown);

} // namespace orn::scene
