// Parameter values (`("p" 1 2 3, "q" = "shader", ...)`) and shader declarations.
#pragma once

#include "scene/ast.h"
#include "scene/token_stream.h"

#include <string>
#include <vector>

namespace orn::scene {

// One value starting at the current token; `context` names what it belongs to for messages.
Value parse_value(TokenStream& in, const std::string& context);

// A parenthesised parameter list, the "(" included; commas between entries are optional.
std::vector<ParamValue> parse_param_list(TokenStream& in, const std::string& context);

// `declare shader <result type> "name" ( <param decls> ) [version n] [apply a, b] end declare`, the
// "declare" keyword already read.
ShaderDecl parse_shader_declaration(TokenStream& in, const SourceLoc& loc);

} // namespace orn::scene
