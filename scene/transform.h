// Transform helpers of the in-memory host: quaternions, position/rotation/scale
// composition, and interpolation of node animation keys.
#pragma once

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

}  // namespace scene
