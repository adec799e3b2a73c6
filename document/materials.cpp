// Materials and maps of a scene document: read, linked, resolved by id.
#include <algorithm>
#include <set>

#include "document/loader.h"

namespace scene::doc {

void Loader::ReadMaterials(sj::value& v) {
  sj::object obj = r_.Object(v, "an object of materials by id");
  // Multi materials refer to others by id, in any order: make all, then link.
  Entries(obj, [&](std::string_view id, sj::value& m) {
    materials_.emplace(std::string(id), ReadMaterial(m, id));
  });
  LinkMaterials();
}

void Loader::LinkMaterials() {
  materialsRead_ = true;
  std::map<Mtl*, std::vector<Mtl*>> edges;
  for (PendingMulti& pm : multis_) {
    for (size_t i = 0; i < pm.subs.size(); ++i) {
      if (!pm.subs[i]) {
        pm.multi->subs.push_back(nullptr);
        continue;
      }
      auto it = materials_.find(*pm.subs[i]);
      if (it == materials_.end()) {
        std::string at = "/materials";
        json::Path p;
        p.PushKey("materials");
        p.PushKey(pm.id);
        p.PushKey("subMaterials");
        p.PushIndex(i);
        r_.FailAt(p.Render(), "material " + Quote(*pm.subs[i]) + " is not defined in /materials");
      }
      pm.multi->subs.push_back(it->second);
      edges[pm.multi].push_back(it->second);
    }
  }
  // A multi material that contains itself would send the exporter round forever.
  std::map<Mtl*, int> state;  // 1 on the current path, 2 done
  std::map<Mtl*, std::string> idOf;
  for (auto& [id, m] : materials_) idOf[m] = id;
  std::vector<std::pair<Mtl*, size_t>> stack;
  for (auto& [id, start] : materials_) {
    if (state[start]) continue;
    stack.push_back({start, 0});
    state[start] = 1;
    while (!stack.empty()) {
      auto& [m, next] = stack.back();
      auto& out = edges[m];
      if (next == out.size()) {
        state[m] = 2;
        stack.pop_back();
        continue;
      }
      Mtl* sub = out[next++];
      if (state[sub] == 1) {
        json::Path p;
        p.PushKey("materials");
        p.PushKey(idOf[m]);
        p.PushKey("subMaterials");
        r_.FailAt(p.Render(), "material " + Quote(idOf[sub]) + " contains itself through its sub-materials");
      }
      if (state[sub] == 0) {
        state[sub] = 1;
        stack.push_back({sub, 0});
      }
    }
  }
  multis_.clear();
}

Mtl* Loader::ReadMaterial(sj::value& v, std::string_view id) {
  sj::object obj = r_.Object(v, "a material object");
  const std::string_view cls = ClassOf(obj);
  if (cls == "standard") {
    auto& m = scene_.Make<StdMaterial>();
    Fields(
        obj, {"class", "name", "twoSided", "transparencyType", "opacity", "maps"},
        [&](std::string_view key, sj::value& x) {
          if (key == "name") {
            m.name = NullableString(x);
          } else if (key == "twoSided") {
            m.twoSided = r_.Bool(x) ? 1 : 0;
          } else if (key == "transparencyType") {
            if (r_.Type(x) == sj::json_type::string) {
              const std::string_view s = r_.String(x);
              if (s == "filter")
                m.transparencyType = TRANSP_FILTER;
              else if (s == "subtractive")
                m.transparencyType = TRANSP_SUBTRACTIVE;
              else if (s == "additive")
                m.transparencyType = TRANSP_ADDITIVE;
              else
                Fail(Quote(s) + " is not a transparency type (filter, subtractive, additive or an integer)");
            } else {
              m.transparencyType = r_.Int32(x);
            }
          } else if (key == "opacity") {
            m.opacity = r_.Float(x);
          } else {
            sj::object maps = r_.Object(x, "an object of maps by slot");
            std::set<int> used;
            Entries(maps, [&](std::string_view slotKey, sj::value& slotValue) {
              int slot = -1;
              for (int i = 0; i < STD_NUM_SLOTS; ++i)
                if (slotKey == kSlotNames[i] || slotKey == std::to_string(i)) slot = i;
              if (slot < 0) {
                std::string names;
                for (auto* n : kSlotNames) names += std::string(names.empty() ? "" : ", ") + n;
                Fail("unknown map slot " + Quote(slotKey) + " (0 to 11 or " + names + ")");
              }
              if (!used.insert(slot).second) Fail("map slot " + std::to_string(slot) + " is given twice");
              auto& s = m.slots[static_cast<size_t>(slot)];
              bool hasMap = false;
              Fields(r_.Object(slotValue), {"map", "amount"}, [&](std::string_view k, sj::value& y) {
                if (k == "map") {
                  hasMap = true;
                  s.map = ReadMap(y);
                } else {
                  s.amount = r_.Float(y);
                }
              });
              Required(hasMap, "map");
            });
          }
        },
        "class");
    return &m;
  }
  if (cls == "multi") {
    auto& m = scene_.Make<MultiMaterial>();
    PendingMulti pm{&m, std::string(id), {}, false};
    Fields(
        obj, {"class", "name", "subMaterials"},
        [&](std::string_view key, sj::value& x) {
          if (key == "name") {
            m.name = NullableString(x);
            return;
          }
          sj::array subs = r_.Array(x);
          size_t i = 0;
          for (auto e : subs) {
            sj::value s = Get(std::move(e));
            Step st(p_, i++);
            if (r_.IsNull(s))
              pm.subs.push_back(std::nullopt);
            else
              pm.subs.push_back(std::string(r_.String(s)));
          }
        },
        "class");
    multis_.push_back(std::move(pm));
    return &m;  // sub-materials are linked once every material exists
  }
  if (cls == "other") {
    auto& m = scene_.Make<OtherMaterial>("", Class_ID());
    bool hasId = false;
    Fields(
        obj, {"class", "name", "classId"},
        [&](std::string_view key, sj::value& x) {
          if (key == "name") {
            m.name = NullableString(x);
            return;
          }
          hasId = true;
          const Class_ID cid = ClassId(x);
          // The exporter casts by class id: a stand-in with a known id would be read as that class.
          if (cid == DMTL_CLASS_ID || cid == MULTI_CLASS_ID)
            Fail("this is the class id of the " + std::string(cid == DMTL_CLASS_ID ? "standard" : "multi") +
                 " material; use that class");
          m.classId = cid;
        },
        "class");
    Required(hasId, "classId");
    return &m;
  }
  r_.FailAt(p_.Child("class"), "unknown material class " + Quote(cls) + " (standard, multi or other)");
}

Texmap* Loader::ReadMap(sj::value& v) {
  sj::object obj = r_.Object(v, "a texture map object");
  const std::string_view cls = ClassOf(obj);
  if (cls == "bitmap") {
    auto& m = scene_.Make<BitmapMap>();
    Fields(
        obj, {"class", "fileName", "alphaSource", "uvTransform", "crop"},
        [&](std::string_view key, sj::value& x) {
          if (key == "fileName") {
            m.fileName = NullableString(x);
            if (m.fileName && FileNameReadsAsNoName(*m.fileName))
              Fail(std::string("the file name ") + kReadsAsNoName);
          } else if (key == "alphaSource") {
            if (r_.Type(x) == sj::json_type::string) {
              const std::string_view s = r_.String(x);
              if (s == "file")
                m.alphaSource = ALPHA_FILE;
              else if (s == "rgb")
                m.alphaSource = ALPHA_RGB;
              else if (s == "none")
                m.alphaSource = ALPHA_NONE;
              else
                Fail(Quote(s) + " is not an alpha source (file, rgb, none or an integer)");
            } else {
              m.alphaSource = r_.Int32(x);
            }
          } else if (key == "uvTransform") {
            m.uvTransform = Transform(x);
          } else {
            sj::array a = r_.ArrayOf(x, 4);
            float c[4];
            size_t k = 0;
            for (auto e : a) {
              sj::value y = Get(std::move(e));
              Step s(p_, k);
              c[k++] = r_.Float(y);
            }
            m.SetCrop(c[0], c[1], c[2], c[3]);
          }
        },
        "class");
    return &m;
  }
  if (cls == "other") {
    auto& m = scene_.Make<OtherMap>(Class_ID());
    bool hasId = false;
    Fields(
        obj, {"class", "classId", "uvTransform"},
        [&](std::string_view key, sj::value& x) {
          if (key == "uvTransform") {
            m.uvTransform = Transform(x);
            return;
          }
          hasId = true;
          const Class_ID cid = ClassId(x);
          if (cid == BMTEX_CLASS_ID) Fail("this is the bitmap class id; use class \"bitmap\"");
          m.classId = cid;
        },
        "class");
    Required(hasId, "classId");
    return &m;
  }
  r_.FailAt(p_.Child("class"), "unknown texture map class " + Quote(cls) + " (bitmap or other)");
}

void Loader::ResolveMaterials() {
  for (const PendingMaterial& pm : nodeMaterials_) {
    auto it = materials_.find(pm.id);
    if (it == materials_.end())
      r_.FailAt(pm.path, "material " + Quote(pm.id) + " is not defined in /materials");
    pm.node->material = it->second;
  }
}

}  // namespace scene::doc
