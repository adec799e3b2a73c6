#include "document/document.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using scene::DocumentError;
using scene::Node;
using scene::Scene;

std::unique_ptr<Scene> Parse(const std::string& text) {
  return scene::ParseDocument(text, "t.scene.json");
}

// The error a document gives, as "pointer: message"; empty when it loads.
std::string ErrorOf(const std::string& text) {
  try {
    Parse(text);
  } catch (const DocumentError& e) {
    return e.pointer() + ": " + e.message();
  }
  return "";
}

std::string Doc(const std::string& body) {
  return R"({"format":"thm-scene","version":1)" + body + "}";
}

float Bits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

TEST(Document, TreeTimeSettingsTransformsAndNotes) {
  auto s = Parse(Doc(R"(,"ticksPerFrame":80,"animationRange":[-160,3200],"masterScale":2.54,
    "nodes":[
      {"name":"Root","transform":[[2,0,0],[0,2,0],[0,0,2],[10,0,0]],"children":[
        {"name":"Kid","hidden":true,"transform":{"position":[1,2,3]},
         "objectOffset":{"position":[0,0,1]},
         "noteTracks":[{"keys":[{"time":320,"text":"step"},{"time":0,"text":"start"}]},
                       {"classId":["0x100",7],"keys":[{"time":5,"text":"x"}]}]},
        {"name":null,"object":{"class":"camera"}}]},
      {"name":"Anim","animation":[
        {"time":0,"transform":{"position":[0,0,0]}},
        {"time":100,"transform":{"position":[10,0,0],"rotation":[0,0,0.70710678,0.70710678],"scale":[1,1,3]}}]}
    ])"));
  EXPECT_EQ(s->ticksPerFrame, 80);
  EXPECT_EQ(s->animationRange.Start(), -160);
  EXPECT_EQ(s->animationRange.End(), 3200);
  EXPECT_EQ(s->masterScale, 2.54);

  std::vector<Node*> walk = s->WalkOrder();
  ASSERT_EQ(walk.size(), 4u);
  EXPECT_EQ(walk[0]->name, "Root");
  EXPECT_EQ(walk[1]->name, "Kid");
  EXPECT_FALSE(walk[2]->name.has_value());  // GetName gives null
  EXPECT_EQ(walk[2]->GetName(), nullptr);
  EXPECT_EQ(walk[3]->name, "Anim");
  EXPECT_EQ(walk[1]->Parent(), walk[0]);
  EXPECT_EQ(walk[3]->Parent(), nullptr);
  EXPECT_EQ(walk[1]->IsNodeHidden(), 1);
  EXPECT_EQ(walk[0]->IsNodeHidden(), 0);
  EXPECT_EQ(walk[2]->EvalWorldState(0).obj->SuperClassID(), CAMERA_CLASS_ID);
  EXPECT_EQ(walk[0]->EvalWorldState(0).obj, nullptr);  // no object: nothing to evaluate

  // world = local x parent; object = offset x world.
  Node& kid = *walk[1];
  EXPECT_EQ(kid.GetNodeTM(0) * Point3(0, 0, 0), Point3(12, 4, 6));
  EXPECT_EQ(kid.GetObjectTM(0) * Point3(0, 0, 0), Point3(12, 4, 8));

  ASSERT_EQ(kid.NumNoteTracks(), 2);
  NoteTrack* plain = kid.GetNoteTrack(0);
  EXPECT_EQ(plain->ClassID(), NOTETRACK_CLASS_ID);
  ASSERT_EQ(plain->NumKeys(), 2);  // stored order, not sorted
  EXPECT_EQ(plain->GetKey(0)->time, 320);
  EXPECT_STREQ(plain->GetKey(0)->note, "step");
  EXPECT_EQ(plain->GetKey(1)->time, 0);
  EXPECT_EQ(kid.GetNoteTrack(1)->ClassID(), Class_ID(0x100, 7));

  Node& anim = *walk[3];
  ASSERT_EQ(anim.keys.size(), 2u);
  EXPECT_EQ(anim.keys[1].time, 100);
  // 90 degrees about z, then z scaled by 3: x axis -> y, y axis -> -x.
  Matrix3 k1 = anim.keys[1].transform;
  EXPECT_NEAR(k1.GetRow(0).y, 1.0f, 1e-6f);
  EXPECT_NEAR(k1.GetRow(1).x, -1.0f, 1e-6f);
  EXPECT_NEAR(k1.GetRow(2).z, 3.0f, 1e-6f);
  EXPECT_EQ(k1.GetRow(3), Point3(10, 0, 0));
  EXPECT_NEAR(anim.GetNodeTM(50).GetTrans().x, 5.0f, 1e-6f);
}

TEST(Document, MeshFieldsDefaultsAndShapeConversion) {
  auto s = Parse(Doc(R"(,"nodes":[
    {"name":"Plain","object":{"class":"mesh","vertices":[[0,0,0],[1,0,0],[0,1,0],[0.1,1e-3,-7]],
                              "faces":[[0,1,2],[1,3,2]]}},
    {"name":"Full","object":{"class":"mesh","vertices":[[0,0,0],[1,0,0],[0,1,0]],"faces":[[0,1,2],[2,1,0]],
       "smoothing":[4294967295,0],"edges":[5,4294967295],"materialIds":[65535,3],
       "tverts":[[0,0],[1,0,0.5],[0,1]],"tvfaces":[[0,1,2],[2,2,1]]}},
    {"name":"Curve","object":{"class":"shape","mesh":{"vertices":[[0,0,0],[1,0,0],[0,1,0]],"faces":[[0,1,2]]}}},
    {"name":"Line","object":{"class":"shape"}}])"));
  std::vector<Node*> n = s->WalkOrder();
  auto meshOf = [](Node* node) -> Mesh& { return static_cast<TriObject*>(node->BaseObject())->GetMesh(); };

  Mesh& plain = meshOf(n[0]);
  EXPECT_EQ(plain.getNumVerts(), 4);
  EXPECT_EQ(plain.verts[3], Point3(0.1f, 1e-3f, -7.0f));  // stored as float32
  ASSERT_EQ(plain.getNumFaces(), 2);
  EXPECT_EQ(plain.faces[1].v[1], 3);
  EXPECT_EQ(plain.faces[1].smGroup, 1u);
  EXPECT_EQ(plain.faces[1].flags, 7u);
  EXPECT_EQ(plain.getFaceMtlIndex(1), 0);
  EXPECT_TRUE(plain.tVerts.empty());
  EXPECT_TRUE(plain.tvFace.empty());

  Mesh& full = meshOf(n[1]);
  EXPECT_EQ(full.faces[0].smGroup, 0xFFFFFFFFu);
  EXPECT_EQ(full.faces[1].smGroup, 0u);
  EXPECT_EQ(full.faces[0].flags, 5u);
  EXPECT_EQ(full.faces[1].flags, 0xFFFFFFFFu);
  EXPECT_EQ(full.getFaceMtlIndex(0), 65535);
  EXPECT_EQ(full.getFaceMtlIndex(1), 3);
  ASSERT_EQ(full.getNumTVerts(), 3);
  EXPECT_EQ(full.tVerts[0], Point3(0, 0, 0));  // w defaults to 0
  EXPECT_EQ(full.tVerts[1], Point3(1, 0, 0.5f));
  EXPECT_EQ(full.tvFace[1].t[0], 2);
  EXPECT_EQ(full.tvFace[1].t[2], 1);

  // A shape that can become a mesh converts to its mesh; one without cannot.
  Object* curve = n[2]->EvalWorldState(0).obj;
  EXPECT_EQ(curve->SuperClassID(), SHAPE_CLASS_ID);
  ASSERT_EQ(curve->CanConvertToType(triObjectClassID), 1);
  auto* tri = static_cast<TriObject*>(curve->ConvertToType(0, triObjectClassID));
  ASSERT_NE(tri, nullptr);
  EXPECT_EQ(tri->GetMesh().getNumFaces(), 1);
  EXPECT_EQ(n[3]->EvalWorldState(0).obj->CanConvertToType(triObjectClassID), 0);
}

TEST(Document, LightsCarryEveryStateValue) {
  auto s = Parse(Doc(R"(,"nodes":[
    {"name":"Omni","object":{"class":"light","type":"omni"}},
    {"name":"Spot","object":{"class":"light","type":"spot","color":[1,0.5,0.25],"intensity":1.5,"on":false,
      "hotspot":30,"falloff":40.5,"farAttenuation":{"on":true,"start":10,"end":90.25},"targetDistance":123.5}},
    {"name":"Odd","object":{"class":"light","type":"omni","stateType":3,"on":7,"farAttenuation":{"on":-1}}}])"));
  std::vector<Node*> n = s->WalkOrder();
  auto state = [](Node* node) {
    auto* l = static_cast<LightObject*>(node->EvalWorldState(0).obj);
    Interval valid;
    LightState ls;
    l->EvalLightState(0, valid, &ls);
    return std::make_pair(ls, l->GetTDist(0));
  };
  auto [omni, omniDist] = state(n[0]);
  EXPECT_EQ(n[0]->EvalWorldState(0).obj->ClassID(), OMNI_LIGHT_CLASS_ID);
  EXPECT_EQ(omni.type, OMNI_LIGHT);
  EXPECT_EQ(omni.color, Point3(1, 1, 1));
  EXPECT_EQ(omni.intens, 1.0f);
  EXPECT_EQ(omni.hotsize, 43.0f);
  EXPECT_EQ(omni.fallsize, 45.0f);
  EXPECT_EQ(omni.useAtten, 0);
  EXPECT_EQ(omni.attenStart, 80.0f);
  EXPECT_EQ(omni.attenEnd, 200.0f);
  EXPECT_EQ(omni.on, 1);
  EXPECT_EQ(omniDist, 240.0f);

  auto [spot, spotDist] = state(n[1]);
  EXPECT_EQ(n[1]->EvalWorldState(0).obj->ClassID(), SPOT_LIGHT_CLASS_ID);
  EXPECT_EQ(spot.type, SPOT_LIGHT);
  EXPECT_EQ(spot.color, Point3(1, 0.5f, 0.25f));
  EXPECT_EQ(spot.intens, 1.5f);
  EXPECT_EQ(spot.on, 0);
  EXPECT_EQ(spot.hotsize, 30.0f);
  EXPECT_EQ(spot.fallsize, 40.5f);
  EXPECT_EQ(spot.useAtten, 1);
  EXPECT_EQ(spot.attenStart, 10.0f);
  EXPECT_EQ(spot.attenEnd, 90.25f);
  EXPECT_EQ(spotDist, 123.5f);

  // An omni-class light whose state has another type (the exporter must reject it).
  auto [odd, oddDist] = state(n[2]);
  EXPECT_EQ(n[2]->EvalWorldState(0).obj->ClassID(), OMNI_LIGHT_CLASS_ID);
  EXPECT_EQ(odd.type, 3);
  EXPECT_EQ(odd.on, 7);
  EXPECT_EQ(odd.useAtten, -1);
}

TEST(Document, SkinAndModifierStacks) {
  auto s = Parse(Doc(R"(,"nodes":[
    {"name":"Hip","object":{"class":"dummy"},"children":[{"name":"Knee"}]},
    {"name":"Leg","object":{"class":"mesh","vertices":[[0,0,0],[0,1,0],[0,2,0]],"faces":[[0,1,2]]},
     "modifiers":[{"class":"other","classId":[1,2]},
                  {"class":"skin","bones":[{"node":"Hip","extra":[1.5,"0x7FC00001",-2]},
                                           {"node":"Knee","name":"KneeBone"}],
                   "weights":[[1,0],[0.5,0.5],[0.1,0.9]]},
                  {"class":"skin","classId":[3,4]}]},
    {"name":"NoTable","object":{"class":"mesh","vertices":[],"faces":[]},
     "modifiers":[{"class":"skin","bones":[{"node":"Hip"}],"weights":null}]}])"));
  std::vector<Node*> n = s->WalkOrder();
  Node& leg = *n[2];
  Object* ref = leg.GetObjectRef();
  ASSERT_EQ(ref->SuperClassID(), GEN_DERIVOB_CLASS_ID);
  auto* derived = static_cast<IDerivedObject*>(ref);
  ASSERT_EQ(derived->NumModifiers(), 3);  // top first, as listed
  EXPECT_EQ(derived->GetModifier(0)->ClassID(), Class_ID(1, 2));
  EXPECT_EQ(derived->GetModifier(1)->ClassID(), SKIN_CLASSID);
  EXPECT_EQ(derived->GetModifier(2)->ClassID(), Class_ID(3, 4));
  EXPECT_EQ(leg.EvalWorldState(0).obj->ClassID(), TRIOBJ_CLASS_ID);  // evaluates to the base

  Modifier* skin = derived->GetModifier(1);
  WeightArray* wa = nullptr;
  skin->Command(SKIN_CMD_WEIGHTS, &wa);
  ASSERT_NE(wa, nullptr);
  EXPECT_EQ(wa->nb, 2);
  EXPECT_EQ(wa->nv, 3);
  EXPECT_EQ(wa->weights()[2], 0.5f);
  EXPECT_EQ(wa->weights()[5], 0.9f);

  BoneInfo info{};
  info.Index = 0;
  skin->Command(SKIN_CMD_BONE, &info);
  EXPECT_STREQ(info.Name, "Hip");
  EXPECT_EQ(GetINodeByHandle(info.Node), nullptr);  // not resolvable until the scene is active
  s->Activate();
  EXPECT_EQ(GetINodeByHandle(info.Node), n[0]);
  EXPECT_EQ(info.Extra[0], 0x3FC00000u);  // 1.5f
  EXPECT_EQ(info.Extra[1], 0x7FC00001u);  // raw bits kept
  EXPECT_EQ(info.Extra[2], 0xC0000000u);  // -2.0f
  info.Index = 1;
  skin->Command(SKIN_CMD_BONE, &info);
  EXPECT_STREQ(info.Name, "KneeBone");
  EXPECT_EQ(GetINodeByHandle(info.Node), n[1]);

  auto* none = static_cast<IDerivedObject*>(n[3]->GetObjectRef())->GetModifier(0);
  wa = nullptr;
  none->Command(SKIN_CMD_WEIGHTS, &wa);
  EXPECT_EQ(wa, nullptr);  // no table offered
}

TEST(Document, MaterialsAndMaps) {
  auto s = Parse(Doc(R"(,"materials":{
      "brick":{"class":"standard","name":"Brick","twoSided":true,"transparencyType":"additive","opacity":0.5,
        "maps":{"diffuse":{"map":{"class":"bitmap","fileName":"C:\\maps\\brick.tga","alphaSource":"none",
                                  "crop":[0.25,0,0.5,1],"uvTransform":[[2,0,0],[0,2,0],[0,0,1],[0.5,0,0]]}},
                "9":{"map":{"class":"other","classId":[7,8]},"amount":0.25},
                "selfIllum":{"map":{"class":"bitmap","fileName":null}}}},
      "plain":{"class":"standard"},
      "set":{"class":"multi","name":"Set","subMaterials":["brick",null,"glass","set2"]},
      "set2":{"class":"multi","subMaterials":["plain"]},
      "glass":{"class":"other","name":null,"classId":["0x1000","0x2"]}},
    "nodes":[{"name":"Wall","material":"set"},{"name":"Bare","material":null}])"));
  std::vector<Node*> n = s->WalkOrder();
  Mtl* set = n[0]->GetMtl();
  EXPECT_EQ(n[1]->GetMtl(), nullptr);
  ASSERT_EQ(set->ClassID(), MULTI_CLASS_ID);
  EXPECT_STREQ(set->GetName(), "Set");
  ASSERT_EQ(set->NumSubMtls(), 4);
  EXPECT_EQ(set->GetSubMtl(1), nullptr);
  EXPECT_EQ(set->GetSubMtl(2)->ClassID(), Class_ID(0x1000, 2));
  EXPECT_EQ(set->GetSubMtl(2)->GetName(), nullptr);
  EXPECT_EQ(set->GetSubMtl(3)->GetSubMtl(0)->ClassID(), DMTL_CLASS_ID);

  auto* brick = static_cast<StdMat*>(set->GetSubMtl(0));
  ASSERT_EQ(brick->ClassID(), DMTL_CLASS_ID);
  EXPECT_STREQ(brick->GetName(), "Brick");
  EXPECT_EQ(brick->GetTwoSided(), 1);
  EXPECT_EQ(brick->GetTransparencyType(), TRANSP_ADDITIVE);
  EXPECT_EQ(brick->GetOpacity(0), 0.5f);
  EXPECT_EQ(brick->GetTexmapAmt(ID_DI, 0), 1.0f);
  EXPECT_EQ(brick->GetTexmapAmt(ID_RL, 0), 0.25f);
  EXPECT_EQ(brick->GetSubTexmap(ID_AM), nullptr);
  EXPECT_EQ(brick->GetSubTexmap(ID_RL)->ClassID(), Class_ID(7, 8));

  auto* diffuse = static_cast<BitmapTex*>(brick->GetSubTexmap(ID_DI));
  ASSERT_EQ(diffuse->ClassID(), BMTEX_CLASS_ID);
  EXPECT_STREQ(diffuse->GetMapName(), "C:\\maps\\brick.tga");
  EXPECT_EQ(diffuse->GetAlphaSource(), ALPHA_NONE);
  IParamBlock2* pb = diffuse->GetParamBlock(0);
  EXPECT_EQ(pb->GetFloat(0, 0), 0.25f);
  EXPECT_EQ(pb->GetFloat(2, 0), 0.5f);
  EXPECT_EQ(pb->GetFloat(3, 0), 1.0f);
  Matrix3 uv;
  diffuse->GetUVTransform(uv);
  EXPECT_EQ(uv * Point3(0.25f, 0.5f, 0), Point3(1.0f, 1.0f, 0));
  auto* selfIllum = static_cast<BitmapTex*>(brick->GetSubTexmap(ID_SI));
  EXPECT_EQ(selfIllum->GetMapName(), nullptr);
  EXPECT_EQ(selfIllum->GetAlphaSource(), ALPHA_FILE);
  EXPECT_EQ(selfIllum->GetParamBlock(0)->GetFloat(2, 0), 1.0f);  // crop defaults to the whole map

  auto* plain = static_cast<StdMat*>(set->GetSubMtl(3)->GetSubMtl(0));
  EXPECT_STREQ(plain->GetName(), "");
  EXPECT_EQ(plain->GetTransparencyType(), TRANSP_FILTER);
  EXPECT_EQ(plain->GetTwoSided(), 0);
  EXPECT_EQ(plain->GetOpacity(0), 1.0f);
}

TEST(Document, NumbersAreCheckedAgainstTheHostTypes) {
  auto mesh = [](const std::string& extra) {
    return Doc(R"(,"nodes":[{"object":{"class":"mesh","vertices":[[0,0,0]],"faces":[[0,0,0]])" + extra +
               "}}]");
  };
  // float32: rounded to nearest, and the largest float32 is still in range.
  auto s =
      Parse(Doc(R"(,"nodes":[{"transform":[[0.1,3.4028234663852886e38,1e-50],[0,1,0],[0,0,1],[0,0,0]]}])"));
  Matrix3 m = s->WalkOrder()[0]->transform;
  EXPECT_EQ(m.GetRow(0).x, 0.1f);
  EXPECT_EQ(m.GetRow(0).y, Bits(0x7F7FFFFF));
  EXPECT_EQ(m.GetRow(0).z, 0.0f);
  EXPECT_EQ(ErrorOf(Doc(R"(,"nodes":[{"transform":[[1e39,0,0],[0,1,0],[0,0,1],[0,0,0]]}])")),
            "/nodes/0/transform/0/0: 1e+39 is out of range for a 32-bit float");
  EXPECT_EQ(ErrorOf(Doc(R"(,"masterScale":1e999)")),
            "/masterScale: number overflow parsing '1e999' (not a finite number)");
  EXPECT_EQ(ErrorOf(mesh(R"(,"smoothing":[4294967296])")),
            "/nodes/0/object/smoothing/0: 4294967296 is out of range (0 to 4294967295)");
  EXPECT_EQ(ErrorOf(mesh(R"(,"materialIds":[-1])")),
            "/nodes/0/object/materialIds/0: -1 is out of range (0 to 65535)");
  EXPECT_EQ(ErrorOf(mesh(R"(,"edges":[7.0])")), "/nodes/0/object/edges/0: expected an integer, got number");
  EXPECT_EQ(ErrorOf(Doc(R"(,"ticksPerFrame":0)")), "/ticksPerFrame: 0 is out of range (1 to 2147483647)");
  EXPECT_EQ(ErrorOf(Doc(R"(,"animationRange":[0,2147483648])")),
            "/animationRange/1: 2147483648 is out of range (-2147483648 to 2147483647)");
  EXPECT_EQ(ErrorOf(Doc(R"(,"nodes":[{"noteTracks":[{"classId":["0x100000000",0]}]}])")),
            "/nodes/0/noteTracks/0/classId/0: \"0x100000000\" is out of range for a 32-bit word");
}

TEST(Document, SyntaxErrorsAndDuplicateKeysAreNamed) {
  EXPECT_EQ(ErrorOf(Doc(R"(,"nodes":[{"name":"a","name":"b"}])")),
            "/nodes/0/name: key appears more than once in its object");
  std::string e = ErrorOf("{\"format\":\"thm-scene\",\n\"nodes\":[{},\n{\"name\":}]}");
  EXPECT_EQ(e.substr(0, e.find(',')), "/nodes/1/name: not valid JSON at line 3");
  EXPECT_NE(ErrorOf("").find("not valid JSON at line 1, column 1"), std::string::npos);
  EXPECT_EQ(ErrorOf(R"({"format":"thm-scene","version":1,"nodes":[{"name":"a\u0000b"}]})"),
            "/nodes/0/name: string contains a zero character");
}

// Every file of tests/document/bad/ is listed in its EXPECTED file with the JSON
// path and the words of its error; loading never gets further than the error.
TEST(Document, BrokenDocumentsGiveOneLineErrorsWithTheirPath) {
  fs::path dir = fs::path(TARN_SOURCE_DIR) / "tests/document/bad";
  std::map<std::string, std::pair<std::string, std::string>> expected;
  std::ifstream list(dir / "EXPECTED");
  std::string line;
  while (std::getline(list, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream in(line);
    std::string file, pointer, words;
    in >> file >> pointer;
    std::getline(in >> std::ws, words);
    expected[file] = {pointer == "-" ? "" : pointer, words};
  }
  int seen = 0;
  for (auto& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".json") continue;
    ++seen;
    SCOPED_TRACE(name);
    auto it = expected.find(name);
    ASSERT_NE(it, expected.end()) << "not listed in EXPECTED";
    try {
      scene::LoadDocument(entry.path().string());
      ADD_FAILURE() << "loaded";
    } catch (const DocumentError& e) {
      std::string what = e.what();
      EXPECT_EQ(what.find('\n'), std::string::npos) << what;
      EXPECT_EQ(e.file(), entry.path().string());
      EXPECT_EQ(e.pointer(), it->second.first) << what;
      EXPECT_NE(e.message().find(it->second.second), std::string::npos) << what;
    }
  }
  EXPECT_EQ(seen, static_cast<int>(expected.size()));
  EXPECT_GE(seen, 20);
}

TEST(Document, MissingFileNamesTheFile) {
  try {
    scene::LoadDocument("/nonexistent/x.scene.json");
    FAIL();
  } catch (const DocumentError& e) {
    EXPECT_STREQ(e.what(),
                 "/nonexistent/x.scene.json: (document): cannot be read: No such file or directory");
  }
}

// Cut and garbled versions of the demo scene: each loads or is rejected, never more.
TEST(Document, DamagedDemoNeverCrashesTheLoader) {
  std::ifstream in(fs::path(TARN_SOURCE_DIR) / "examples/demo.scene.json", std::ios::binary);
  std::string demo((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(demo.size(), 1000u);
  EXPECT_NO_THROW(Parse(demo));
  std::mt19937 rng(1234);
  int rejected = 0;
  const char pool[] =
      "{}[],:\"0123456789-.eE \\\x01\xff"
      "nulltruefalse";
  for (int i = 0; i < 400; ++i) {
    std::string text = demo;
    if (i % 4 == 0) {
      text.resize(rng() % demo.size());
    } else {
      for (int k = 0; k < 1 + i % 3; ++k) text[rng() % text.size()] = pool[rng() % (sizeof pool - 1)];
    }
    try {
      Parse(text);
    } catch (const DocumentError& e) {
      ++rejected;
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
    }
  }
  EXPECT_GT(rejected, 300);
}

// The examples follow the published schema (docs/scene.schema.json).
TEST(Document, ExamplesValidateAgainstTheSchema) {
  ASSERT_EQ(std::system("python3 -c 'import jsonschema' 2>/dev/null"), 0)
      << "python3-jsonschema is not installed (scripts/deps.sh installs it)";
  std::string src = TARN_SOURCE_DIR;
  std::string cmd =
      "python3 - <<'EOF'\n"
      "import glob, json, jsonschema, sys\n"
      "schema = json.load(open('" +
      src +
      "/docs/scene.schema.json'))\n"
      "jsonschema.Draft202012Validator.check_schema(schema)\n"
      "v = jsonschema.Draft202012Validator(schema)\n"
      "files = sorted(glob.glob('" +
      src +
      "/examples/*.json'))\n"
      "assert files\n"
      "bad = [(f, e.message) for f in files for e in v.iter_errors(json.load(open(f)))]\n"
      "print(bad)\n"
      "sys.exit(1 if bad else 0)\n"
      "EOF";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  // Every example also loads.
  for (auto& e : fs::directory_iterator(src + "/examples")) {
    if (e.path().extension() != ".json") continue;
    EXPECT_NO_THROW(scene::LoadDocument(e.path().string())) << e.path();
  }
}

}  // namespace
