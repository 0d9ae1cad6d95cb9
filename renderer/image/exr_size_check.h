// Sizes an OpenEXR header declares, checked against the file before any reader trusts them.
// A damaged or crafted header can declare attributes of gigabytes, a data window of billions of
// rows (whose chunk offsets a reader allocates up front) or more pixels than the file could hold
// compressed; the EXR library allocates what the header says before it finds out. Every reader of
// an EXR file this run did not write asks here first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orn::image {

// The most bytes of pixels a compressed file may expand to per byte of file: above what zlib
// reaches (about 1032) and what the other codecs of OpenEXR reach on flat images.
constexpr std::uint64_t kMaxExrExpansion = 4096;

// Why `path`'s header cannot be read within bounded memory, or nullopt when it can (and when the
// file is not OpenEXR at all: other readers judge those). Checks every attribute's size, the
// chunk offset tables the data windows imply, and with `pixels` also that the pixels every part
// declares fit what its compression can hold in the file (uncompressed: the file's size; else
// kMaxExrExpansion times it). Reads the header only.
std::optional<std::string> exr_size_problem(const std::string& path, bool pixels = true);

} // namespace orn::image
