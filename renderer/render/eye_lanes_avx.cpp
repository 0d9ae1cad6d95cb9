// Compiled for AVX and called only where the processor has it: nothing else belongs here, or
// AVX code could end up used on processors without it.
#include "render/eye_lanes.h"

#include <immintrin.h>

namespace orn {

namespace {

struct Avx {
    using V = __m256;
    static constexpr int width = 8;
    static V set(float v) { return _mm256_set1_ps(v); }
    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
    static V sqrt(V a) { return _mm256_sqrt_ps(a); }
    static V gt(V a, V b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    static V abs(V a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.f), a); }
    static V pick(V m, V a, V b) { return _mm256_blendv_ps(b, a, m); }
};

} // namespace

void eye_lanes_avx(const EyeConstants& e, const float* rx, const float* ry, GeometryScene::Packet& p,
                   float* cx, float* cy, float* cz) {
    eye_lanes<Avx>(e, rx, ry, p, cx, cy, cz);
}

} // namespace orn
