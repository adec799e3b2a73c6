// Modifiers of a scene document: the skin with its bones and weights, and the others.
#include <algorithm>

#include "document/loader.h"
#include "document/number_scan.h"

namespace scene::doc {

Modifier* Loader::ReadModifier(sj::value& v, Object* base, bool baseKnown, Node& node) {
  sj::object obj = r_.Object(v, "a modifier object");
  const std::string_view cls = ClassOf(obj);
  if (cls == "other") {
    std::optional<Class_ID> cid;
    Fields(
        obj, {"class", "classId"},
        [&](std::string_view, sj::value& x) {
          cid = ClassId(x);
          if (*cid == SKIN_CLASSID || *cid == SKIN_CLASSID_ALT)
            Fail("this is a skin modifier class id; use class \"skin\"");
        },
        "class");
    Required(cid.has_value(), "classId");
    return &scene_.Make<OtherModifier>(*cid);
  }
  if (cls != "skin")
    r_.FailAt(p_.Child("class"), "unknown modifier class " + Quote(cls) + " (skin or other)");

  auto& skin = scene_.Make<SkinModifier>();
  bool bonesKnown = false;
  std::vector<uint32_t> rowLengths;  // of rows read before the bones
  std::string weightsPath;
  Fields(
      obj, {"class", "classId", "bones", "weights"},
      [&](std::string_view key, sj::value& x) {
        if (key == "classId") {
          skin.classId = ClassId(x);
        } else if (key == "bones") {
          bonesKnown = true;
          sj::array bones = r_.Array(x);
          size_t i = 0;
          for (auto e : bones) {
            sj::value b = Get(std::move(e));
            Step s(p_, i);
            SkinModifier::Bone out;
            bool hasNode = false;
            Fields(r_.Object(b), {"node", "name", "extra"}, [&](std::string_view k, sj::value& y) {
              if (k == "node") {
                hasNode = true;
                bones_.push_back({&skin, i, std::string(r_.String(y)), p_.Render()});
              } else if (k == "name") {
                out.name = std::string(r_.String(y));
              } else {
                const sj::json_type t = r_.Type(y);
                sj::array a;
                bool three = false;
                if (t == sj::json_type::array) {
                  a = Get(y.get_array());
                  three = r_.Count(a) == 3;
                }
                r_.Expect(three, "three numbers [a, b, c]", t);
                size_t c = 0;
                for (auto z : a) {
                  sj::value w = Get(std::move(z));
                  Step st(p_, c);
                  if (r_.Type(w) == sj::json_type::string) {
                    // Raw bits, for values that no decimal number gives (NaN payloads).
                    const uint32_t bits = ClassWord(w);
                    std::memcpy(&out.extra[c], &bits, 4);
                  } else {
                    out.extra[c] = r_.Float(w);
                  }
                  ++c;
                }
              }
            });
            Required(hasNode, "node");
            skin.bones.push_back(std::move(out));
            ++i;
          }
        } else {
          if (r_.IsNull(x)) return;
          if (!bonesKnown) weightsPath = p_.Render();
          ReadWeights(x, skin, base, baseKnown, bonesKnown, node);
          if (!bonesKnown) rowLengths = std::move(lastRowLengths_);
        }
      },
      "class");
  // Rows read before the bones were known: one weight per bone each.
  const size_t nb = skin.bones.size();
  for (size_t i = 0; i < rowLengths.size(); ++i)
    if (rowLengths[i] != nb)
      r_.FailAt(weightsPath + "/" + std::to_string(i), "has " + std::to_string(rowLengths[i]) +
                                                           " weights; the skin has " + std::to_string(nb) +
                                                           " bones (one weight per bone)");
  if (skin.weights) skin.weights->columns = nb;
  return &skin;
}

void Loader::ReadWeights(sj::value& v, SkinModifier& skin, Object* base, bool baseKnown, bool bonesKnown,
                         Node& node) {
  sj::array rows = r_.Array(v, "an array of weight rows, or null");
  const size_t count = r_.Count(rows);
  if (baseKnown) {
    if (auto* mesh = dynamic_cast<MeshObject*>(base); mesh && count != mesh->mesh.verts.size())
      Fail("has " + std::to_string(count) + " rows; the mesh has " + std::to_string(mesh->mesh.verts.size()) +
           " vertices (one row per vertex)");
  } else {
    rows_.push_back({&node, count, p_.Render()});
  }
  SkinModifier::WeightTable w;
  w.rows = count;
  const size_t nb = skin.bones.size();
  w.columns = nb;
  lastRowLengths_.clear();
  if (bonesKnown) w.values.resize(count * nb);
  std::vector<float> row;
  size_t i = 0;
  p_.PushIndex(0);
  for (auto e : rows) {
    sj::value x = Get(std::move(e));
    sj::array a;
    const bool isArray = x.get_array().get(a) == simdjson::SUCCESS;
    if (bonesKnown) {
      float* out = w.values.data() + i * nb;
      size_t k;
      if (isArray && FastSmall(a, nb, nb, out, &k, FastFloat)) {
        ++i;
        continue;
      }
    }
    p_.SetIndex(i);
    if (!isArray) r_.Expect(false, "a row of weights", r_.Type(x));
    const size_t n = r_.Count(a);
    if (bonesKnown && n != nb)
      Fail("has " + std::to_string(n) + " weights; the skin has " + std::to_string(nb) +
           " bones (one weight per bone)");
    row.clear();
    size_t k = 0;
    for (auto y : a) {
      sj::value z = Get(std::move(y));
      Step s(p_, k++);
      row.push_back(r_.Float(z));
    }
    if (bonesKnown) {
      std::copy(row.begin(), row.end(), w.values.begin() + static_cast<std::ptrdiff_t>(i * nb));
    } else {
      lastRowLengths_.push_back(static_cast<uint32_t>(row.size()));
      w.values.insert(w.values.end(), row.begin(), row.end());
    }
    ++i;
  }
  p_.Pop();
  skin.weights = std::move(w);
}

void Loader::ResolveBones() {
  for (auto& p : bones_) {
    std::vector<Node*> found = scene_.FindNodes(p.node);
    if (found.empty()) r_.FailAt(p.path, "bone node " + Quote(p.node) + " does not exist");
    if (found.size() > 1)
      r_.FailAt(p.path, "bone node name " + Quote(p.node) + " is ambiguous: " + std::to_string(found.size()) +
                            " nodes have it");
    p.skin->bones[p.index].node = found.front();
  }
}

}  // namespace scene::doc
