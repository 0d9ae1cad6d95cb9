// Message channels and memory for shaders.
#include "api/api_common.h"
#include "core/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using orn::Messages;
using orn::Severity;

namespace {
void vemit(Severity s, const char* fmt, va_list ap) {
    char text[4096];
    std::vsnprintf(text, sizeof text, fmt, ap);
    Messages::emit(s, text);
}
} // namespace

#define ORN_MESSAGE_FN(name, severity)                                                                       \
    ORN_API void name(const char* fmt, ...) {                                                                \
        va_list ap;                                                                                          \
        va_start(ap, fmt);                                                                                   \
        vemit(severity, fmt, ap);                                                                            \
        va_end(ap);                                                                                          \
    }
#define ORN_NMESSAGE_FN(name, severity)                                                                      \
    ORN_API void name(int, const char* fmt, ...) {                                                           \
        va_list ap;                                                                                          \
        va_start(ap, fmt);                                                                                   \
        vemit(severity, fmt, ap);                                                                            \
        va_end(ap);                                                                                          \
    }

ORN_MESSAGE_FN(mi_fatal, Severity::Fatal)
ORN_NMESSAGE_FN(mi_nfatal, Severity::Fatal)
ORN_MESSAGE_FN(mi_error, Severity::Error)
ORN_NMESSAGE_FN(mi_nerror, Severity::Error)
ORN_MESSAGE_FN(mi_warning, Severity::Warning)
ORN_NMESSAGE_FN(mi_nwarning, Severity::Warning)
ORN_MESSAGE_FN(mi_info, Severity::Info)
ORN_MESSAGE_FN(mi_progress, Severity::Progress)
ORN_MESSAGE_FN(mi_debug, Severity::Debug)
ORN_MESSAGE_FN(mi_vdebug, Severity::Debug)

// Shader memory is zeroed, as shaders rely on fresh records being empty.
ORN_API void* mi_mem_allocate(int size) {
    void* p = std::calloc(1, size > 0 ? size_t(size) : 1);
    if (!p) {
        Messages::emitf(Severity::Fatal, "out of memory allocating %d bytes", size);
        std::abort();
    }
    return p;
}

ORN_API void* mi_mem_test_allocate(int size) {
    return std::calloc(1, size > 0 ? size_t(size) : 1);
}

ORN_API void mi_mem_release(void* mem) {
    std::free(mem);
}

ORN_API char* mi_mem_strdup(const char* text) {
    if (!text) return nullptr;
    const size_t n = std::strlen(text) + 1;
    auto* p = static_cast<char*>(mi_mem_allocate(int(n)));
    std::memcpy(p, text, n);
    return p;
}

ORN_API miBoolean mi_par_aborted(void) {
    return orn::Frame::aborted().load() ? miTRUE : miFALSE;
}
