// Parameter blocks as the shaders see them: C records laid out in declaration order.
// Arrays occupy three fields (start index, count, first element); their elements are
// stored after the block and addressed as x[i_x + k].
#pragma once

#include "scene/ast.h"

#include <cstddef>
#include <string>
#include <vector>

namespace orn {

struct FieldLayout {
    std::string name;
    scene::ParamType type = scene::ParamType::Scalar;
    bool is_array = false;
    size_t offset = 0;                // of the value, or of the start index for arrays
    size_t size = 0;                  // of the value, or of one element for arrays
    size_t array_offset = 0;          // arrays: offset of the first element field x[1]
    std::vector<FieldLayout> members; // structs
};

struct BlockLayout {
    std::vector<FieldLayout> fields;
    size_t size = 0;
};

// Size of one value of a (non-array) declared type.
size_t value_size(const scene::ParamDecl& decl);
BlockLayout compute_layout(const std::vector<scene::ParamDecl>& params);
// Size of a shader's result.
size_t result_size(const scene::ParamDecl& result);

} // namespace orn
