// Geometry types of the host SDK: single-precision points and 4x3 matrices.
// The float arithmetic is spelled out in geom.cpp: exported bytes depend on it.
#pragma once

#include "host/api.h"

struct HOST_API Point3 {
  float x = 0.0f, y = 0.0f, z = 0.0f;

  Point3() = default;
  Point3(float X, float Y, float Z) : x(X), y(Y), z(Z) {}

  float& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
  float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }

  Point3 operator+(const Point3& o) const { return {x + o.x, y + o.y, z + o.z}; }
  Point3 operator-(const Point3& o) const { return {x - o.x, y - o.y, z - o.z}; }
  Point3 operator-() const { return {-x, -y, -z}; }
  Point3 operator*(float s) const { return {x * s, y * s, z * s}; }
  Point3 operator/(float s) const { return {x / s, y / s, z / s}; }
  Point3& operator+=(const Point3& o) {
    x += o.x;
    y += o.y;
    z += o.z;
    return *this;
  }
  bool operator==(const Point3& o) const { return x == o.x && y == o.y && z == o.z; }
};

HOST_API float Length(const Point3& p);
HOST_API Point3 CrossProd(const Point3& a, const Point3& b);
HOST_API float DotProd(const Point3& a, const Point3& b);

// Four rows: the x, y and z axes, then the translation. A point maps to
// p.x*row0 + p.y*row1 + p.z*row2 + row3.
class HOST_API Matrix3 {
 public:
  Matrix3();  // identity
  explicit Matrix3(const Point3& r0, const Point3& r1, const Point3& r2, const Point3& r3);

  static Matrix3 Identity() { return Matrix3(); }

  Point3 GetRow(int i) const { return m[i]; }
  void SetRow(int i, const Point3& p) { m[i] = p; }
  Point3 GetTrans() const { return m[3]; }
  void SetTrans(const Point3& p) { m[3] = p; }
  const Point3& operator[](int i) const { return m[i]; }
  Point3& operator[](int i) { return m[i]; }

  // Nonzero when the axes are left-handed (negative determinant): the transform mirrors.
  int Parity() const;

  // Composition: (A * B) maps p to B(A(p)), as the host composes local with parent.
  Matrix3 operator*(const Matrix3& b) const;
  bool operator==(const Matrix3& o) const;

 private:
  Point3 m[4];
};

HOST_API Point3 operator*(const Matrix3& m, const Point3& p);
// Row vector times matrix, the same product.
HOST_API Point3 operator*(const Point3& p, const Matrix3& m);
