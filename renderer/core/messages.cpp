#include "core/messages.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace orn {
namespace {

std::mutex sink_mutex;
Messages::Sink sink;
std::atomic<int> level{2};
std::atomic<int> counts[6];

const char* label(Severity s) {
    switch (s) {
    case Severity::Fatal:
        return "fatal";
    case Severity::Error:
        return "error";
    case Severity::Warning:
        return "warning";
    case Severity::Info:
        return "info";
    case Severity::Progress:
        return "progress";
    case Severity::Debug:
        return "debug";
    }
    return "";
}

} // namespace

void Messages::set_verbosity(int l) {
    level = l;
}
int Messages::verbosity() {
    return level;
}

void Messages::set_sink(Sink s) {
    std::lock_guard<std::mutex> lock(sink_mutex);
    sink = std::move(s);
}

void Messages::emit(Severity severity, const std::string& text) {
    counts[int(severity)]++;
    std::lock_guard<std::mutex> lock(sink_mutex);
    if (sink) {
        sink(severity, text);
        return;
    }
    if (int(severity) > level) return;
    std::fprintf(stderr, "ornrender: %s: %s\n", label(severity), text.c_str());
}

void Messages::emitf(Severity severity, const char* fmt, ...) {
    char text[4096];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    emit(severity, text);
}

int Messages::count(Severity severity) {
    return counts[int(severity)];
}
void Messages::reset_counts() {
    for (auto& c : counts)
        c = 0;
}

} // namespace orn
