// Built only under ThreadSanitizer: a filter callback of ours, called by Embree on two threads,
// with a deliberate data race. The suppressions keep the races inside third-party libraries
// out of the reports; a race in our own code, even with Embree below it on the stack, must
// still be reported, and the test that runs this program checks that it is.
#include <embree3/rtcore.h>

#include <cstdio>
#include <thread>

namespace {

long calls = 0; // deliberately not atomic

void count_hits(const RTCFilterFunctionNArguments* args) {
    calls += args->N;
}

void trace(RTCScene scene) {
    RTCIntersectContext ctx;
    rtcInitIntersectContext(&ctx);
    for (int i = 0; i < 2000; ++i) {
        RTCRayHit rh{};
        rh.ray.org_x = 0.25f;
        rh.ray.org_y = 0.25f;
        rh.ray.org_z = 1.f;
        rh.ray.dir_z = -1.f;
        rh.ray.tfar = 10.f;
        rh.ray.mask = 0xffffffffu;
        rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        rtcIntersect1(scene, &ctx, &rh);
    }
}

} // namespace

int main() {
    RTCDevice device = rtcNewDevice(nullptr);
    RTCScene scene = rtcNewScene(device);
    RTCGeometry tri = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    auto* v = static_cast<float*>(
        rtcSetNewGeometryBuffer(tri, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), 4));
    const float corners[12] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0};
    for (int i = 0; i < 12; ++i)
        v[i] = corners[i];
    auto* idx = static_cast<unsigned*>(
        rtcSetNewGeometryBuffer(tri, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 3 * sizeof(unsigned), 1));
    idx[0] = 0, idx[1] = 1, idx[2] = 2;
    rtcSetGeometryIntersectFilterFunction(tri, count_hits);
    rtcCommitGeometry(tri);
    rtcAttachGeometry(scene, tri);
    rtcReleaseGeometry(tri);
    rtcCommitScene(scene);
    std::thread other(trace, scene);
    trace(scene);
    other.join();
    std::printf("%ld filter calls\n", calls);
    rtcReleaseScene(scene);
    rtcReleaseDevice(device);
    return 0;
}
