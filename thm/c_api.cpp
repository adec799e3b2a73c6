// The C API of thm.h over the reader and checker.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

#include "thm/check.h"
#include "thm/reader.h"
#include "thm/thm.h"

struct thm_file {
  thm::File model;
};

namespace {

// Arrays are handed out as the model's own storage: the layouts must agree.
template <class A, class B>
constexpr bool kSameLayout =
    sizeof(A) == sizeof(B) &&
    alignof(A) == alignof(B) && std::is_standard_layout_v<A>&& std::is_standard_layout_v<B>;
static_assert(kSameLayout<thm::Vec3, thm_vec3>);
static_assert(kSameLayout<thm::Matrix43, thm_matrix43>);
static_assert(kSameLayout<thm::Vertex, thm_vertex> &&
              offsetof(thm::Vertex, normal) == offsetof(thm_vertex, normal));
static_assert(kSameLayout<thm::Triangle, thm_triangle> &&
              offsetof(thm::Triangle, normal) == offsetof(thm_triangle, normal));
static_assert(kSameLayout<thm::BoneSample, thm_sample> &&
              offsetof(thm::BoneSample, extra) == offsetof(thm_sample, extra));
static_assert(kSameLayout<thm::BoneRef, thm_bone_ref>);

template <class C, class T>
const C* As(const T* p) {
  return reinterpret_cast<const C*>(p);
}

thm_vec3 V(const thm::Vec3& v) {
  return {v.x, v.y, v.z};
}

thm_matrix43 M(const thm::Matrix43& m) {
  thm_matrix43 out;
  for (int i = 0; i < 4; ++i) out.rows[i] = V(m.rows[i]);
  return out;
}

thm_result Fail(thm_error* error, thm_result code, std::size_t offset, const std::string& what) {
  if (error) {
    error->offset = offset;
    std::snprintf(error->message, sizeof error->message, "%s", what.c_str());
  }
  return code;
}

thm_result Clear(thm_error* error) {
  if (error) {
    error->offset = 0;
    error->message[0] = 0;
  }
  return THM_OK;
}

const thm::Record* RecordAt(const thm_file* file, std::size_t record) {
  if (!file || record >= file->model.records.size()) return nullptr;
  return &file->model.records[record];
}

const thm::MeshRecord* MeshAt(const thm_file* file, std::size_t record) {
  const thm::Record* r = RecordAt(file, record);
  return r ? r->mesh() : nullptr;
}

const thm::Skin* SkinAt(const thm_file* file, std::size_t record) {
  const thm::MeshRecord* m = MeshAt(file, record);
  return m && m->skin ? &*m->skin : nullptr;
}

const char* OrNull(const std::optional<std::string>& s) {
  return s ? s->c_str() : nullptr;
}

thm_result Read(std::span<const std::uint8_t> bytes, const thm_options* options, thm_file** out,
                thm_error* error) {
  const std::size_t limit = options && options->max_memory ? options->max_memory : SIZE_MAX;
  thm::ParseResult result = thm::Parse(bytes, limit);
  if (result.error && result.error->over_limit)
    return Fail(error, THM_MEMORY, result.error->offset, result.error->what);
  auto* file = new (std::nothrow) thm_file{std::move(result.file)};
  if (!file) return Fail(error, THM_MEMORY, 0, "out of memory");
  *out = file;
  // Records read before a parse fault lie before it, so their problems come first.
  if (options && options->check)
    if (auto p = thm::Check(file->model)) return Fail(error, THM_MALFORMED, p->offset, p->what);
  if (result.error) return Fail(error, THM_MALFORMED, result.error->offset, result.error->what);
  return Clear(error);
}

}  // namespace

extern "C" {

int thm_version(void) {
  return THM_VERSION;
}

thm_result thm_read_memory(const void* data, size_t size, const thm_options* options, thm_file** out,
                           thm_error* error) {
  if (!out || (!data && size != 0))
    return Fail(error, THM_INVALID_ARGUMENT, 0, "no data or no place for the file");
  *out = nullptr;
  try {
    return Read({static_cast<const std::uint8_t*>(data), size}, options, out, error);
  } catch (const std::bad_alloc&) {
    thm_free(*out);
    *out = nullptr;
    return Fail(error, THM_MEMORY, 0, "out of memory");
  }
}

thm_result thm_read_path(const char* path, const thm_options* options, thm_file** out, thm_error* error) {
  if (!out || !path) return Fail(error, THM_INVALID_ARGUMENT, 0, "no path or no place for the file");
  *out = nullptr;
  try {
    const std::vector<std::uint8_t> bytes = thm::LoadFile(path);
    // The file's bytes count against the limit too.
    thm_options rest = options ? *options : thm_options{0, 0};
    if (rest.max_memory) {
      if (bytes.size() >= rest.max_memory)
        return Fail(error, THM_MEMORY, 0, "the file is larger than the memory limit");
      rest.max_memory -= bytes.size();
    }
    return Read(bytes, &rest, out, error);
  } catch (const std::bad_alloc&) {
    thm_free(*out);
    *out = nullptr;
    return Fail(error, THM_MEMORY, 0, "out of memory");
  } catch (const std::exception& e) {
    return Fail(error, THM_IO, 0, e.what());
  }
}

void thm_free(thm_file* file) {
  delete file;
}

thm_result thm_check(const thm_file* file, thm_error* error) {
  if (!file) return Fail(error, THM_INVALID_ARGUMENT, 0, "no file");
  if (auto p = thm::Check(file->model)) return Fail(error, THM_MALFORMED, p->offset, p->what);
  return Clear(error);
}

size_t thm_record_count(const thm_file* file) {
  return file ? file->model.records.size() : 0;
}

thm_record_kind thm_record_kind_of(const thm_file* file, size_t record) {
  const thm::Record* r = RecordAt(file, record);
  if (!r || r->mesh()) return THM_MESH;
  return r->light()->kind == thm::LightKind::Spot ? THM_SPOT : THM_OMNI;
}

thm_result thm_get_mesh(const thm_file* file, size_t record, thm_mesh* out) {
  const thm::Record* r = RecordAt(file, record);
  const thm::MeshRecord* m = r ? r->mesh() : nullptr;
  if (!m || !out) return THM_INVALID_ARGUMENT;
  *out = thm_mesh{};
  out->offset = r->offset;
  out->size = r->size;
  out->name = m->name.c_str();
  out->parent = m->parent.c_str();
  out->position_count = m->positions.size();
  out->positions = As<thm_vec3>(m->positions.data());
  out->has_skin = m->skin.has_value();
  out->material_count = m->materials.size();
  out->positions_offset = m->positions_offset;
  out->materials_offset = m->materials_offset;
  out->name_offset = m->name_offset;
  return THM_OK;
}

thm_result thm_get_material(const thm_file* file, size_t record, size_t material, thm_material* out) {
  const thm::MeshRecord* m = MeshAt(file, record);
  if (!m || !out || material >= m->materials.size()) return THM_INVALID_ARGUMENT;
  const thm::MaterialSection& s = m->materials[material];
  const thm::MaterialHeader& h = s.header;
  *out = thm_material{};
  out->offset = s.offset;
  out->long_form = h.long_form;
  out->diffuse_map = OrNull(h.diffuse_map);
  out->name = h.name.c_str();
  if (h.reflection_map) {
    out->reflection_map = h.reflection_map->file.c_str();
    out->reflection_amount = h.reflection_map->amount;
  }
  if (h.self_illum_map) {
    out->self_illum_map = h.self_illum_map->file.c_str();
    out->self_illum_amount = h.self_illum_map->amount;
  }
  out->flags = h.flags;
  out->opacity = h.opacity;
  out->vertex_count = s.vertices.size();
  out->vertices = As<thm_vertex>(s.vertices.data());
  out->triangle_count = s.triangles.size();
  out->triangles = As<thm_triangle>(s.triangles.data());
  out->vertices_offset = s.vertices_offset;
  out->triangles_offset = s.triangles_offset;
  return THM_OK;
}

thm_result thm_get_skin(const thm_file* file, size_t record, thm_skin* out) {
  const thm::Skin* k = SkinAt(file, record);
  if (!k || !out) return THM_INVALID_ARGUMENT;
  *out = thm_skin{};
  out->bone_count = k->bones.size();
  out->frame_count = k->frame_count;
  out->frame_rate = k->frame_rate;
  out->samples = As<thm_sample>(k->samples.data());
  out->note_count = k->notes.size();
  out->end_mark = k->end_mark;
  out->offset = k->offset;
  out->frames_offset = k->frames_offset;
  out->end_mark_offset = k->end_mark_offset;
  out->notes_offset = k->notes_offset;
  return THM_OK;
}

thm_result thm_get_bone(const thm_file* file, size_t record, size_t bone, thm_bone* out) {
  const thm::Skin* k = SkinAt(file, record);
  if (!k || !out || bone >= k->bones.size()) return THM_INVALID_ARGUMENT;
  const thm::Bone& b = k->bones[bone];
  out->offset = b.offset;
  out->name = b.name.c_str();
  out->matrix = M(b.matrix);
  std::memcpy(out->extra, b.extra.data(), sizeof out->extra);
  out->sibling = b.sibling;
  out->parent = b.parent;
  out->child = b.child;
  return THM_OK;
}

thm_result thm_get_bone_refs(const thm_file* file, size_t record, size_t position, thm_bone_refs* out) {
  const thm::Skin* k = SkinAt(file, record);
  if (!k || !out || position >= k->vertex_refs.size()) return THM_INVALID_ARGUMENT;
  const thm::VertexRefs& list = k->vertex_refs[position];
  out->offset = list.offset;
  out->count = list.refs.size();
  out->refs = As<thm_bone_ref>(list.refs.data());
  return THM_OK;
}

thm_result thm_get_note(const thm_file* file, size_t record, size_t note, thm_note* out) {
  const thm::Skin* k = SkinAt(file, record);
  if (!k || !out || note >= k->notes.size()) return THM_INVALID_ARGUMENT;
  const thm::Note& n = k->notes[note];
  out->offset = n.offset;
  out->text = n.text.c_str();
  out->frame = n.frame;
  return THM_OK;
}

thm_result thm_get_light(const thm_file* file, size_t record, thm_light* out) {
  const thm::Record* r = RecordAt(file, record);
  const thm::LightRecord* l = r ? r->light() : nullptr;
  if (!l || !out) return THM_INVALID_ARGUMENT;
  *out = thm_light{};
  out->offset = r->offset;
  out->size = r->size;
  out->kind = l->kind == thm::LightKind::Spot ? THM_SPOT : THM_OMNI;
  out->name = l->name.c_str();
  out->parent = OrNull(l->parent);
  out->position = V(l->position);
  out->range_start = l->range_start;
  out->range_end = l->range_end;
  out->colour = V(l->colour);
  out->intensity = l->intensity;
  out->on = l->on;
  if (l->spot) {
    out->hotspot = l->spot->hotspot;
    out->falloff = l->spot->falloff;
    out->direction = V(l->spot->direction);
    out->target_distance = l->spot->target_distance;
  }
  return THM_OK;
}

}  // extern "C"
