// Objects of a scene document: meshes and lights, and the other classes.
#include <map>

#include "document/loader.h"

namespace scene::doc {

Object* Loader::ReadObject(sj::value& v) {
  sj::object obj = r_.Object(v, "an object (or null)");
  const std::string_view cls = ClassOf(obj);
  if (cls == "mesh") {
    auto& m = scene_.Make<MeshObject>();
    ReadMesh(obj, m.mesh, true);
    return &m;
  }
  if (cls == "light") return ReadLight(obj);
  if (cls == "camera" || cls == "dummy") {
    const bool camera = cls == "camera";
    Fields(
        obj, {"class"}, [](std::string_view, sj::value&) {}, "class");
    return camera ? GenericObject::Camera(scene_) : GenericObject::Dummy(scene_);
  }
  if (cls == "shape") {
    GenericObject* shape = GenericObject::Shape(scene_);
    Fields(
        obj, {"class", "mesh"},
        [&](std::string_view, sj::value& x) {
          // A shape that the host can turn into a triangle mesh: this one.
          auto& mesh = scene_.Make<MeshObject>();
          ReadMesh(r_.Object(x), mesh.mesh, false);
          shape->conversions.extra.push_back({TRIOBJ_CLASS_ID, &mesh});
        },
        "class");
    return shape;
  }
  r_.FailAt(p_.Child("class"),
            "unknown object class " + Quote(cls) + " (mesh, light, camera, dummy or shape)");
}

void Loader::ReadMesh(sj::object obj, Mesh& mesh, bool withClass) {
  bool hasVerts = false, hasFaces = false, hasTVerts = false, hasTVFaces = false;
  bool facesChecked = false, tvfacesChecked = false, tvfacesCounted = false;
  // Per-face arrays that came before the faces: their values, checked at the end.
  std::map<std::string_view, std::vector<uint32_t>> later;
  auto apply = [&](std::string_view key, size_t f, uint32_t value) {
    Face& face = mesh.faces[f];
    if (key == "smoothing")
      face.smGroup = value;
    else if (key == "edges")
      face.flags = value;
    else
      face.matID = static_cast<uint16_t>(value);
  };
  Fields(
      obj,
      withClass ? Keys{"class", "vertices", "faces", "smoothing", "edges", "materialIds", "tverts", "tvfaces"}
                : Keys{"vertices", "faces", "smoothing", "edges", "materialIds", "tverts", "tvfaces"},
      [&](std::string_view key, sj::value& x) {
        if (key == "vertices") {
          hasVerts = true;
          ReadVertices(x, mesh);
        } else if (key == "faces") {
          hasFaces = true;
          facesChecked = hasVerts;
          ReadFaces(x, mesh, hasVerts);
        } else if (key == "smoothing" || key == "edges" || key == "materialIds") {
          std::vector<uint32_t> values =
              PerFace(x, mesh, hasFaces, key == "materialIds" ? 65535 : UINT32_MAX);
          if (!hasFaces) {
            later[key] = std::move(values);
            return;
          }
          for (size_t f = 0; f < values.size(); ++f) apply(key, f, values[f]);
        } else if (key == "tverts") {
          hasTVerts = true;
          ReadTVerts(x, mesh);
        } else {
          hasTVFaces = true;
          tvfacesChecked = hasTVerts;
          tvfacesCounted = hasFaces;
          ReadTVFaces(x, mesh, hasTVerts, hasFaces);
        }
      },
      withClass ? "class" : "");
  Required(hasVerts, "vertices");
  Required(hasFaces, "faces");
  auto at = [&](std::string_view key, size_t i, int k) {
    json::Path p = p_;
    p.PushKey(key);
    p.PushIndex(i);
    if (k >= 0) p.PushIndex(static_cast<size_t>(k));
    return p.Render();
  };
  const int64_t nv = static_cast<int64_t>(mesh.verts.size());
  if (!facesChecked)
    for (size_t f = 0; f < mesh.faces.size(); ++f)
      for (int k = 0; k < 3; ++k)
        if (const int idx = mesh.faces[f].v[k]; idx < 0 || idx >= nv)
          r_.FailAt(at("faces", f, k), "vertex index " + std::to_string(idx) +
                                           " is out of range: the mesh has " + std::to_string(nv) +
                                           " vertices");
  for (const char* key : {"smoothing", "edges", "materialIds"}) {
    auto it = later.find(key);
    if (it == later.end()) continue;
    if (it->second.size() != mesh.faces.size())
      r_.FailAt(p_.Child(key), "has " + std::to_string(it->second.size()) + " entries; the mesh has " +
                                   std::to_string(mesh.faces.size()) + " faces (one per face)");
    for (size_t f = 0; f < it->second.size(); ++f) apply(key, f, it->second[f]);
  }
  if (hasTVFaces && !tvfacesCounted && mesh.tvFace.size() != mesh.faces.size())
    r_.FailAt(p_.Child("tvfaces"), "has " + std::to_string(mesh.tvFace.size()) + " entries; the mesh has " +
                                       std::to_string(mesh.faces.size()) + " faces (one per face)");
  const int64_t nt = static_cast<int64_t>(mesh.tVerts.size());
  if (hasTVFaces && !tvfacesChecked)
    for (size_t f = 0; f < mesh.tvFace.size(); ++f)
      for (int k = 0; k < 3; ++k)
        if (const int idx = mesh.tvFace[f].t[k]; idx < 0 || idx >= nt)
          r_.FailAt(at("tvfaces", f, k), "texture vertex index " + std::to_string(idx) +
                                             " is out of range: the mesh has " + std::to_string(nt) +
                                             " texture vertices");
}

Object* Loader::ReadLight(sj::object obj) {
  std::optional<std::string> type;
  std::optional<int> stateType;
  std::optional<float> target;
  LightState s;
  // The switch: a boolean, or an integer passed on as it is.
  auto onValue = [&](sj::value& x) -> int {
    const sj::json_type t = r_.Type(x);
    if (t == sj::json_type::boolean) return r_.Bool(x) ? 1 : 0;
    const char* what = "true, false or an integer";
    r_.Expect(t == sj::json_type::number, what, t);
    const Number n = r_.Num(x);
    r_.Expect(n.kind != Number::kFloat, what, t);
    if (n.kind != Number::kSigned || n.i < INT32_MIN || n.i > INT32_MAX)
      Fail(n.Text() + " is out of range (" + std::to_string(INT32_MIN) + " to " + std::to_string(INT32_MAX) +
           ")");
    return static_cast<int>(n.i);
  };
  Fields(
      obj,
      {"class", "type", "stateType", "color", "intensity", "on", "hotspot", "falloff", "farAttenuation",
       "targetDistance"},
      [&](std::string_view key, sj::value& x) {
        if (key == "type") {
          type = std::string(r_.String(x));
          if (*type != "omni" && *type != "spot") Fail(Quote(*type) + " is not a light type (omni or spot)");
        } else if (key == "stateType") {
          stateType = r_.Int32(x);
        } else if (key == "color") {
          s.color = Vec3(x);
        } else if (key == "intensity") {
          s.intens = r_.Float(x);
        } else if (key == "on") {
          s.on = onValue(x);
        } else if (key == "hotspot") {
          s.hotsize = r_.Float(x);
        } else if (key == "falloff") {
          s.fallsize = r_.Float(x);
        } else if (key == "farAttenuation") {
          Fields(r_.Object(x), {"on", "start", "end"}, [&](std::string_view k, sj::value& y) {
            if (k == "on")
              s.useAtten = onValue(y);
            else if (k == "start")
              s.attenStart = r_.Float(y);
            else
              s.attenEnd = r_.Float(y);
          });
        } else {
          target = r_.Float(x);
        }
      },
      "class");
  Required(type.has_value(), "type");
  auto& l = scene_.Make<LightObj>(*type == "spot" ? SPOT_LIGHT : OMNI_LIGHT);
  s.type = stateType.value_or(l.state.type);
  l.state = s;
  if (target) l.targetDistance = *target;
  return &l;
}

}  // namespace scene::doc
