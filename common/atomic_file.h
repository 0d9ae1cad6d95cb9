#pragma once

#include <optional>
#include <string>

namespace orn {

// A file that appears at its final path all at once or not at all.
//
// The constructor creates an empty, uniquely named temporary file in the target's directory;
// the caller writes it through temp_path() and then calls commit(), which renames it over the
// target. If commit() is never reached or fails, the destructor removes the temporary file and
// whatever was at the target path stays as it was. commit() syncs the file before the rename
// and the directory after it, so that a crash or power loss leaves the old file or the new one.
// A path that is a symbolic link writes the link's target; missing directories on the way are
// created.
class AtomicFile {
  public:
    // `extension` (e.g. ".exr") ends the temporary name so that writers picking the format by
    // extension see the right one.
    AtomicFile(const std::string& path, const std::string& extension);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Empty when the temporary file exists; otherwise the reason it could not be created.
    const std::string& error() const { return error_; }
    const std::string& temp_path() const { return temp_; }
    const std::string& path() const { return path_; } // the target, links followed

    // Reason on failure, nullopt once the file is in place.
    std::optional<std::string> commit();

  private:
    std::string path_;
    std::string temp_;
    std::string error_;
    bool committed_ = false;
};

} // namespace orn
