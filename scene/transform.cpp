#include "scene/transform.h"

#include <cmath>

namespace scene {

Quat Normalized(const Quat& q) {
  double n = std::sqrt(double(q.x) * q.x + double(q.y) * q.y + double(q.z) * q.z + double(q.w) * q.w);
  if (n == 0.0) return Quat{};
  return Quat{float(q.x / n), float(q.y / n), float(q.z / n), float(q.w / n)};
}

Point3 Rotate(const Quat& q, const Point3& v) {
  // v' = v + 2w(u x v) + 2u x (u x v), u the vector part.
  double ux = q.x, uy = q.y, uz = q.z, w = q.w;
  double cx = uy * v.z - uz * v.y, cy = uz * v.x - ux * v.z, cz = ux * v.y - uy * v.x;
  double dx = uy * cz - uz * cy, dy = uz * cx - ux * cz, dz = ux * cy - uy * cx;
  return {float(v.x + 2 * (w * cx + dx)), float(v.y + 2 * (w * cy + dy)), float(v.z + 2 * (w * cz + dz))};
}

Quat Slerp(const Quat& a, const Quat& b0, double t) {
  Quat b = b0;
  double dot = double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z + double(a.w) * b.w;
  if (dot < 0) {
    b = Quat{-b.x, -b.y, -b.z, -b.w};
    dot = -dot;
  }
  double wa, wb;
  if (dot > 0.9995) {  // nearly parallel: linear is exact enough and avoids 0/0
    wa = 1 - t;
    wb = t;
  } else {
    double theta = std::acos(dot), s = std::sin(theta);
    wa = std::sin((1 - t) * theta) / s;
    wb = std::sin(t * theta) / s;
  }
  return Normalized(Quat{float(wa * a.x + wb * b.x), float(wa * a.y + wb * b.y), float(wa * a.z + wb * b.z),
                         float(wa * a.w + wb * b.w)});
}

Matrix3 Compose(const TRS& trs) {
  Quat q = Normalized(trs.rotation);
  return Matrix3(Rotate(q, {1, 0, 0}) * trs.scale.x, Rotate(q, {0, 1, 0}) * trs.scale.y,
                 Rotate(q, {0, 0, 1}) * trs.scale.z, trs.position);
}

TRS Decompose(const Matrix3& m) {
  TRS r;
  r.position = m.GetRow(3);
  r.scale = {Length(m.GetRow(0)), Length(m.GetRow(1)), Length(m.GetRow(2))};
  if (m.Parity()) r.scale.z = -r.scale.z;
  Point3 ax[3];
  for (int i = 0; i < 3; ++i) {
    float s = r.scale[i];
    ax[i] = s != 0.0f ? m.GetRow(i) / s : Point3(i == 0, i == 1, i == 2);
  }
  // Rows are the rotated axes: R[i][j] = ax[i][j]; standard matrix-to-quaternion on its transpose.
  double m00 = ax[0].x, m11 = ax[1].y, m22 = ax[2].z;
  double tr = m00 + m11 + m22;
  Quat q;
  if (tr > 0) {
    double s = std::sqrt(tr + 1.0) * 2;
    q = {float((ax[1].z - ax[2].y) / s), float((ax[2].x - ax[0].z) / s), float((ax[0].y - ax[1].x) / s),
         float(0.25 * s)};
  } else if (m00 > m11 && m00 > m22) {
    double s = std::sqrt(1.0 + m00 - m11 - m22) * 2;
    q = {float(0.25 * s), float((ax[1].x + ax[0].y) / s), float((ax[2].x + ax[0].z) / s),
         float((ax[1].z - ax[2].y) / s)};
  } else if (m11 > m22) {
    double s = std::sqrt(1.0 + m11 - m00 - m22) * 2;
    q = {float((ax[1].x + ax[0].y) / s), float(0.25 * s), float((ax[2].y + ax[1].z) / s),
         float((ax[2].x - ax[0].z) / s)};
  } else {
    double s = std::sqrt(1.0 + m22 - m00 - m11) * 2;
    q = {float((ax[2].x + ax[0].z) / s), float((ax[2].y + ax[1].z) / s), float(0.25 * s),
         float((ax[0].y - ax[1].x) / s)};
  }
  r.rotation = Normalized(q);
  return r;
}

TRS Interpolate(const TRS& a, const TRS& b, double t) {
  auto lerp = [t](const Point3& p, const Point3& q) {
    return Point3(float(p.x + (q.x - p.x) * t), float(p.y + (q.y - p.y) * t), float(p.z + (q.z - p.z) * t));
  };
  return TRS{lerp(a.position, b.position), Slerp(a.rotation, b.rotation, t), lerp(a.scale, b.scale)};
}

// ---- Matrices in double precision ------------------------------------------

Matrix3 Affine(const double r[4][3]) {
  return Matrix3(Point3(float(r[0][0]), float(r[0][1]), float(r[0][2])),
                 Point3(float(r[1][0]), float(r[1][1]), float(r[1][2])),
                 Point3(float(r[2][0]), float(r[2][1]), float(r[2][2])),
                 Point3(float(r[3][0]), float(r[3][1]), float(r[3][2])));
}

void Apply(const Matrix3& m, const double p[3], double out[3]) {
  for (int k = 0; k < 3; ++k) out[k] = p[0] * m[0][k] + p[1] * m[1][k] + p[2] * m[2][k] + m[3][k];
}

Matrix3 Inverse(const Matrix3& m) {
  double a[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a[i][j] = m[i][j];
  double c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1], c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2],
         c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
  double det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
  if (det == 0 || !std::isfinite(det)) return Matrix3();
  double inv[4][3];
  inv[0][0] = c00 / det;
  inv[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / det;
  inv[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det;
  inv[1][0] = c01 / det;
  inv[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det;
  inv[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / det;
  inv[2][0] = c02 / det;
  inv[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / det;
  inv[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det;
  for (int k = 0; k < 3; ++k) inv[3][k] = -(m[3][0] * inv[0][k] + m[3][1] * inv[1][k] + m[3][2] * inv[2][k]);
  return Affine(inv);
}

Matrix3 AxisConversion(char up, int sign) {
  const float s = sign < 0 ? -1.0f : 1.0f;
  switch (up) {
    case 'x':  // +x -> +z, z -> -x
      return Matrix3({0, 0, s}, {0, 1, 0}, {-s, 0, 0}, {0, 0, 0});
    case 'y':  // +y -> +z, +z -> -y (a quarter turn about x)
      return Matrix3({1, 0, 0}, {0, 0, s}, {0, -s, 0}, {0, 0, 0});
    default:
      if (sign < 0) return Matrix3({1, 0, 0}, {0, -1, 0}, {0, 0, -1}, {0, 0, 0});
      return Matrix3();
  }
}

Matrix3 UVTransform(float tu, float tv, float su, float sv, float rot) {
  // Assimp's meaning, as it bakes a transform into coordinates: translate,
  // rotate counter-clockwise about the map's centre (0.5, 0.5), then scale
  // about that centre: uv' = S R (uv + t - h) + h.
  const double c = std::cos(rot), s = std::sin(rot);
  const double x = tu - 0.5, y = tv - 0.5;
  const double r[4][3] = {{su * c, sv * s, 0},
                          {-su * s, sv * c, 0},
                          {0, 0, 1},
                          {su * (c * x - s * y) + 0.5, sv * (s * x + c * y) + 0.5, 0}};
  return Affine(r);
}

Matrix3 GltfTextureTransform(double ox, double oy, double rot, double sx, double sy) {
  const double c = std::cos(rot), s = std::sin(rot);
  // In glTF's space: u' = a u + b v + e, v' = d u + k v + f.
  const double a = c * sx, b = s * sy, e = ox, d = -s * sx, k = c * sy, f = oy;
  // Conjugated by the flip v -> 1 - v on either side.
  const double r[4][3] = {{a, -d, 0}, {-b, k, 0}, {0, 0, 1}, {b + e, 1 - k - f, 0}};
  return Affine(r);
}

std::array<double, 5> GltfTransformOfAssimp(float tu, float tv, float su, float sv, float rotation) {
  // Assimp stores the rotation negated and moves the offset so that its own
  // meaning (about the map's centre, v up) gives the same picture.
  const double rot = -double(rotation), c = std::cos(rot), s = std::sin(rot);
  const double ox = double(tu) - 0.5 * su * (-c + s + 1);
  const double oy = -(double(tv) - 0.5 * sv * (s + c - 1) - 1 + sv);
  return {ox, oy, rot, double(su), double(sv)};
}

}  // namespace scene
