// The binding layer: the module never links against the renderer. Every renderer
// function is reached through a table of names whose addresses are looked up with
// dlsym in the module handle the renderer hands over with miSetModuleHandle.
#include "host/binding.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <type_traits>

namespace {

enum Entry : int {
#define ORN_FN(ret, name, params, args) e_##name,
#include "host/functions.def"
#undef ORN_FN
    e_mi_fatal,
    e_mi_nfatal,
    e_mi_error,
    e_mi_nerror,
    e_mi_warning,
    e_mi_nwarning,
    e_mi_info,
    e_mi_progress,
    e_mi_debug,
    e_mi_vdebug,
    e_count
};

const char* const entry_names[e_count] = {
#define ORN_FN(ret, name, params, args) #name,
#include "host/functions.def"
#undef ORN_FN
    "mi_fatal",    "mi_nfatal", "mi_error",    "mi_nerror", "mi_warning",
    "mi_nwarning", "mi_info",   "mi_progress", "mi_debug",  "mi_vdebug",
};

// Render threads resolve concurrently without a lock: resolution is idempotent and
// each slot is one word, so racing threads store the same address.
std::atomic<void*> module_handle{nullptr};
std::atomic<void*> cache[e_count];

void* resolve_slow(Entry e) {
    void* fn = nullptr;
    void* handle = module_handle.load(std::memory_order_acquire);
    if (!handle) std::fputs("DYNLOAD: dl_handle null\n", stderr);
    // A null handle would mean "search everything" to dlsym; the module must only ever
    // reach the renderer it was given, so a missing handle is a failed lookup.
    const char* error = "no module handle";
    if (handle) {
        dlerror();
        fn = dlsym(handle, entry_names[e]);
        if (!fn) {
            const char* why = dlerror();
            error = why ? why : "symbol is null";
        }
    }
    cache[e].store(fn, std::memory_order_release);
    if (!fn)
        std::fprintf(stderr, "dlsym failed on \"%s\" (handle: %08lx error: %s)\n", entry_names[e],
                     static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(handle)), error);
    return fn;
}

// After the first call a forwarder costs one load and one indirect call.
inline void* resolve(Entry e) {
    void* fn = cache[e].load(std::memory_order_acquire);
    return fn ? fn : resolve_slow(e);
}

template <typename T> T typed(Entry e) {
    return reinterpret_cast<T>(resolve(e));
}

template <typename T> T fallback() {
    if constexpr (!std::is_void_v<T>) return T{};
}

} // namespace

extern "C" {

ORN_EXPORT void miSetModuleHandle(void* handle) {
    module_handle.store(handle, std::memory_order_release);
    for (auto& slot : cache)
        slot.store(nullptr, std::memory_order_release);
}

// When the function cannot be reached the forwarder answers with a value-initialised
// result (null, 0, false); no caller relies on a result in that case.
#define ORN_FN(ret, name, params, args)                                                                      \
    ORN_HIDDEN ret name params {                                                                             \
        using fn_type = ret(*) params;                                                                       \
        auto fn = typed<fn_type>(e_##name);                                                                  \
        if (!fn) return fallback<ret>();                                                                     \
        return fn args;                                                                                      \
    }
#include "host/functions.def"
#undef ORN_FN

// Message functions: the text is formatted here, into a bounded buffer, and handed to
// the renderer as a finished string.
#define ORN_MESSAGE(name)                                                                                    \
    ORN_HIDDEN void name(const char* fmt, ...) {                                                             \
        char text[ORN_MESSAGE_BUFFER];                                                                       \
        va_list ap;                                                                                          \
        va_start(ap, fmt);                                                                                   \
        std::vsnprintf(text, sizeof text, fmt, ap);                                                          \
        va_end(ap);                                                                                          \
        if (auto fn = typed<void (*)(const char*, ...)>(e_##name)) fn("%s", text);                           \
    }
#define ORN_NUMBERED_MESSAGE(name)                                                                           \
    ORN_HIDDEN void name(int number, const char* fmt, ...) {                                                 \
        char text[ORN_MESSAGE_BUFFER];                                                                       \
        va_list ap;                                                                                          \
        va_start(ap, fmt);                                                                                   \
        std::vsnprintf(text, sizeof text, fmt, ap);                                                          \
        va_end(ap);                                                                                          \
        if (auto fn = typed<void (*)(int, const char*, ...)>(e_##name)) fn(number, "%s", text);              \
    }

ORN_MESSAGE(mi_fatal)
ORN_NUMBERED_MESSAGE(mi_nfatal)
ORN_MESSAGE(mi_error)
ORN_NUMBERED_MESSAGE(mi_nerror)
ORN_MESSAGE(mi_warning)
ORN_NUMBERED_MESSAGE(mi_nwarning)
ORN_MESSAGE(mi_info)
ORN_MESSAGE(mi_progress)
ORN_MESSAGE(mi_debug)
ORN_MESSAGE(mi_vdebug)

} // extern "C"
