#include "common/atomic_file.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace orn {

namespace fs = std::filesystem;

namespace {

constexpr int max_attempts = 64;

std::string errno_message(int err) {
    return std::error_code(err, std::generic_category()).message();
}

// The file a write to `path` replaces: a symbolic link is followed to its target, so that the
// link stays a link and its target gets the new contents.
fs::path final_target(const fs::path& path) {
    fs::path target = path;
    std::error_code ec;
    for (int hops = 0; hops < 40 && fs::is_symlink(target, ec); ++hops) {
        const fs::path next = fs::read_symlink(target, ec);
        if (ec) break;
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    return target;
}

// Flushes what the kernel holds of `path` (a file, or a directory's entries) to the disk. A file
// system that cannot sync (EINVAL) is taken as it is.
std::optional<std::string> sync_path(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return errno_message(errno);
    const int err = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    if (err && err != EINVAL && err != EROFS) return errno_message(err);
    return std::nullopt;
}

bool all_digits(const std::string& s, std::size_t from, std::size_t to) {
    if (from >= to) return false;
    for (std::size_t i = from; i < to; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

// The temporary files ".NAME.tmp.PID.N<ext>" that writers of `name` in `dir` left behind when
// they were killed: those of processes that no longer exist go. A living process's file (another
// writer of the same target, right now) is left alone.
void remove_stale_temporaries(const fs::path& dir, const std::string& name) {
    const std::string prefix = "." + name + ".tmp.";
    std::error_code ec;
    for (fs::directory_iterator it(dir.empty() ? fs::path(".") : dir, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (entry.compare(0, prefix.size(), prefix) != 0) continue;
        const std::size_t pid_end = entry.find('.', prefix.size());
        if (pid_end == std::string::npos || !all_digits(entry, prefix.size(), pid_end) ||
            pid_end - prefix.size() > 9)
            continue;
        std::size_t n_end = entry.find('.', pid_end + 1);
        if (n_end == std::string::npos) n_end = entry.size();
        if (!all_digits(entry, pid_end + 1, n_end)) continue;
        const pid_t pid = pid_t(std::stol(entry.substr(prefix.size(), pid_end - prefix.size())));
        if (pid <= 0 || pid == ::getpid()) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue; // alive, or not ours to tell
        std::error_code ignored;
        if (it->is_regular_file(ignored) && !it->is_symlink(ignored)) fs::remove(it->path(), ignored);
    }
}

} // namespace

AtomicFile::AtomicFile(const std::string& path, const std::string& extension) {
    const fs::path target = final_target(path);
    path_ = target.string();
    const std::string name = target.filename().string();
    if (name.empty() || name == "." || name == "..") {
        error_ = "not a file name";
        return;
    }
    const fs::path dir = target.parent_path();
    std::error_code ec;
    if (!dir.empty() && !fs::is_directory(dir, ec)) {
        // Missing output directories are made, as a user expects of `-o out/shot`.
        fs::create_directories(dir, ec);
        if (ec) {
            error_ = "cannot create the directory " + dir.string() + ": " + ec.message();
            return;
        }
    }

    remove_stale_temporaries(dir, name);

    // Threads writing at the same moment start from different numbers; O_EXCL settles the rest.
    const std::size_t start = std::hash<std::thread::id>{}(std::this_thread::get_id()) % 1000000;
    for (int attempt = 0; attempt < max_attempts; ++attempt) {
        const std::string temp_name = "." + name + ".tmp." + std::to_string(::getpid()) + "." +
                                      std::to_string(start + static_cast<std::size_t>(attempt)) + extension;
        const std::string candidate = (dir / temp_name).string();
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            temp_ = candidate;
            return;
        }
        if (errno != EEXIST) {
            error_ = errno_message(errno);
            return;
        }
    }
    error_ = "no free temporary file name";
}

AtomicFile::~AtomicFile() {
    if (!temp_.empty() && !committed_) {
        std::error_code ignored;
        fs::remove(temp_, ignored);
    }
}

std::optional<std::string> AtomicFile::commit() {
    if (temp_.empty()) return error_;
    // The contents reach the disk before the name does, and the new name after the rename: a
    // crash or a power cut leaves the old file or the new one, never an empty one in its place.
    if (auto err = sync_path(temp_, O_RDONLY)) return "cannot flush the file to disk: " + *err;
    std::error_code ec;
    fs::rename(temp_, path_, ec);
    if (ec) return ec.message();
    committed_ = true;
    const fs::path dir = fs::path(path_).parent_path();
    if (auto err = sync_path(dir.empty() ? "." : dir.string(), O_RDONLY | O_DIRECTORY))
        return "the file is in place, but its directory could not be flushed to disk: " + *err;
    return std::nullopt;
}

} // namespace orn
