// Transform helpers of the in-memory host: quaternions, position/rotation/scale
// composition, and interpolation of node animation keys.
#pragma once

#include <array>

#include "host/geom.h"

namespace scene {

struct Quat {
  float x = 0.0f, y = 0.0f, z = 0.0f, w = 1.0f;
};

// Rotates a vector by a unit quaternion.
Point3 Rotate(const Quat& q, const Point3& v);
Quat Normalized(const Quat& q);
// Spherical interpolation along the shorter arc.
Quat Slerp(const Quat& a, const Quat& b, double t);

struct TRS {
  Point3 position{0, 0, 0};
  Quat rotation;
  Point3 scale{1, 1, 1};
};

// Scale, then rotation, then translation; rows are the transformed axes.
Matrix3 Compose(const TRS& trs);
// The inverse of Compose for matrices without shear. A mirroring matrix gets a
// negative z scale.
TRS Decompose(const Matrix3& m);
// Linear position and scale, spherical rotation.
TRS Interpolate(const TRS& a, const TRS& b, double t);

// ---- Matrices in double precision, for the importer's mappings.

// A host matrix from four rows of doubles (each rounded to float once).
Matrix3 Affine(const double rows[4][3]);
// p mapped by m, in double precision.
void Apply(const Matrix3& m, const double p[3], double out[3]);
// The inverse of an affine matrix; the identity when it has none.
Matrix3 Inverse(const Matrix3& m);

// Turns a scene whose up axis is `up` ('x', 'y' or 'z', `sign` its direction)
// into the host's Z-up frame, right-handed throughout.
Matrix3 AxisConversion(char up, int sign);

// A texture-coordinate transform as Assimp bakes one, as the host's UV matrix.
Matrix3 UVTransform(float tu, float tv, float su, float sv, float rotation);
// glTF's KHR_texture_transform as the extension defines it, uv' = T(offset)
// R(rotation) S(scale) uv in glTF's texture space (v down), as the host's UV
// matrix (v up: the importer hands glTF coordinates over with v flipped).
Matrix3 GltfTextureTransform(double ox, double oy, double rotation, double sx, double sy);
// The extension's values back from the UV transform Assimp's glTF importer
// makes of them: {offset x, offset y, rotation, scale x, scale y}.
std::array<double, 5> GltfTransformOfAssimp(float tu, float tv, float su, float sv, float rotation);

}  // namespace scene
