// The node tree of a scene document, its note tracks, and the document itself.
#include <algorithm>

#include "document/loader.h"

namespace scene::doc {

void Loader::Load(sj::document& doc) {
  const sj::json_type t = Get(doc.type());
  r_.Expect(t == sj::json_type::object, "an object", t);
  bool format = false, version = false;
  Fields(Get(doc.get_object()),
         {"$schema", "format", "version", "ticksPerFrame", "animationRange", "masterScale", "materials",
          "nodes"},
         [&](std::string_view key, sj::value& v) {
           if (key == "$schema") {
             r_.String(v);
           } else if (key == "format") {
             format = true;
             const sj::json_type ft = r_.Type(v);
             if (ft != sj::json_type::string) Fail("expected \"thm-scene\", got " + r_.Dump(v));
             const std::string_view f = Get(v.get_string());
             if (f != "thm-scene") Fail("expected \"thm-scene\", got " + json::DumpString(f));
           } else if (key == "version") {
             version = true;
             const int64_t ver = r_.Int(v, INT64_MIN, INT64_MAX);
             if (ver != 1)
               Fail("unsupported version " + std::to_string(ver) + " (this host reads version 1)");
           } else if (key == "ticksPerFrame") {
             scene_.ticksPerFrame = static_cast<int>(r_.Int(v, 1, INT32_MAX));
           } else if (key == "animationRange") {
             const sj::json_type rt = r_.Type(v);
             sj::array a;
             bool pair = false;
             if (rt == sj::json_type::array) {
               a = Get(v.get_array());
               pair = r_.Count(a) == 2;
             }
             r_.Expect(pair, "[start, end] in ticks", rt);
             TimeValue range[2];
             size_t k = 0;
             for (auto e : a) {
               sj::value x = Get(std::move(e));
               Step s(p_, k);
               range[k++] = r_.Int32(x);
             }
             scene_.animationRange = Interval(range[0], range[1]);
           } else if (key == "masterScale") {
             const double d = r_.Double(v);
             if (!(d > 0)) Fail("the master scale must be greater than 0");
             scene_.masterScale = d;
           } else if (key == "materials") {
             ReadMaterials(v);
           } else {
             sj::array nodes = r_.Array(v);
             size_t i = 0;
             for (auto e : nodes) {
               sj::value n = Get(std::move(e));
               Step s(p_, i++);
               ReadNode(n, nullptr, 1);
             }
           }
         });
  Required(format, "format");
  Required(version, "version");
  // Anything but white space after the document is an error of the text.
  const char* rest;
  if (doc.current_location().get(rest) == simdjson::SUCCESS) throw SyntaxFault{simdjson::TRAILING_CONTENT};
  if (!materialsRead_) LinkMaterials();
  ResolveMaterials();
  ResolveBones();
}

void Loader::ReadNode(sj::value& v, Node* parent, int depth) {
  if (depth > kMaxNodeDepth) Fail("nodes are nested more than " + std::to_string(kMaxNodeDepth) + " deep");
  sj::object obj = r_.Object(v);
  Node& n = scene_.AddNode("", parent);
  bool objectKnown = false;
  std::string modifiersPath;  // where the stack stood, while the object is not known
  size_t modifierCount = 0;
  Fields(obj,
         {"name", "hidden", "transform", "animation", "objectOffset", "material", "object", "modifiers",
          "noteTracks", "children"},
         [&](std::string_view key, sj::value& x) {
           if (key == "name") {
             n.name = NullableString(x);
             if (n.name && ReadsAsNoName(*n.name)) Fail(std::string("the name ") + kReadsAsNoName);
           } else if (key == "hidden") {
             n.hidden = r_.Bool(x);
           } else if (key == "transform") {
             n.transform = Transform(x);
           } else if (key == "animation") {
             sj::array keys = r_.Array(x);
             size_t i = 0;
             for (auto e : keys) {
               sj::value k = Get(std::move(e));
               Step s(p_, i++);
               TransformKey key;
               bool hasTime = false, hasTransform = false;
               Fields(r_.Object(k), {"time", "transform"}, [&](std::string_view f, sj::value& y) {
                 if (f == "time") {
                   hasTime = true;
                   key.time = r_.Int32(y);
                 } else {
                   hasTransform = true;
                   key.transform = Transform(y);
                 }
               });
               Required(hasTime, "time");
               Required(hasTransform, "transform");
               if (!n.keys.empty() && key.time <= n.keys.back().time)
                 r_.FailAt(p_.Child("time"), "key times must ascend: " + std::to_string(key.time) +
                                                 " follows " + std::to_string(n.keys.back().time));
               n.keys.push_back(key);
             }
           } else if (key == "objectOffset") {
             n.objectOffset = Transform(x);
           } else if (key == "material") {
             if (r_.IsNull(x)) return;
             const std::string_view id = r_.String(x);
             if (!materialsRead_) {
               nodeMaterials_.push_back({&n, std::string(id), p_.Render()});
               return;
             }
             auto it = materials_.find(id);
             if (it == materials_.end()) Fail("material " + Quote(id) + " is not defined in /materials");
             n.material = it->second;
           } else if (key == "object") {
             objectKnown = true;
             if (!r_.IsNull(x)) n.SetObject(ReadObject(x));
             if (modifierCount && !n.BaseObject())
               r_.FailAt(modifiersPath, "a modifier stack needs an object to modify");
           } else if (key == "modifiers") {
             sj::array mods = r_.Array(x);
             modifierCount = r_.Count(mods);
             if (modifierCount && objectKnown && !n.BaseObject())
               Fail("a modifier stack needs an object to modify");
             if (!objectKnown) modifiersPath = p_.Render();
             size_t i = 0;
             for (auto e : mods) {
               sj::value m = Get(std::move(e));
               Step s(p_, i++);
               n.AddModifier(ReadModifier(m, n.BaseObject(), objectKnown, n));
             }
           } else if (key == "noteTracks") {
             sj::array tracks = r_.Array(x);
             size_t i = 0;
             for (auto e : tracks) {
               sj::value t = Get(std::move(e));
               Step s(p_, i++);
               ReadNoteTrack(t, n);
             }
           } else {
             sj::array kids = r_.Array(x);
             size_t i = 0;
             for (auto e : kids) {
               sj::value c = Get(std::move(e));
               Step s(p_, i++);
               ReadNode(c, &n, depth + 1);
             }
           }
         });
  if (modifierCount && !objectKnown) r_.FailAt(modifiersPath, "a modifier stack needs an object to modify");
  // Weight rows read before the object: one row per vertex of a mesh.
  auto* mesh = dynamic_cast<MeshObject*>(n.BaseObject());
  for (const PendingRows& pr : rows_)
    if (pr.node == &n && mesh && pr.rows != mesh->mesh.verts.size())
      r_.FailAt(pr.path, "has " + std::to_string(pr.rows) + " rows; the mesh has " +
                             std::to_string(mesh->mesh.verts.size()) + " vertices (one row per vertex)");
  std::erase_if(rows_, [&](const PendingRows& pr) { return pr.node == &n; });
}

void Loader::ReadNoteTrack(sj::value& v, Node& node) {
  NoteTrackImpl& track = node.AddNoteTrack();
  Fields(r_.Object(v), {"classId", "keys"}, [&](std::string_view key, sj::value& x) {
    if (key == "classId") {
      track.classId = ClassId(x);
      return;
    }
    sj::array keys = r_.Array(x);
    size_t i = 0;
    for (auto e : keys) {
      sj::value k = Get(std::move(e));
      Step s(p_, i++);
      NoteKey note;
      bool hasTime = false, hasText = false;
      Fields(r_.Object(k), {"time", "text"}, [&](std::string_view f, sj::value& y) {
        if (f == "time") {
          hasTime = true;
          note.time = r_.Int32(y);
        } else {
          hasText = true;
          note.note = CStr(std::string(r_.String(y)));
        }
      });
      Required(hasTime, "time");
      Required(hasText, "text");
      track.keys.push_back(std::move(note));
    }
  });
}

}  // namespace scene::doc
