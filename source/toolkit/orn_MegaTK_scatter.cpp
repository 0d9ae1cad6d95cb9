// orn_MegaTK's own random scatter choice, shared by photon rays and the one-branch rule.
#include "source/toolkit/orn_MegaTK_call.h"

namespace orn::megatk {

namespace {

float strength(const miColor* c) {
    return c ? average(*c) : 0.f;
}

} // namespace

ScatterType choose_scatter(miState* state, float* transparency, miColor* diffuse, miColor* reflect,
                           miColor* transmit) {
    const double a = strength(diffuse), b = strength(reflect), c = strength(transmit);
    const double d = transparency ? *transparency : 0.f;
    const double e = d + a + b + c;
    if (!(e > double(kNegligible))) return kAbsorb;

    double f = 0.0;
    mi_sample(&f, nullptr, state, 1, nullptr);
    const double pd = a / e, pt = d / e, pr = b / e;
    const float weight = float(e);
    // Transmission takes the numbers between the other three and e, not 1: when the
    // strengths sum to less than one, the rest is absorbed.
    if (f <= pd && pd != 0.0) {
        diffuse->r = diffuse->g = diffuse->b = weight;
        return kDiffuseReflection;
    }
    if (f <= pd + pt && pt != 0.0) {
        *transparency = weight < 1.f ? weight : 1.f;
        return kTransparency;
    }
    if (f <= pd + pt + pr && pr != 0.0) {
        reflect->r = reflect->g = reflect->b = weight;
        return kSpecularReflection;
    }
    if (f <= e && c != 0.0) {
        transmit->r = transmit->g = transmit->b = weight;
        return kSpecularTransmission;
    }
    return kAbsorb;
}

} // namespace orn::megatk
