#include "db/param_layout.h"

namespace orn {

using scene::ParamType;

namespace {
// Every value type of the interface is made of 32-bit words, so fields need no padding.
constexpr size_t kAlign = 4;
size_t align_up(size_t v) {
    return (v + kAlign - 1) / kAlign * kAlign;
}
} // namespace

size_t value_size(const scene::ParamDecl& decl) {
    switch (decl.type) {
    case ParamType::Color:
        return 16;
    case ParamType::Vector:
        return 12;
    case ParamType::Transform:
        return 64;
    case ParamType::Struct:
        return compute_layout(decl.members).size;
    default:
        return 4;
    }
}

BlockLayout compute_layout(const std::vector<scene::ParamDecl>& params) {
    BlockLayout block;
    size_t at = 0;
    for (const auto& p : params) {
        FieldLayout f;
        f.name = p.name;
        f.type = p.type;
        f.is_array = p.is_array;
        if (p.type == ParamType::Struct) f.members = compute_layout(p.members).fields;
        f.size = value_size(p);
        at = align_up(at);
        f.offset = at;
        if (p.is_array) {
            f.array_offset = at + 8;
            at += 8 + f.size;
        } else {
            at += f.size;
        }
        block.fields.push_back(std::move(f));
    }
    block.size = align_up(at);
    return block;
}

size_t result_size(const scene::ParamDecl& result) {
    if (result.type == ParamType::Struct) return compute_layout(result.members).size;
    if (result.type == ParamType::Geometry) return 4;
    return value_size(result);
}

} // namespace orn
