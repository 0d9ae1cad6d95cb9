#include "core/messages.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace orn {
namespace {

std::mutex sink_mutex;
Messages::Sink sink;
std::atomic<int> level{2};
std::atomic<int> counts[6];
std::atomic<int> repeat_limit{5};

struct Repeat {
    Severity severity;
    long long count;
};
// Messages seen on standard error since the last flush, in the order they first came.
std::unordered_map<std::string, size_t> repeat_index;
std::vector<std::pair<std::string, Repeat>> repeats;
// Beyond this many distinct texts, further ones are printed without being tracked.
constexpr size_t kMaxTracked = 4096;

// 106503 -> "106,503"
std::string grouped(long long n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

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
    const int limit = repeat_limit;
    if (limit > 0 && severity != Severity::Fatal) {
        auto it = repeat_index.find(text);
        if (it != repeat_index.end()) {
            if (++repeats[it->second].second.count > limit) return;
        } else if (repeats.size() < kMaxTracked) {
            repeat_index.emplace(text, repeats.size());
            repeats.push_back({text, Repeat{severity, 1}});
        }
    }
    std::fprintf(stderr, "ornrender: %s: %s\n", label(severity), text.c_str());
}

void Messages::set_repeat_limit(int limit) {
    repeat_limit = limit;
}

void Messages::flush_repeats() {
    std::lock_guard<std::mutex> lock(sink_mutex);
    const int limit = repeat_limit;
    for (const auto& [text, r] : repeats)
        if (limit > 0 && r.count > limit)
            std::fprintf(stderr, "ornrender: %s repeated %s times: %s\n", label(r.severity),
                         grouped(r.count).c_str(), text.c_str());
    repeats.clear();
    repeat_index.clear();
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
