#include "tests/thm/samples.h"

namespace thmtest {

namespace {

Bytes& Identity(Bytes& b, float tx, float ty, float tz) {
  return b.vec3(1, 0, 0).vec3(0, 1, 0).vec3(0, 0, 1).vec3(tx, ty, tz);
}

Bytes& Vertex(Bytes& b, std::int32_t sv, float u, float v, float nx, float ny, float nz) {
  return b.i32(sv).f32(u).f32(v).vec3(nx, ny, nz);
}

}  // namespace

Bytes OmniLight() {
  Bytes b;
  b.raw({8, 1}).str("Omni01").mark("parent").u8(1);
  b.mark("position").vec3(1.5f, -2, 3.25f);
  b.u32(0x551184E7).u32(0x551184E7);  // 1e13: no far attenuation
  b.vec3(1, 0.5f, 0.25f).f32(1.5f).i32(1);
  return b;
}

Bytes SpotLight() {
  Bytes b;
  b.raw({8, 2}).str("Spot01").str("Rig");
  b.vec3(0, 10, 0).f32(20).f32(40);
  b.vec3(0, 0, 1).f32(2).i32(0);
  b.mark("hotspot").f32(43).f32(45).vec3(0, 0, -2).f32(100);
  return b;
}

Bytes TwoMaterialMesh() {
  Bytes b;
  b.raw({8, 0}).mark("positions").i32(4);
  b.vec3(0, 0, 0).vec3(1, 0, 0).vec3(1, 1, 0).vec3(0, 1, 0);
  b.u8(0);  // no skin
  b.mark("materials").i32(2);

  b.mark("mat0").u8(0);  // short header
  b.mark("mat0.verts").i32(3);
  Vertex(b, 0, 0, 0, 0, 0, 1);
  Vertex(b, 1, 1, 0, 0, 0, 1);
  Vertex(b, 2, 1, 1, 0, 0, 1);
  b.mark("mat0.tris").i32(1);
  b.mark("mat0.t0").u32(0x80000000).u32(1).mark("mat0.t0.c2").u32(0x80000002).vec3(0, 0, 1);

  b.mark("mat1").str("wood.png").str("Oak_vr").str("env.tga").f32(0.5f).u8(1);
  b.mark("mat1.flags").u8(0x0D).f32(0.75f);
  b.mark("mat1.verts").i32(3);
  Vertex(b, 0, 0, 0, 0, 0, 1);
  b.mark("mat1.v1");
  Vertex(b, 2, 1, 1, 0, 0, 1);
  Vertex(b, 3, 0, 1, 0, 0, 1);
  b.mark("mat1.tris").i32(1);
  b.mark("mat1.t0").u32(0).u32(1).u32(0x80000002).mark("mat1.t0.normal").vec3(0, 0, 1);

  b.mark("name").str("Box01").str("Dummy01");
  return b;
}

Bytes SkinnedMesh() {
  Bytes b;
  b.raw({8, 0}).i32(3).vec3(0, 0, 0).vec3(0, 1, 0).vec3(1, 0, 0);
  b.u8(1);
  b.mark("skin").i32(2);
  b.mark("bone0").str("Root");
  Identity(b, 0, 0, 0).u32(0x11).u32(0x22).u32(0x33);
  b.i32(-1).i32(-1).mark("bone0.child").i32(1);
  b.mark("bone1").str("Arm");
  b.vec3(0, 1, 0).vec3(-1, 0, 0).vec3(0, 0, 1).vec3(0, 2, 0).u32(0xDEADBEEF).u32(0).u32(0xFFFFFFFF);
  b.mark("bone1.sibling").i32(-1).mark("bone1.parent").i32(0).i32(-1);

  b.mark("frames").i32(2).f32(30);
  Identity(b, 0, 0, 0).u32(1).u32(2).u32(3);
  b.vec3(0, 1, 0).vec3(-1, 0, 0).vec3(0, 0, 1).vec3(0, 2, 0).u32(4).u32(5).u32(6);
  Identity(b, 0, 0, 1).u32(7).u32(8).u32(9);
  b.vec3(0, 1, 0).vec3(-1, 0, 0).vec3(0, 0, 1).vec3(0, 2, 1).u32(10).u32(11).u32(12);

  b.mark("refs").i32(1).f32(0.25f).i32(0).f32(0.75f).i32(-1);
  b.i32(0).f32(1).i32(-1);
  b.mark("refs.p2").i32(1).f32(1).i32(-1);
  b.mark("end").i32(-14);
  b.mark("notes").str("step").i32(0).mark("note1").str("jump").i32(3).u8(0);

  b.i32(1).u8(0).i32(3);
  Vertex(b, 0, 0, 0, 0, 0, -1);
  Vertex(b, 1, 0, 1, 0, 0, -1);
  Vertex(b, 2, 1, 0, 0, 0, -1);
  b.i32(1).u32(0).u32(1).u32(2).vec3(0, 0, -1);
  b.mark("name").str("Body").str("");
  return b;
}

Bytes WorkedSkinBlock() {
  Bytes b;
  b.raw({0x01, 0x00, 0x00, 0x00, 0x42, 0x30, 0x00});
  // Bone matrix: identity axes, translation (0, 0, 2).
  b.raw({0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
         0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
         0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40});
  b.raw({0x0A, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00});
  b.raw({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  b.raw({0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x41});
  // Frame 0 sample: the same axes, translation (0, 0, 2); extra 13, 14, 15.
  b.raw({0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
         0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
         0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40});
  b.raw({0x0D, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00});
  b.raw({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF});
  b.raw({0xF2, 0xFF, 0xFF, 0xFF, 0x00});
  return b;
}

Bytes WorkedSkinMesh() {
  Bytes b;
  b.raw({8, 0}).i32(1).vec3(0.5f, 0.5f, 0.5f).u8(1);
  b.mark("skin").append(WorkedSkinBlock());
  b.mark("materials").i32(0).str("Skinned").str("");
  return b;
}

Bytes AllRecords() {
  Bytes b;
  b.mark("omni").append(OmniLight());
  b.mark("mesh").append(TwoMaterialMesh());
  b.mark("spot").append(SpotLight());
  b.mark("skinned").append(SkinnedMesh());
  b.mark("worked").append(WorkedSkinMesh());
  return b;
}

}  // namespace thmtest
