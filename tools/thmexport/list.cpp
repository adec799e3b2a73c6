#include "tools/thmexport/list.h"

#include <sstream>

namespace thmexport {

std::string FormatSummary(const scene::ModelSummary& m) {
  std::ostringstream o;
  o << m.path << "\n";
  const double up = m.upAxis.value_or(1);
  o << "up axis: "
    << (m.upAxis ? (up == 0   ? "x"
                    : up == 2 ? "z"
                              : "y")
                 : "y")
    << (m.upAxis ? " (file metadata)" : " (Assimp's)");
  if (m.unitCm) o << ", unit: " << *m.unitCm << " cm";
  o << "\n";
  o << "nodes: " << m.nodes.size() << "\n";
  for (const auto& n : m.nodes) {
    o << "  " << std::string(size_t(n.depth) * 2, ' ') << "'" << n.name << "'";
    if (n.meshes)
      o << " mesh x" << n.meshes;
    else if (n.light)
      o << " light";
    else if (n.camera)
      o << " camera";
    o << "\n";
  }
  o << "meshes: " << m.meshes.size() << "\n";
  for (size_t i = 0; i < m.meshes.size(); ++i) {
    const auto& x = m.meshes[i];
    o << "  " << i << " '" << x.name << "': " << x.vertices << " vertices, " << x.faces << " faces, material "
      << x.material << (x.normals ? ", normals" : "") << (x.uv ? ", uv" : "");
    if (x.bones) o << ", " << x.bones << " bones";
    o << "\n";
  }
  o << "materials: " << m.materials.size() << "\n";
  for (size_t i = 0; i < m.materials.size(); ++i) {
    o << "  " << i << " '" << m.materials[i].name << "'";
    if (m.materials[i].diffuse) o << " diffuse '" << *m.materials[i].diffuse << "'";
    o << "\n";
  }
  o << "lights: " << m.lights.size() << "\n";
  static const char* kinds[] = {"undefined", "directional", "point", "spot", "ambient", "area"};
  for (const auto& l : m.lights)
    o << "  '" << l.name << "': " << kinds[l.type] << ", colour " << l.r << " " << l.g << " " << l.b << "\n";
  o << "cameras: " << m.cameras << "\n";
  o << "animations: " << m.animations.size() << "\n";
  for (size_t i = 0; i < m.animations.size(); ++i) {
    const auto& a = m.animations[i];
    o << "  " << i << " '" << a.name << "': " << a.seconds << " s, " << a.channels << " channels\n";
  }
  o << "embedded textures: " << m.textures << "\n";
  for (const std::string& r : m.repairs) o << "repaired: " << r << "\n";
  return o.str();
}

std::string FormatDocument(const std::string& path, const scene::Scene& s) {
  std::string out = path + ": scene document, " + std::to_string(s.NodeCount()) + " nodes\n";
  for (scene::Node* n : s.WalkOrder()) out += "  node \"" + (n->name ? *n->name : std::string()) + "\"\n";
  return out;
}

}  // namespace thmexport
