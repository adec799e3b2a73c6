// The repairs made before Assimp's checks, on scenes built by hand.
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include "import/assimp_repair.h"

namespace {

aiNodeAnim* Channel(const char* node, std::initializer_list<double> times) {
  auto* ch = new aiNodeAnim;
  ch->mNodeName.Set(node);
  ch->mNumPositionKeys = static_cast<unsigned>(times.size());
  ch->mPositionKeys = times.size() ? new aiVectorKey[times.size()] : nullptr;
  unsigned i = 0;
  for (double t : times) ch->mPositionKeys[i++].mTime = t;
  return ch;
}

aiMesh* Mesh(const char* name, unsigned faces) {
  auto* m = new aiMesh;
  m->mName.Set(name);
  m->mNumVertices = 3;
  m->mVertices = new aiVector3D[3];
  m->mNumFaces = faces;
  m->mFaces = faces ? new aiFace[faces] : nullptr;
  return m;
}

TEST(Repair, AnimationsKeepTheirKeysAndGetADurationThatHoldsThem) {
  aiScene s;
  s.mRootNode = new aiNode("root");
  s.mNumAnimations = 3;
  s.mAnimations = new aiAnimation*[3];
  // Keys past the duration, as some B3D exporters write them.
  s.mAnimations[0] = new aiAnimation;
  s.mAnimations[0]->mName.Set("walk");
  s.mAnimations[0]->mDuration = 220;
  s.mAnimations[0]->mNumChannels = 2;
  s.mAnimations[0]->mChannels = new aiNodeAnim* [2] { Channel("a", {0, 221}), Channel("b", {}) };
  // Only empty channels: nothing left.
  s.mAnimations[1] = new aiAnimation;
  s.mAnimations[1]->mName.Set("idle");
  s.mAnimations[1]->mNumChannels = 1;
  s.mAnimations[1]->mChannels = new aiNodeAnim* [1] { Channel("a", {}) };
  // Sound: untouched.
  s.mAnimations[2] = new aiAnimation;
  s.mAnimations[2]->mName.Set("run");
  s.mAnimations[2]->mDuration = 10;
  s.mAnimations[2]->mNumChannels = 1;
  s.mAnimations[2]->mChannels = new aiNodeAnim* [1] { Channel("a", {0, 10}) };

  const std::vector<std::string> lines = scene::assimp::Repair(s);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "animation 'walk': 1 channels without keys dropped",
                       "animation 'walk': duration 220 ticks raised to the last key's time 221",
                       "animation 'idle': 1 channels without keys dropped",
                       "animation 'idle': no channel with keys; the animation is dropped",
                   }));
  ASSERT_EQ(s.mNumAnimations, 2u);
  EXPECT_STREQ(s.mAnimations[0]->mName.C_Str(), "walk");
  EXPECT_EQ(s.mAnimations[0]->mDuration, 221);
  EXPECT_EQ(s.mAnimations[0]->mNumChannels, 1u);
  EXPECT_STREQ(s.mAnimations[1]->mName.C_Str(), "run");
  EXPECT_EQ(s.mAnimations[1]->mDuration, 10);
}

TEST(Repair, MeshesWithoutFacesLeaveTheSceneAndTheNodesAreRenumbered) {
  aiScene s;
  s.mRootNode = new aiNode("root");
  s.mNumMeshes = 3;
  s.mMeshes = new aiMesh* [3] { Mesh("cloud", 0), Mesh("tri", 1), Mesh("cloud2", 0) };
  aiNode* child = new aiNode("child");
  child->mParent = s.mRootNode;
  s.mRootNode->addChildren(1, &child);
  s.mRootNode->mNumMeshes = 1;
  s.mRootNode->mMeshes = new unsigned[1]{0};
  child->mNumMeshes = 3;
  child->mMeshes = new unsigned[3]{2, 1, 0};

  EXPECT_EQ(scene::assimp::Repair(s), (std::vector<std::string>{
                                          "mesh 'cloud' has no faces (a point cloud); it is not exported",
                                          "mesh 'cloud2' has no faces (a point cloud); it is not exported",
                                      }));
  ASSERT_EQ(s.mNumMeshes, 1u);
  EXPECT_STREQ(s.mMeshes[0]->mName.C_Str(), "tri");
  EXPECT_EQ(s.mRootNode->mNumMeshes, 0u);
  ASSERT_EQ(child->mNumMeshes, 1u);
  EXPECT_EQ(child->mMeshes[0], 0u);
  EXPECT_EQ(s.mFlags & AI_SCENE_FLAGS_INCOMPLETE, 0u);

  // Nothing left: the scene passes Assimp's checks only as incomplete.
  aiScene t;
  t.mRootNode = new aiNode("root");
  t.mNumMeshes = 1;
  t.mMeshes = new aiMesh* [1] { Mesh("", 0) };
  t.mRootNode->mNumMeshes = 1;
  t.mRootNode->mMeshes = new unsigned[1]{0};
  EXPECT_EQ(scene::assimp::Repair(t).size(), 1u);
  EXPECT_EQ(t.mNumMeshes, 0u);
  EXPECT_EQ(t.mMeshes, nullptr);
  EXPECT_EQ(t.mRootNode->mNumMeshes, 0u);
  EXPECT_NE(t.mFlags & AI_SCENE_FLAGS_INCOMPLETE, 0u);
}

TEST(Repair, ASpotWhoseInnerConeIsWiderIsNarrowed) {
  aiScene s;
  s.mRootNode = new aiNode("root");
  s.mNumLights = 1;
  s.mLights = new aiLight* [1] { new aiLight };
  s.mLights[0]->mName.Set("spot");
  s.mLights[0]->mAngleInnerCone = 1.0f;
  s.mLights[0]->mAngleOuterCone = 0.5f;
  EXPECT_EQ(scene::assimp::Repair(s),
            std::vector<std::string>{"light 'spot': inner cone wider than the outer one; narrowed to it"});
  EXPECT_EQ(s.mLights[0]->mAngleInnerCone, 0.5f);
}

}  // namespace
