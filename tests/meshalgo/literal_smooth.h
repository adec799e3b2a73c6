// The smoothing reconstruction as it was first written: the reference for the
// flat version in meshalgo/smoothing.cpp.
#pragma once

#include "meshalgo/smoothing.h"

namespace literal_smoothing {

scene::smoothing::Result FromNormals(const std::vector<scene::smoothing::Tri>& faces,
                                     const std::vector<std::array<Point3, 3>>& normals, int positionCount);
scene::smoothing::Result FromAngle(const std::vector<scene::smoothing::Tri>& faces,
                                   const std::vector<Point3>& positions, double maxAngleDeg);
std::vector<int> ClusterPositions(const std::vector<Point3>& points, double tol, int* clusterCount);

}  // namespace literal_smoothing
