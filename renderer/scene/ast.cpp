#include "scene/ast.h"

namespace orn::scene {

std::string Diagnostic::str() const {
    std::string out = loc.file.empty() ? std::string("<input>") : loc.file;
    if (loc.line > 0) {
        out += ':' + std::to_string(loc.line);
        if (loc.col > 0) out += ':' + std::to_string(loc.col);
    }
    return out + ": error: " + message;
}

std::string to_string(ParamType type) {
    switch (type) {
    case ParamType::Boolean:
        return "boolean";
    case ParamType::Integer:
        return "integer";
    case ParamType::Scalar:
        return "scalar";
    case ParamType::String:
        return "string";
    case ParamType::Color:
        return "color";
    case ParamType::Vector:
        return "vector";
    case ParamType::Transform:
        return "transform";
    case ParamType::Shader:
        return "shader";
    case ParamType::ColorTexture:
        return "color texture";
    case ParamType::ScalarTexture:
        return "scalar texture";
    case ParamType::VectorTexture:
        return "vector texture";
    case ParamType::Light:
        return "light";
    case ParamType::Material:
        return "material";
    case ParamType::Geometry:
        return "geometry";
    case ParamType::Data:
        return "data";
    case ParamType::Struct:
        return "struct";
    }
    return "unknown";
}

} // namespace orn::scene
