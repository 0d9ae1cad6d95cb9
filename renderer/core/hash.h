// Deterministic hashing for sample patterns and seeds: the same inputs give the same
// numbers on every thread and run.
#pragma once

#include <cstdint>

namespace orn {

// A 64-bit finaliser with good avalanche.
inline uint64_t mix64(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

// Two values combined into one hash.
inline uint64_t hash64(uint64_t a, uint64_t b) {
    return mix64(a ^ (b + 0x9e3779b97f4a7c15ULL + (a << 6) + (a >> 2)));
}

// A float in [0, 1) from the high bits of a hash.
inline float unit_float(uint64_t h) {
    return float(h >> 40) * (1.f / 16777216.f);
}
// A double in [0, 1) from the high bits of a hash.
inline double unit_double(uint64_t h) {
    return double(h >> 11) * (1.0 / 9007199254740992.0);
}

} // namespace orn
