// Test support: an ID-matte decoder written from the open standard's text alone, so that the
// encoder's files are checked by something that does not share its code.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace orn::test {

// 32-bit MurmurHash3 (x86), seed 0, and the ID a name becomes (exponent kept in [1, 254]).
std::uint32_t reference_murmur3(const std::string& bytes);
std::uint32_t reference_matte_id(const std::string& name);

struct DecodedMatte {
    std::string type_name;
    std::map<std::string, std::string> manifest; // name -> 8 hex digits, as the header holds it
    int width = 0, height = 0;
    int ranks = 0;
    // Per pixel (row 0 at the top), every rank's ID bits and coverage, rank 0 first.
    std::vector<std::vector<std::pair<std::uint32_t, float>>> pixels;
    // The coverage of a name in pixel i (0 when absent).
    float coverage(const std::string& name, std::size_t i) const;
};

// The mattes of an EXR file: every "cryptomatte/<key>/name" in its header with the layers
// "<name>00", "<name>01", ...; `error` says what is missing or malformed.
std::vector<DecodedMatte> decode_mattes(const std::string& exr_path, std::string& error);

} // namespace orn::test
