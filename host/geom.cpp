#include "host/geom.h"

#include <cmath>

float Length(const Point3& p) {
  return std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
}

Point3 CrossProd(const Point3& a, const Point3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

float DotProd(const Point3& a, const Point3& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

Matrix3::Matrix3() : m{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}} {}

Matrix3::Matrix3(const Point3& r0, const Point3& r1, const Point3& r2, const Point3& r3)
    : m{r0, r1, r2, r3} {}

int Matrix3::Parity() const {
  // Sign of the triple product of the three axes.
  float det = DotProd(CrossProd(m[0], m[1]), m[2]);
  return det < 0.0f ? 1 : 0;
}

Point3 operator*(const Matrix3& m, const Point3& p) {
  // Summed left to right in single precision: x*row0 + y*row1 + z*row2 + row3.
  const Point3 &a = m[0], &b = m[1], &c = m[2], &t = m[3];
  return {p.x * a.x + p.y * b.x + p.z * c.x + t.x, p.x * a.y + p.y * b.y + p.z * c.y + t.y,
          p.x * a.z + p.y * b.z + p.z * c.z + t.z};
}

Point3 operator*(const Point3& p, const Matrix3& m) {
  return m * p;
}

Matrix3 Matrix3::operator*(const Matrix3& b) const {
  Matrix3 r;
  for (int i = 0; i < 3; ++i) {
    const Point3& a = m[i];
    r.m[i] = {a.x * b.m[0].x + a.y * b.m[1].x + a.z * b.m[2].x,
              a.x * b.m[0].y + a.y * b.m[1].y + a.z * b.m[2].y,
              a.x * b.m[0].z + a.y * b.m[1].z + a.z * b.m[2].z};
  }
  r.m[3] = b * m[3];
  return r;
}

bool Matrix3::operator==(const Matrix3& o) const {
  return m[0] == o.m[0] && m[1] == o.m[1] && m[2] == o.m[2] && m[3] == o.m[3];
}
