// Generated test meshes for benchmarks: a torus with UV seams, several
// materials, smoothing-group bands, and a few degenerate and duplicate faces.
#pragma once

#include "scene/scene.h"

namespace bench {

// Builds a node "Torus" holding a mesh of about `triangles` faces on a multi
// material with `materials` standard sub-materials (each with a bitmap).
scene::Node& MakeTorus(scene::Scene& s, int triangles, int materials = 4);

}  // namespace bench
