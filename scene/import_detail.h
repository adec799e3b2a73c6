// Pieces of the importer's mapping that tests check on their own.
#pragma once

#include <assimp/matrix4x4.h>

#include <vector>

#include "host/geom.h"

namespace scene::import_detail {

// An Assimp node matrix (column vectors) as a host matrix (rows are the axes).
Matrix3 ToHost(const aiMatrix4x4& m);

// Turns a scene whose up axis is `up` ('x', 'y' or 'z', `sign` its direction)
// into the host's Z-up frame, right-handed throughout.
Matrix3 AxisConversion(char up, int sign);

// Assimp's texture-coordinate transform as the host's UV matrix.
Matrix3 UVTransform(float tu, float tv, float su, float sv, float rotation);

// The weights a skin modifier reports for one vertex: at most maxInfluences
// non-zero ones (0 = all), optionally scaled to sum 1.
std::vector<float> LimitWeights(std::vector<float> row, int maxInfluences, bool normalize);

}  // namespace scene::import_detail
