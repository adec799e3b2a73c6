// The whole program as a user runs it: thmexport on the same torus as a scene
// document, an OBJ, a glTF binary and an FBX file, and on a scene of many
// small nodes, beside gltfpack (the field's reference converter) on the same
// OBJ and glTF files. Each input is generated once into a folder, each command
// runs several times as its own process; best and median wall time and the
// peak resident memory (wait4) are printed, with the ratios.
//
//   bench_e2e [--sizes 100000,1000000,4000000] [--runs 5] [--boxes N] [--cones 60000,200000]
//             [--dir DIR] [--keep]
//             [--thmexport PATH]   (another build's, for figures before and after)
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <assimp/Exporter.hpp>
#include <assimp/Importer.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench/mesh_gen.h"

namespace fs = std::filesystem;

namespace {

// ---- Inputs ------------------------------------------------------------------

// Shortest text that reads back as the same float.
void PutFloat(std::string& out, float f) {
  char buf[32];
  for (int digits = 6; digits <= 9; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, double(f));
    if (std::strtof(buf, nullptr) == f) break;
  }
  out += buf;
}

void PutInt(std::string& out, long long v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%lld", v);
  out += buf;
}

void Save(const fs::path& p, const std::string& text) {
  FILE* f = std::fopen(p.c_str(), "wb");
  if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
    std::fprintf(stderr, "bench_e2e: cannot write %s\n", p.c_str());
    std::exit(2);
  }
}

// The mesh object of a scene document, as one line per array.
void MeshJson(std::string& o, const Mesh& m) {
  o += "{\"class\": \"mesh\",\n \"vertices\": [";
  for (size_t i = 0; i < m.verts.size(); ++i) {
    o += i ? ",[" : "[";
    PutFloat(o, m.verts[i].x), o += ',', PutFloat(o, m.verts[i].y), o += ',', PutFloat(o, m.verts[i].z),
        o += ']';
  }
  o += "],\n \"faces\": [";
  for (size_t f = 0; f < m.faces.size(); ++f) {
    o += f ? ",[" : "[";
    PutInt(o, m.faces[f].v[0]), o += ',', PutInt(o, m.faces[f].v[1]), o += ',', PutInt(o, m.faces[f].v[2]),
        o += ']';
  }
  o += "],\n \"smoothing\": [";
  for (size_t f = 0; f < m.faces.size(); ++f) (f ? o += ',' : o), PutInt(o, m.faces[f].smGroup);
  o += "],\n \"materialIds\": [";
  for (size_t f = 0; f < m.faces.size(); ++f) (f ? o += ',' : o), PutInt(o, m.faces[f].matID);
  if (!m.tVerts.empty()) {
    o += "],\n \"tverts\": [";
    for (size_t i = 0; i < m.tVerts.size(); ++i) {
      o += i ? ",[" : "[";
      PutFloat(o, m.tVerts[i].x), o += ',', PutFloat(o, m.tVerts[i].y), o += ']';
    }
    o += "],\n \"tvfaces\": [";
    for (size_t f = 0; f < m.tvFace.size(); ++f) {
      const TVFace& t = m.tvFace[f];
      o += f ? ",[" : "[";
      PutInt(o, t.t[0]), o += ',', PutInt(o, t.t[1]), o += ',', PutInt(o, t.t[2]), o += ']';
    }
  }
  o += "]}";
}

std::string TorusDocument(const Mesh& m, int materials) {
  std::string o = "{\"format\": \"thm-scene\", \"version\": 1,\n \"materials\": {";
  for (int k = 0; k < materials; ++k)
    o += "\"band" + std::to_string(k) + "\": {\"class\": \"standard\", \"name\": \"Band" + std::to_string(k) +
         "\", \"maps\": {\"diffuse\": {\"map\": {\"class\": \"bitmap\", \"fileName\": \"band" +
         std::to_string(k) + ".tga\"}}}}, ";
  o += "\"torus\": {\"class\": \"multi\", \"name\": \"TorusMulti\", \"subMaterials\": [";
  for (int k = 0; k < materials; ++k) o += (k ? ", \"band" : "\"band") + std::to_string(k) + "\"";
  o += "]}},\n \"nodes\": [{\"name\": \"Torus\", \"material\": \"torus\", \"object\": ";
  MeshJson(o, m);
  return o + "}]}\n";
}

// Corner normals as the plug-in derives them from smoothing groups, so that an
// importer rebuilds the same bands from the OBJ's normals.
std::vector<Point3> CornerNormals(const Mesh& m) {
  std::vector<Point3> face(m.faces.size());
  for (size_t f = 0; f < m.faces.size(); ++f) {
    const Face& x = m.faces[f];
    Point3 n = CrossProd(m.verts[x.v[1]] - m.verts[x.v[0]], m.verts[x.v[2]] - m.verts[x.v[0]]);
    const float len = Length(n);
    face[f] = len > 0 ? n / len : Point3(0, 0, 1);
  }
  std::map<std::pair<int, uint32_t>, Point3> sum;
  for (size_t f = 0; f < m.faces.size(); ++f)
    for (int k = 0; k < 3 && m.faces[f].smGroup; ++k)
      for (int bit = 0; bit < 32; ++bit)
        if (m.faces[f].smGroup >> bit & 1) sum[{m.faces[f].v[k], 1u << bit}] += face[f];
  std::vector<Point3> out(m.faces.size() * 3);
  for (size_t f = 0; f < m.faces.size(); ++f)
    for (int k = 0; k < 3; ++k) {
      Point3 n = face[f];
      if (uint32_t sg = m.faces[f].smGroup) {
        n = sum[{m.faces[f].v[k], sg & (~sg + 1)}];
        n = n / Length(n);
      }
      out[f * 3 + k] = n;
    }
  return out;
}

// With no materials, all faces and no material library.
std::string TorusObj(const Mesh& m, int materials, const std::string& mtl) {
  std::string o = materials ? "mtllib " + mtl + "\no Torus\n" : "o Torus\n";
  for (const Point3& p : m.verts)
    o += "v ", PutFloat(o, p.x), o += ' ', PutFloat(o, p.y), o += ' ', PutFloat(o, p.z), o += '\n';
  for (const Point3& t : m.tVerts) o += "vt ", PutFloat(o, t.x), o += ' ', PutFloat(o, t.y), o += '\n';
  const std::vector<Point3> normals = CornerNormals(m);
  // Equal normals share one line.
  std::map<std::array<uint32_t, 3>, int> seen;
  std::vector<int> vn(normals.size());
  for (size_t c = 0; c < normals.size(); ++c) {
    const Point3& n = normals[c];
    std::array<uint32_t, 3> key;
    std::memcpy(key.data(), &n, 12);
    auto [it, fresh] = seen.emplace(key, static_cast<int>(seen.size()) + 1);
    if (fresh)
      o += "vn ", PutFloat(o, n.x), o += ' ', PutFloat(o, n.y), o += ' ', PutFloat(o, n.z), o += '\n';
    vn[c] = it->second;
  }
  for (int k = 0; k < std::max(materials, 1); ++k) {
    if (materials) o += "usemtl band" + std::to_string(k) + "\n";
    for (size_t f = 0; f < m.faces.size(); ++f) {
      if (materials && m.faces[f].matID != k) continue;
      o += 'f';
      for (int c = 0; c < 3; ++c) {
        o += ' ', PutInt(o, m.faces[f].v[c] + 1), o += '/', PutInt(o, m.tvFace[f].t[c] + 1);
        o += '/', PutInt(o, vn[f * 3 + c]);
      }
      o += '\n';
    }
  }
  return o;
}

// `count` boxes of 8 vertices and 12 triangles, each a node of its own.
void Boxes(int count, std::string* doc, std::string* obj) {
  static const int tri[12][3] = {{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
                                 {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}};
  *doc = "{\"format\": \"thm-scene\", \"version\": 1, \"nodes\": [\n";
  *obj = "";
  const int side = static_cast<int>(std::ceil(std::cbrt(count)));
  for (int b = 0; b < count; ++b) {
    const float x = float(b % side) * 3, y = float(b / side % side) * 3, z = float(b / (side * side)) * 3;
    *doc += b ? ",\n" : "";
    *doc += "{\"name\": \"Box" + std::to_string(b) + "\", \"transform\": {\"position\": [";
    PutFloat(*doc, x), *doc += ',', PutFloat(*doc, y), *doc += ',', PutFloat(*doc, z);
    *doc += "]}, \"object\": {\"class\": \"mesh\", \"vertices\": [";
    *obj += "o Box" + std::to_string(b) + "\n";
    for (int v = 0; v < 8; ++v) {
      *doc += v ? ",[" : "[";
      *doc +=
          std::to_string(v & 1) + "," + std::to_string(v >> 1 & 1) + "," + std::to_string(v >> 2 & 1) + "]";
      *obj += "v ", PutFloat(*obj, x + float(v & 1)), *obj += ' ', PutFloat(*obj, y + float(v >> 1 & 1));
      *obj += ' ', PutFloat(*obj, z + float(v >> 2 & 1)), *obj += '\n';
    }
    *doc += "], \"faces\": [";
    for (int t = 0; t < 12; ++t) {
      *doc += t ? ",[" : "[";
      *doc +=
          std::to_string(tri[t][0]) + "," + std::to_string(tri[t][1]) + "," + std::to_string(tri[t][2]) + "]";
      *obj += "f " + std::to_string(8 * b + tri[t][0] + 1) + " " + std::to_string(8 * b + tri[t][1] + 1) +
              " " + std::to_string(8 * b + tri[t][2] + 1) + "\n";
    }
    *doc += "]}}";
  }
  *doc += "]}\n";
}

// A smooth cone of n segments as OBJ with normals, the shape of CAD and
// scanned meshes where very many faces meet at one position: each side face's
// normal at the apex points out at the face's middle, at the rim the rim
// position's own; the base is a fan round its centre. Radius 10, height 20,
// so that even 200,000 rim positions lie further apart than the plug-in welds.
std::string ConeObj(int n) {
  const double h = 20, r = 10, s = std::hypot(h, r), pi = 3.14159265358979323846;
  std::string o = "o Cone\nv 0 20 0\n";
  for (int i = 0; i < n; ++i) {
    const double a = 2 * pi * i / n;
    o += "v ", PutFloat(o, float(r * std::cos(a))), o += " 0 ", PutFloat(o, float(r * std::sin(a))),
        o += '\n';
  }
  o += "v 0 0 0\n";
  for (int half = 0; half < 2; ++half)
    for (int i = 0; i < n; ++i) {
      const double a = 2 * pi * (i + 0.5 * half) / n;
      o += "vn ", PutFloat(o, float(h / s * std::cos(a))), o += ' ', PutFloat(o, float(r / s)), o += ' ';
      PutFloat(o, float(h / s * std::sin(a))), o += '\n';
    }
  o += "vn 0 -1 0\n";
  for (int i = 0; i < n; ++i) {
    const int j = (i + 1) % n;
    o += "f 1//", PutInt(o, n + i + 1), o += ' ', PutInt(o, j + 2), o += "//", PutInt(o, j + 1), o += ' ';
    PutInt(o, i + 2), o += "//", PutInt(o, i + 1), o += '\n';
  }
  for (int i = 0; i < n; ++i) {
    const int j = (i + 1) % n;
    o += "f ", PutInt(o, n + 2), o += "//", PutInt(o, 2 * n + 1), o += ' ', PutInt(o, i + 2), o += "//";
    PutInt(o, 2 * n + 1), o += ' ', PutInt(o, j + 2), o += "//", PutInt(o, 2 * n + 1), o += '\n';
  }
  return o;
}

// ---- Running -----------------------------------------------------------------

struct Sample {
  double seconds = 0;
  long peakKB = 0;
  int status = -1;
};

Sample RunOnce(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  Sample s;
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  s.peakKB = ru.ru_maxrss;
  s.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return s;
}

struct Timing {
  double best = 0, median = 0;
  long peakMB = 0;
  bool ok = false;
};

Timing Time(const std::vector<std::string>& argv, int runs) {
  std::vector<Sample> s;
  for (int i = 0; i < runs; ++i) s.push_back(RunOnce(argv));
  Timing t;
  t.ok = std::all_of(s.begin(), s.end(), [](const Sample& x) { return x.status == 0; });
  std::sort(s.begin(), s.end(), [](const Sample& a, const Sample& b) { return a.seconds < b.seconds; });
  t.best = s.front().seconds;
  t.median = s[s.size() / 2].seconds;
  for (const Sample& x : s) t.peakMB = std::max(t.peakMB, x.peakKB / 1024);
  return t;
}

std::string Find(const char* name) {
  for (const char* dir : {"/usr/bin", "/usr/local/bin"})
    if (fs::exists(fs::path(dir) / name)) return (fs::path(dir) / name).string();
  return "";
}

std::string Size(const fs::path& p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", double(fs::file_size(p)) / 1e6);
  return buf;
}

void Row(const std::string& label, const std::string& input, const Timing& t,
         const std::optional<Timing>& ref, const std::string& refLabel) {
  std::printf("| %-28s | %-9s | %6.3f | %6.3f | %5ld |", label.c_str(), input.c_str(), t.best, t.median,
              t.peakMB);
  if (ref && ref->ok)
    std::printf(" %6.3f | %5ld | %5.2fx | %5.2fx | %s |\n", ref->best, ref->peakMB, t.best / ref->best,
                double(t.peakMB) / double(std::max(1L, ref->peakMB)), refLabel.c_str());
  else
    std::printf("      - |     - |     - |     - | %s |\n", refLabel.c_str());
  if (!t.ok) std::printf("  (thmexport did not exit 0 on %s)\n", label.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {100000, 1000000, 4000000};
  int runs = 5;
  fs::path dir = fs::temp_directory_path() / "thm_bench_e2e";
  bool keep = false;
  int boxes = 20000;
  std::vector<int> cones = {60000, 200000};
  std::string other;  // another build's thmexport
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--sizes" && i + 1 < argc) {
      sizes.clear();
      for (char* p = argv[++i]; *p;) {
        char* end = p;
        sizes.push_back(static_cast<int>(std::strtol(p, &end, 10)));
        if (end == p) break;  // not a number: stop rather than spin
        p = *end == ',' ? end + 1 : end;
      }
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--boxes" && i + 1 < argc) {
      boxes = std::atoi(argv[++i]);
    } else if (a == "--cones" && i + 1 < argc) {
      cones.clear();
      for (char* p = argv[++i]; *p;) {
        char* end = p;
        if (const int c = static_cast<int>(std::strtol(p, &end, 10)); c > 0) cones.push_back(c);
        if (end == p) break;
        p = *end == ',' ? end + 1 : end;
      }
    } else if (a == "--thmexport" && i + 1 < argc) {
      other = argv[++i];
    } else if (a == "--keep") {
      keep = true;
    } else {
      std::fprintf(
          stderr,
          "usage: bench_e2e [--sizes N,N,...] [--runs N] [--boxes N] [--cones N,N,...] [--dir DIR] [--keep] "
          "[--thmexport PATH]\n");
      return 2;
    }
  }
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  self[n > 0 ? n : 0] = '\0';
  const std::string thmexport = other.empty() ? (fs::path(self).parent_path() / "thmexport").string() : other;
  const std::string gltfpack = Find("gltfpack");
  fs::create_directories(dir);
  std::printf("thmexport: %s\ngltfpack: %s\nruns per command: %d (best and median wall time, peak RSS)\n\n",
              thmexport.c_str(), gltfpack.empty() ? "not installed" : gltfpack.c_str(), runs);
  std::printf(
      "| input | size | best s | median s | peak MB | gltfpack s | gltfpack MB | time ratio | memory ratio | "
      "reference |\n|---|---|---|---|---|---|---|---|---|---|\n");

  auto thm = [&](const fs::path& in) {
    return std::vector<std::string>{thmexport, "--quiet", in, "-o", dir / "out.thm"};
  };
  auto pack = [&](const fs::path& in) {
    return std::vector<std::string>{gltfpack, "-i", in, "-o", dir / "out.glb", "-noq"};
  };
  auto packed = [&](const fs::path& in) -> std::optional<Timing> {
    if (gltfpack.empty()) return std::nullopt;
    return Time(pack(in), runs);
  };

  // Inputs first, in a scope of their own: the children forked to time the
  // runs must not start as a copy of a large parent (its pages would count).
  struct Torus {
    std::string tag;
    fs::path doc, obj, glb, fbx;
  };
  std::vector<Torus> tori;
  // Generated in a child process, so that this one stays small.
  const pid_t generator = fork();
  for (int size : sizes) {
    Torus t;
    t.tag = std::to_string(size / 1000) + "k";
    t.doc = dir / ("torus" + t.tag + ".scene.json"), t.obj = dir / ("torus" + t.tag + ".obj");
    t.glb = dir / ("torus" + t.tag + ".glb"), t.fbx = dir / ("torus" + t.tag + ".fbx");
    tori.push_back(t);
    if (generator != 0) continue;
    scene::Scene s;
    scene::Node& node = bench::MakeTorus(s, size, 2);
    const Mesh& m = static_cast<scene::MeshObject*>(node.BaseObject())->mesh;
    if (!fs::exists(t.doc)) Save(t.doc, TorusDocument(m, 2));
    if (!fs::exists(t.obj)) {
      Save(dir / "torus.mtl", "newmtl band0\nmap_Kd band0.tga\nnewmtl band1\nmap_Kd band1.tga\n");
      Save(t.obj, TorusObj(m, 2, "torus.mtl"));
    }
    // gltfpack's own output of the mesh, without materials (its image
    // references are not ones Assimp reads).
    if (!fs::exists(t.glb) && !gltfpack.empty()) {
      const fs::path plain = dir / "plain.obj";
      Save(plain, TorusObj(m, 0, ""));
      RunOnce({gltfpack, "-i", plain, "-o", t.glb, "-noq"});
      fs::remove(plain);
    }
    // Assimp's binary FBX writer makes files its reader refuses: the ASCII form.
    if (!fs::exists(t.fbx)) {
      Assimp::Importer imp;
      if (const aiScene* sc = imp.ReadFile(t.obj.string(), aiProcess_Triangulate))
        Assimp::Exporter().Export(sc, "fbxa", t.fbx.string());
    }
  }
  fs::path boxDoc, boxObj;
  if (boxes > 0) {
    boxDoc = dir / ("boxes" + std::to_string(boxes) + ".scene.json");
    boxObj = dir / ("boxes" + std::to_string(boxes) + ".obj");
    if (generator == 0 && (!fs::exists(boxDoc) || !fs::exists(boxObj))) {
      std::string d, o;
      Boxes(boxes, &d, &o);
      Save(boxDoc, d);
      Save(boxObj, o);
    }
  }
  std::vector<std::pair<int, fs::path>> coneFiles;
  for (int n : cones) {
    coneFiles.push_back({n, dir / ("cone" + std::to_string(n) + ".obj")});
    if (generator == 0 && !fs::exists(coneFiles.back().second)) Save(coneFiles.back().second, ConeObj(n));
  }
  if (generator == 0) _exit(0);
  waitpid(generator, nullptr, 0);

  for (const Torus& t : tori) {
    const std::optional<Timing> objRef = packed(t.obj);
    const std::string& tag = t.tag;
    Row("torus " + tag + " scene document", Size(t.doc), Time(thm(t.doc), runs), objRef,
        "gltfpack on the OBJ");
    Row("torus " + tag + " OBJ", Size(t.obj), Time(thm(t.obj), runs), objRef, "gltfpack on the OBJ");
    if (fs::exists(t.glb))
      Row("torus " + tag + " glTF binary", Size(t.glb), Time(thm(t.glb), runs), packed(t.glb),
          "gltfpack on the GLB");
    if (fs::exists(t.fbx))
      Row("torus " + tag + " FBX (ASCII)", Size(t.fbx), Time(thm(t.fbx), runs), objRef,
          "gltfpack on the OBJ");
    std::fflush(stdout);
  }
  if (boxes > 0) {
    const std::optional<Timing> objRef = packed(boxObj);
    Row(std::to_string(boxes) + " boxes scene document", Size(boxDoc), Time(thm(boxDoc), runs), objRef,
        "gltfpack on the OBJ");
    Row(std::to_string(boxes) + " boxes OBJ", Size(boxObj), Time(thm(boxObj), runs), objRef,
        "gltfpack on the OBJ");
  }
  for (const auto& [n, file] : coneFiles)
    Row("cone of " + std::to_string(n) + " segments OBJ", Size(file), Time(thm(file), runs), packed(file),
        "gltfpack on the OBJ");
  if (!keep) fs::remove_all(dir);
  return 0;
}
