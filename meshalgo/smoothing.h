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

// A join is a pair of faces that meet at a position with equal normals there.
struct Result {
  std::vector<uint32_t> words;  // smoothing-group word per face; bits 0-30 only
  int patches = 0;              // patches of two or more faces that smooth together, a bit each
  int bridges = 0;              // further groups, a bit each, that join faces of different patches
  int keptHard = 0;             // corners whose class could not join one patch (before the groups)
  int flattened = 0;            // patches or groups that found no free bit
  long floor = 0;               // joins of faces that meet with different normals at another position:
                                // no words can express them, they stay hard
  long lackOfBits = 0;          // other joins that stay hard: the 31 groups did not suffice
  bool crowded = false;         // so many faces meet in one class at a position that the joins
                                // were not weighed: one bit per patch, keptHard tells what is lost
};

// Normals equal within this angle (degrees) count as one.
constexpr double kEqualNormalDeg = 0.1;

// Faces meeting at a position with equal corner normals there share a bit;
// faces whose normals differ there share none. One bit per patch where that
// loses no join (the result then does not depend on the groups); otherwise
// groups and a stronger colouring, so that only the floor and, on meshes that
// need more than 31 groups around a place, a lack of bits leave joins hard.
// Its stages that split over up to `threads` threads give the same words on any number.
Result FromNormals(const std::vector<Tri>& faces, const std::vector<std::array<Point3, 3>>& normals,
                   int positionCount, int threads = 1);
// The same, freeing the normals as soon as they are read: they are a large
// share of an import's memory, and the rest of the work does not need them.
Result FromNormals(const std::vector<Tri>& faces, std::vector<std::array<Point3, 3>>&& normals,
                   int positionCount, int threads = 1);

// Faces sharing an edge whose face normals meet at most at maxAngleDeg share a
// bit (an auto-smooth); faces meeting otherwise share none.
Result FromAngle(const std::vector<Tri>& faces, const std::vector<Point3>& positions, double maxAngleDeg,
                 int threads = 1);

// Joins points closer than tol (transitively); returns a cluster index per
// point, numbered in order of first appearance. The comparisons split over
// up to `threads` threads; the result is the same for any number.
std::vector<int> ClusterPositions(const std::vector<Point3>& points, double tol, int* clusterCount,
                                  int threads = 1);

}  // namespace scene::smoothing
