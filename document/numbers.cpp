// The long number arrays of a mesh (vertices, faces, texture vertices and
// faces, per-face words), all read by one reader: the fast way from their text,
// and when that gives up, once more with care, value by value, which words
// whatever is wrong at its exact path.
#include <type_traits>

#include "document/loader.h"
#include "document/number_scan.h"

namespace scene::doc {

namespace {

// Where the elements go.
struct Points {
  std::vector<Point3>& out;
  bool uvw;  // texture vertices: a missing w is 0
  void Start(size_t n) {
    out.clear();
    out.reserve(n);
  }
  void Put(const float* c, size_t k) { out.emplace_back(c[0], c[1], !uvw || k == 3 ? c[2] : 0.0f); }
};

struct Faces {
  std::vector<Face>& out;
  void Start(size_t n) {
    out.clear();
    out.reserve(n);
  }
  void Put(const int64_t* c, size_t) {
    Face& f = out.emplace_back();
    f.v[0] = static_cast<int>(c[0]), f.v[1] = static_cast<int>(c[1]), f.v[2] = static_cast<int>(c[2]);
  }
};

struct TextureFaces {
  std::vector<TVFace>& out;
  void Start(size_t n) {
    out.clear();
    out.reserve(n);
  }
  void Put(const int64_t* c, size_t) {
    TVFace& f = out.emplace_back();
    f.t[0] = static_cast<int>(c[0]), f.t[1] = static_cast<int>(c[1]), f.t[2] = static_cast<int>(c[2]);
  }
};

struct Words {
  std::vector<uint32_t>& out;
  void Start(size_t n) {
    out.clear();
    out.reserve(n);
  }
  void Put(const int64_t* c, size_t) { out.push_back(static_cast<uint32_t>(c[0])); }
};

}  // namespace

std::string_view Loader::RawArray(sj::value& v) {
  sj::array a = r_.Array(v);
  return Get(a.raw_json());
}

template <class Fn>
void Loader::Again(std::string_view raw, Fn careful) {
  // The array lies inside the padded text: what follows it is readable padding.
  const simdjson::padded_string_view all = text_.View();
  const size_t room = all.capacity() - static_cast<size_t>(raw.data() - all.data());
  sj::parser parser;
  if (auto e = parser.allocate(raw.size(), kMaxJsonDepthForArrays)) throw SyntaxFault{e};
  sj::document doc;
  if (auto e = parser.iterate(raw.data(), raw.size(), room).get(doc)) throw SyntaxFault{e};
  sj::value v = Get(doc.get_value());
  careful(v);
}

template <class T, size_t Min, size_t Max, class Sink>
void Loader::ReadNumbers(sj::value& v, const NumberShape& shape, Sink& sink) {
  const std::string_view raw = RawArray(v);
  Scan s(raw);
  sink.Start(raw.size() / shape.minChars + 1);  // untouched room costs nothing
  auto number = [&](T* out) {
    if constexpr (std::is_same_v<T, float>)
      return s.Float(out);
    else
      return s.Int(shape.lo, shape.hi, out);
  };
  size_t n = 0;
  const bool ok = s.Array([&] {
    T c[3] = {};
    size_t k = 1;
    if (Max == 0 ? !number(c) : !s.Tuple(Min, Max, c, &k, number)) return false;
    sink.Put(c, k);
    ++n;
    return true;
  });
  if (ok && s.AtEnd() && (!shape.count || n == *shape.count)) return;
  Again(raw, [&](sj::value& x) { ReadNumbersCarefully<T>(x, shape, sink); });
}

template <class T, class Sink>
void Loader::ReadNumbersCarefully(sj::value& v, const NumberShape& shape, Sink& sink) {
  sj::array all = r_.Array(v);
  const size_t n = r_.Count(all);
  if (shape.count && n != *shape.count)
    Fail("has " + std::to_string(n) + " entries; the mesh has " + std::to_string(*shape.count) +
         " faces (one per face)");
  sink.Start(n);
  auto fast = [&](sj::value& z, T* out) {
    if constexpr (std::is_same_v<T, float>)
      return FastFloat(z, out);
    else
      return FastInt(z, shape.lo, shape.hi, out);
  };
  size_t i = 0;
  p_.PushIndex(0);
  for (auto e : all) {
    sj::value x = Get(std::move(e));
    T c[3] = {};
    if (shape.max == 0) {
      p_.SetIndex(i++);
      c[0] = r_.Int(x, shape.lo, shape.hi);
      sink.Put(c, 1);
      continue;
    }
    sj::array a;
    const bool isArray = x.get_array().get(a) == simdjson::SUCCESS;
    size_t k = 0;
    if (isArray && FastSmall(a, shape.min, shape.max, c, &k, fast)) {
      sink.Put(c, k);
      ++i;
      continue;
    }
    // The element is worded at its path.
    p_.SetIndex(i++);
    if (!shape.element) {
      const std::string what = "an array of " + std::to_string(shape.max) + " numbers";
      if (!isArray) r_.Expect(false, what, r_.Type(x));
      if (const size_t count = r_.Count(a); count != shape.max)
        Fail("expected " + what + ", got " + std::to_string(count) + " entries");
    } else {
      if (!isArray) r_.Expect(false, shape.element, r_.Type(x));
      if (const size_t count = r_.Count(a); count < shape.min || count > shape.max)
        r_.Expect(false, shape.element, sj::json_type::array);
    }
    k = 0;
    for (auto y : a) {
      sj::value z = Get(std::move(y));
      Step s(p_, k);
      if constexpr (std::is_same_v<T, float>) {
        c[k++] = r_.Float(z);
      } else {
        const int64_t idx = r_.Int(z, INT32_MIN, INT32_MAX);
        if (shape.indexKnown && (idx < shape.lo || idx > shape.hi))
          Fail(std::string(shape.noun) + " index " + std::to_string(idx) + " is out of range: the mesh has " +
               std::to_string(shape.hi + 1) + " " + shape.nouns);
        c[k++] = idx;
      }
    }
    sink.Put(c, k);
  }
  p_.Pop();
}

void Loader::ReadVertices(sj::value& v, Mesh& mesh) {
  NumberShape shape;
  shape.min = shape.max = 3;
  shape.minChars = 8;  // "[0,0,0],"
  Points sink{mesh.verts, false};
  ReadNumbers<float, 3, 3>(v, shape, sink);
}

void Loader::ReadTVerts(sj::value& v, Mesh& mesh) {
  NumberShape shape;
  shape.min = 2;
  shape.max = 3;
  shape.element = "a texture vertex [u, v] or [u, v, w]";
  shape.minChars = 6;
  Points sink{mesh.tVerts, true};
  ReadNumbers<float, 2, 3>(v, shape, sink);
}

namespace {

NumberShape Indices(size_t known, bool isKnown, const char* element, const char* noun, const char* nouns) {
  NumberShape shape;
  shape.min = shape.max = 3;
  shape.lo = isKnown ? 0 : INT32_MIN;
  shape.hi = isKnown ? static_cast<int64_t>(known) - 1 : INT32_MAX;
  shape.indexKnown = isKnown;
  shape.element = element;
  shape.noun = noun;
  shape.nouns = nouns;
  shape.minChars = 8;
  return shape;
}

}  // namespace

void Loader::ReadFaces(sj::value& v, Mesh& mesh, bool verticesKnown) {
  const NumberShape shape =
      Indices(mesh.verts.size(), verticesKnown, "a face [a, b, c] of vertex indices", "vertex", "vertices");
  Faces sink{mesh.faces};
  ReadNumbers<int64_t, 3, 3>(v, shape, sink);
}

void Loader::ReadTVFaces(sj::value& v, Mesh& mesh, bool tvertsKnown, bool facesKnown) {
  NumberShape shape =
      Indices(mesh.tVerts.size(), tvertsKnown, "a texture face [a, b, c] of texture vertex indices",
              "texture vertex", "texture vertices");
  if (facesKnown) shape.count = mesh.faces.size();
  TextureFaces sink{mesh.tvFace};
  ReadNumbers<int64_t, 3, 3>(v, shape, sink);
}

std::vector<uint32_t> Loader::PerFace(sj::value& v, const Mesh& mesh, bool facesKnown, int64_t hi) {
  NumberShape shape;
  shape.hi = hi;
  if (facesKnown) shape.count = mesh.faces.size();
  std::vector<uint32_t> out;
  Words sink{out};
  ReadNumbers<int64_t, 0, 0>(v, shape, sink);
  return out;
}

}  // namespace scene::doc
