// Smoothing groups rebuilt from what a source file carries: normals per face
// corner, or only positions (grouping by the angle between faces). The plug-in
// derives normals from smoothing groups; these words make it reproduce the
// source's hard and soft edges.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/geom.h"

namespace scene::smoothing {

// Position (cluster) index of each corner of a triangle.
using Tri = std::array<int, 3>;

struct Result {
  std::vector<uint32_t> words;  // smoothing-group word per face; bits 0-30 only
  int patches = 0;              // patches of two or more faces that smooth together
  int keptHard = 0;             // face pairs with equal normals that could not share a bit
  int flattened = 0;            // patches that found no free bit and went flat (word 0)
};

// Normals equal within this angle (degrees) count as one.
constexpr double kEqualNormalDeg = 0.1;

// Faces meeting at a position with equal corner normals there share a bit;
// faces whose normals differ there share none.
Result FromNormals(const std::vector<Tri>& faces, const std::vector<std::array<Point3, 3>>& normals,
                   int positionCount);

// Faces sharing an edge whose face normals meet at most at maxAngleDeg share a
// bit (an auto-smooth); faces meeting otherwise share none.
Result FromAngle(const std::vector<Tri>& faces, const std::vector<Point3>& positions, double maxAngleDeg);

// Joins points closer than tol (transitively); returns a cluster index per
// point, numbered in order of first appearance.
std::vector<int> ClusterPositions(const std::vector<Point3>& points, double tol, int* clusterCount);

}  // namespace scene::smoothing
