// Joining the part files of split frames into the files the whole frames write.
#pragma once

#include "render/session.h"

#include <string>
#include <vector>

namespace orn {

// Collects the part files in `inputs` (directories, whose *.exr files are read except hidden
// ones, or files), groups them by frame and render statement, and checks every group before
// writing anything: the parts come from one scene (same files, unchanged since), one resolution
// and frame-buffer set, one split into N, hold each part number once and cover every row
// exactly once. Per frame, the scene is read from `scenes` (the merge's own command line, a run
// of '#' standing for the frame number), never from a path a part names: a part naming other
// scene files is refused. The scene must read exactly the files the parts record, with the
// contents they record; the film is rebuilt from the parts and the camera's outputs run once on
// it (file outputs, output shaders, buffer files), under options.render.output_dir. With several
// frames or render statements, every one is checked this way (outputs' paths and the parts'
// pixels included) before the first writes a file. False, with messages, on the first problem.
bool merge_parts(const std::vector<std::string>& scenes, const std::vector<std::string>& inputs,
                 const SessionOptions& options);

} // namespace orn
