// The open ID-matte encoding that compositing tools decode: names hashed to float IDs, layers of
// (ID, coverage) rank pairs, and the header attributes that describe them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace orn::film {

// 32-bit MurmurHash3 (x86 variant) of the bytes.
std::uint32_t murmur3_32(const void* data, std::size_t size, std::uint32_t seed = 0);

// The bits of the float ID of a name: its hash with the exponent field kept within [1, 254], so
// that no ID reads as a denormal, an infinity or a NaN (and none as 0, the ID of no object).
std::uint32_t matte_id(const std::string& name);

// "%08x" of the ID's bits, as the manifest writes it.
std::string matte_id_hex(std::uint32_t id);

// The manifest, a JSON object from name to hex ID; names are written as UTF-8 JSON strings,
// with any byte that is not valid UTF-8 as U+FFFD (the ID stays the hash of the original bytes).
// Names that would then be written alike keep an entry each: a name with such bytes whose text
// another name shares is written with its ID after it ("a\ufffd (id 1a2b3c4d)") and added to
// `renamed`, when given, as written.
std::string matte_manifest(const std::vector<std::string>& names,
                           std::vector<std::string>* renamed = nullptr);

// The header attributes of one matte type: its name, hash, conversion and manifest, under a
// key of 7 hex digits made from the type name.
std::vector<std::pair<std::string, std::string>> matte_attributes(const std::string& type_name,
                                                                  const std::string& manifest);

// The layers of a matte of `depth` ranks: "<type>00", "<type>01", ..., two ranks each.
std::vector<std::string> matte_layer_names(const std::string& type_name, int depth);

} // namespace orn::film
