// The binding layer and result guard, built into this test exactly as into the module:
// the mi_ functions called here are the module's hidden forwarders, which reach the
// renderer only through the handle given to miSetModuleHandle.
#include "common/conventions.h"
#include "core/messages.h"
#include "core/renderer_directory.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>

namespace {

void* renderer_handle() {
    const std::string path = orn::renderer_path();
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(h, nullptr) << dlerror();
    return h;
}

struct Captured {
    std::vector<std::pair<orn::Severity, std::string>> messages;
    Captured() {
        orn::Messages::set_sink(
            [this](orn::Severity s, const std::string& t) { messages.emplace_back(s, t); });
    }
    ~Captured() { orn::Messages::set_sink({}); }
};

TEST(Binding, CallBeforeHandlePrintsBothMessagesAndRetries) {
    miSetModuleHandle(nullptr);
    testing::internal::CaptureStderr();
    void* p = mi_mem_allocate(16);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(p, nullptr);
    const std::string null_msg = "DYNLOAD: dl_handle null\n";
    ASSERT_EQ(err.rfind(null_msg, 0), 0u) << err;
    EXPECT_NE(err.find("dlsym failed on \"mi_mem_allocate\" (handle: 00000000"), std::string::npos) << err;
    EXPECT_LT(err.find(null_msg), err.find("dlsym failed")) << "null-handle message comes first";

    // A failed entry is looked up again on its next call: once a handle is set, it resolves.
    miSetModuleHandle(renderer_handle());
    testing::internal::CaptureStderr();
    p = mi_mem_allocate(16);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(err, "");
    mi_mem_release(p);
}

TEST(Binding, SecondHandleResolvesEveryFunctionAgain) {
    miSetModuleHandle(renderer_handle());
    void* p = mi_mem_allocate(8);
    ASSERT_NE(p, nullptr);
    mi_mem_release(p);

    // libm has none of the renderer functions: after the new handle the cached address
    // from the old one must not be reused.
    void* libm = dlopen("libm.so.6", RTLD_NOW);
    ASSERT_NE(libm, nullptr);
    miSetModuleHandle(libm);
    testing::internal::CaptureStderr();
    p = mi_mem_allocate(8);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(p, nullptr);
    EXPECT_NE(err.find("dlsym failed on \"mi_mem_allocate\""), std::string::npos) << err;
    EXPECT_EQ(err.find("DYNLOAD"), std::string::npos);
    miSetModuleHandle(renderer_handle());
    dlclose(libm);
}

TEST(Binding, MessagesAreFormattedIntoABoundedBuffer) {
    miSetModuleHandle(renderer_handle());
    Captured cap;
    mi_warning("%s: %d%%", "orn_test", 42);
    mi_nerror(7, "numbered %s", "text");
    const std::string longer(5000, 'x');
    mi_info("%s", longer.c_str());
    // A message with conversion characters in its arguments is passed on as text.
    mi_warning("%s", "100%s %d %n");
    ASSERT_EQ(cap.messages.size(), 4u);
    EXPECT_EQ(cap.messages[0].first, orn::Severity::Warning);
    EXPECT_EQ(cap.messages[0].second, "orn_test: 42%");
    EXPECT_EQ(cap.messages[1].first, orn::Severity::Error);
    EXPECT_EQ(cap.messages[1].second, "numbered text");
    EXPECT_EQ(cap.messages[2].second, std::string(ORN_MESSAGE_BUFFER - 1, 'x'));
    EXPECT_EQ(cap.messages[3].second, "100%s %d %n");
}

TEST(Conventions, GuardReplacesBadComponentsInOrderWithOneMessageEach) {
    miSetModuleHandle(renderer_handle());
    Captured cap;
    miColor c{0.25f, std::numeric_limits<float>::quiet_NaN(), 0.5f, std::numeric_limits<float>::infinity()};
    orn::guard_result("orn_MegaTK", &c);
    EXPECT_EQ(c.r, 0.25f);
    EXPECT_EQ(c.g, 0.f);
    EXPECT_EQ(c.b, 0.5f);
    EXPECT_EQ(c.a, 0.f);
    ASSERT_EQ(cap.messages.size(), 2u);
    EXPECT_EQ(cap.messages[0].second, "orn_MegaTK shader return NaN or infinite G value. Replaced with zero");
    EXPECT_EQ(cap.messages[1].second, "orn_MegaTK shader return NaN or infinite A value. Replaced with zero");

    cap.messages.clear();
    miColor good{1.f, -2.f, 3e38f, 0.f};
    orn::guard_result("orn_x", &good);
    EXPECT_TRUE(cap.messages.empty());
    miColor neg{-std::numeric_limits<float>::infinity(), 0, 0, 0};
    orn::guard_result("orn_x", &neg);
    EXPECT_EQ(neg.r, 0.f);
    ASSERT_EQ(cap.messages.size(), 1u);
    EXPECT_NE(cap.messages[0].second.find(" R value"), std::string::npos);
}

} // namespace
