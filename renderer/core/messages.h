// The renderer's message channels. Shaders reach them through mi_info/mi_warning/...;
// the renderer itself uses the same functions so every message has one format.
#pragma once

#include <functional>
#include <string>

namespace orn {

enum class Severity { Fatal = 0, Error = 1, Warning = 2, Info = 3, Progress = 4, Debug = 5 };

class Messages {
  public:
    using Sink = std::function<void(Severity, const std::string&)>;

    // Messages above `level` are dropped: 0 silent, 1 errors, 2 warnings (default), 3 info,
    // 4 progress, 5 debug.
    static void set_verbosity(int level);
    static int verbosity();
    // Replaces standard error as the destination; an empty sink restores it.
    static void set_sink(Sink sink);
    static void emit(Severity severity, const std::string& text);
    static void emitf(Severity severity, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    static int count(Severity severity);
    static void reset_counts();
    // On standard error a message repeated word for word is printed `limit` times (0: no
    // limit); the rest are counted and summarised by flush_repeats(), once per frame.
    static void set_repeat_limit(int limit);
    static void flush_repeats();
};

} // namespace orn
