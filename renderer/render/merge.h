// Joining the part files of split frames into the files the whole frames write.
#pragma once

#include "render/session.h"

#include <string>
#include <vector>

namespace orn {

// Collects the part files in `inputs` (directories, whose *.exr files are read, or files),
// groups them by frame and render statement, and checks every group before writing anything:
// the parts come from one scene (same files, unchanged since), one resolution and frame-buffer
// set, one split into N, hold each part number once and cover every row exactly once. Then, per
// frame, the scene is read again with the frame number the tile runs used, the film is rebuilt
// from the parts and the camera's outputs run once on it (file outputs, output shaders, buffer
// files), under options.render.output_dir. False, with messages, on the first problem.
bool merge_parts(const std::vector<std::string>& inputs, const SessionOptions& options);

} // namespace orn
