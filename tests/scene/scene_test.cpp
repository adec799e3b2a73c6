#include "scene/scene.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace {

using scene::Node;
using scene::Scene;

struct Recorder : ITreeEnumProc {
  std::vector<std::string> visited;
  std::string abortAt;
  int VisitNode(INode* n) override {
    visited.push_back(n->GetName());
    return visited.back() == abortAt ? TREE_ABORT : TREE_CONTINUE;
  }
};

TEST(SceneWalk, DepthFirstParentsBeforeChildrenSiblingsInOrderAndAbortStops) {
  Scene s;
  Node& a = s.AddNode("A");
  s.AddNode("A1", &a);
  Node& a2 = s.AddNode("A2", &a);
  s.AddNode("A2x", &a2);
  s.AddNode("B");
  Recorder r;
  EXPECT_EQ(s.EnumTree(&r), 0);
  EXPECT_EQ(r.visited, (std::vector<std::string>{"A", "A1", "A2", "A2x", "B"}));
  Recorder stop;
  stop.abortAt = "A2";
  EXPECT_EQ(s.EnumTree(&stop), 1);
  EXPECT_EQ(stop.visited, (std::vector<std::string>{"A", "A1", "A2"}));
  EXPECT_EQ(s.FromHandle(a2.Handle()), &a2);
  EXPECT_EQ(GetINodeByHandle(a2.Handle()), &a2);  // the walk activated the scene
  EXPECT_EQ(a2.GetParentNode(), &a);
  EXPECT_EQ(a.GetParentNode(), nullptr);
}

TEST(SceneTransforms, WorldIsLocalThenParentAndObjectOffsetComesFirst) {
  Scene s;
  Node& p = s.AddNode("P");
  p.transform = Matrix3({2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {10, 0, 0});
  Node& c = s.AddNode("C", &p);
  c.transform = Matrix3({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 2, 3});
  c.objectOffset = Matrix3({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 1});
  EXPECT_EQ(c.GetNodeTM(0) * Point3(0, 0, 0), Point3(12, 4, 6));
  EXPECT_EQ(c.GetObjectTM(0) * Point3(0, 0, 0), Point3(12, 4, 8));
}

TEST(SceneTransforms, DecomposeInvertsComposeIncludingMirrors) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1, 1);
  for (int i = 0; i < 200; ++i) {
    scene::TRS t;
    t.position = {u(rng) * 10, u(rng) * 10, u(rng) * 10};
    t.rotation = scene::Normalized({u(rng), u(rng), u(rng), u(rng)});
    t.scale = {0.5f + std::abs(u(rng)), 0.5f + std::abs(u(rng)),
               (i % 2 ? -1.0f : 1.0f) * (0.5f + std::abs(u(rng)))};
    Matrix3 m = scene::Compose(t);
    EXPECT_EQ(m.Parity(), i % 2);
    Matrix3 back = scene::Compose(scene::Decompose(m));
    for (int r = 0; r < 4; ++r)
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(back.GetRow(r)[k], m.GetRow(r)[k], 1e-4f) << i;
  }
}

TEST(SceneTransforms, KeysHoldOutsideAndInterpolateBetween) {
  Scene s;
  Node& n = s.AddNode("N");
  scene::TRS a, b;
  b.position = {10, 0, 0};
  b.rotation = {0, 0, std::sin(0.5f * 1.5707964f), std::cos(0.5f * 1.5707964f)};  // 90 degrees about z
  n.keys = {{0, scene::Compose(a)}, {100, scene::Compose(b)}};
  EXPECT_EQ(n.LocalTM(-50), n.keys[0].transform);
  EXPECT_EQ(n.LocalTM(100), n.keys[1].transform);
  EXPECT_EQ(n.LocalTM(500), n.keys[1].transform);
  Matrix3 mid = n.LocalTM(50);
  EXPECT_NEAR(mid.GetRow(3).x, 5.0f, 1e-5f);
  // Half way: 45 degrees about z.
  EXPECT_NEAR(mid.GetRow(0).x, std::sqrt(0.5f), 1e-5f);
  EXPECT_NEAR(mid.GetRow(0).y, std::sqrt(0.5f), 1e-5f);
}

TEST(SceneSkin, WeightTableAndBoneQueryUseTheHostLayouts) {
  Scene s;
  Node& bone = s.AddNode("Bip01");
  Node& mesh = s.AddNode("Body");
  auto& skin = s.Make<scene::SkinModifier>();
  skin.bones.push_back({&bone, std::nullopt, {1.5f, 0, -2}});
  skin.bones.push_back({&bone, "Renamed", {}});
  skin.SetWeights({{0.25f, 0.75f}, {1.0f, 0.0f}, {0, 0}});
  mesh.AddModifier(&skin);

  WeightArray* wa = nullptr;
  skin.Command(SKIN_CMD_WEIGHTS, &wa);
  ASSERT_NE(wa, nullptr);
  EXPECT_EQ(wa->nb, 2);
  EXPECT_EQ(wa->nv, 3);
  EXPECT_EQ(wa->weights()[1], 0.75f);
  EXPECT_EQ(wa->weights()[2], 1.0f);

  BoneInfo info{};
  info.Time = 320;
  info.Index = 0;
  info.Parent = info.Sibling = info.Child = -1;
  skin.Command(SKIN_CMD_BONE, &info);
  EXPECT_STREQ(info.Name, "Bip01");
  EXPECT_EQ(info.Node, bone.Handle());
  EXPECT_EQ(info.Time, 320);
  EXPECT_EQ(info.Parent, -1);
  float e0;
  std::memcpy(&e0, &info.Extra[0], 4);
  EXPECT_EQ(e0, 1.5f);
  info.Index = 1;
  skin.Command(SKIN_CMD_BONE, &info);
  EXPECT_STREQ(info.Name, "Renamed");

  skin.weights.reset();
  wa = nullptr;
  skin.Command(SKIN_CMD_WEIGHTS, &wa);
  EXPECT_EQ(wa, nullptr);
  // The node's object reference is the derived object holding the stack.
  ASSERT_NE(mesh.GetObjectRef(), nullptr);
  EXPECT_EQ(mesh.GetObjectRef()->SuperClassID(), GEN_DERIVOB_CLASS_ID);
}

TEST(HostHelpers, SplitPathFileAndParity) {
  CStr path, file;
  SplitPathFile("C:\\maps\\brick.tga", &path, &file);
  EXPECT_STREQ(file, "brick.tga");
  EXPECT_STREQ(path, "C:\\maps");
  SplitPathFile("textures/wood.png", nullptr, &file);
  EXPECT_STREQ(file, "wood.png");
  SplitPathFile("plain.tga", &path, &file);
  EXPECT_STREQ(file, "plain.tga");
  EXPECT_EQ(Matrix3().Parity(), 0);
  EXPECT_NE(Matrix3({-1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}).Parity(), 0);
  // operator* sums x*row0 + y*row1 + z*row2 + row3.
  Matrix3 m({1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12});
  EXPECT_EQ(m * Point3(1, 1, 1), Point3(22, 26, 30));
}

}  // namespace
