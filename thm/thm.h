/* libthm: reading Tarnhold Mesh (.thm) files.
 *
 * A small C API over the project's reader and checker. Read a file from memory
 * or from a path into a thm_file, then walk its records: meshes with their
 * material sections, vertices, triangles and skin (bones, frames, bone
 * references, notes), and lights. Arrays are handed out as pointers into the
 * thm_file; they stay valid until thm_free. Strings are zero-terminated 8-bit
 * text as stored in the file (no conversion).
 *
 *   thm_file* file = NULL;
 *   thm_error error;
 *   if (thm_read_path("model.thm", NULL, &file, &error) != THM_OK)
 *     fprintf(stderr, "offset %zu: %s\n", error.offset, error.message);
 *   for (size_t r = 0; file && r < thm_record_count(file); ++r) ...
 *   thm_free(file);
 *
 * Memory: the file's bytes (thm_read_path only) and the model read from them,
 * never more than thm_options.max_memory when that is set: a count that would
 * pass the limit is refused with THM_MEMORY before anything is allocated for it.
 * The format is in docs/thm-format.md; this API in docs/engine.md.
 */
#ifndef THM_THM_H
#define THM_THM_H

#include <stddef.h>
#include <stdint.h>

#define THM_VERSION_MAJOR 1
#define THM_VERSION_MINOR 0
#define THM_VERSION_PATCH 0
/* MAJOR * 10000 + MINOR * 100 + PATCH, as thm_version() returns it. */
#define THM_VERSION (THM_VERSION_MAJOR * 10000 + THM_VERSION_MINOR * 100 + THM_VERSION_PATCH)

#if defined(_WIN32) && defined(THM_SHARED)
#if defined(THM_BUILDING)
#define THM_API __declspec(dllexport)
#else
#define THM_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define THM_API __attribute__((visibility("default")))
#else
#define THM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum thm_result {
  THM_OK = 0,
  THM_MALFORMED = 1, /* the bytes break the format; the file holds the records read before */
  THM_IO = 2,        /* the path cannot be opened or read */
  THM_MEMORY = 3,    /* the file needs more memory than max_memory allows, or allocation failed */
  THM_INVALID_ARGUMENT = 4
} thm_result;

/* Where reading or checking stopped: the byte offset and the problem there, the
 * same text thmdump prints. offset is 0 for THM_IO and THM_INVALID_ARGUMENT. */
typedef struct thm_error {
  size_t offset;
  char message[256];
} thm_error;

typedef struct thm_options {
  /* Upper bound in bytes for what reading allocates; 0: no bound. */
  size_t max_memory;
  /* Non-zero: after reading, check the structure as thmdump --check does
   * (indices, unit normals, bone links, end mark); a problem is THM_MALFORMED. */
  int check;
} thm_options;

typedef struct thm_file thm_file;

typedef enum thm_record_kind { THM_MESH = 0, THM_OMNI = 1, THM_SPOT = 2 } thm_record_kind;

typedef struct thm_vec3 {
  float x, y, z;
} thm_vec3;

/* Four rows: x axis, y axis, z axis, translation (p' = x*r0 + y*r1 + z*r2 + r3). */
typedef struct thm_matrix43 {
  thm_vec3 rows[4];
} thm_matrix43;

/* The corner word's parts: the vertex number in its section, and the edge flag. */
#define THM_CORNER_INDEX(word) ((uint32_t)(word)&0x7FFFFFFFu)
#define THM_CORNER_EDGE(word) (((uint32_t)(word) >> 31) & 1u)

typedef struct thm_vertex {
  int32_t position; /* index into the mesh's positions */
  float u, v;
  thm_vec3 normal;
} thm_vertex;

typedef struct thm_triangle {
  uint32_t corners[3]; /* corner words: see THM_CORNER_INDEX, THM_CORNER_EDGE */
  thm_vec3 normal;
} thm_triangle;

typedef struct thm_mesh {
  size_t offset; /* of the record's lead byte */
  size_t size;   /* of the record in bytes */
  const char* name;
  const char* parent; /* "" when the node has no parent */
  size_t position_count;
  const thm_vec3* positions;
  int has_skin;
  size_t material_count;
  /* Byte offsets: of the position count, the material count and the node name. */
  size_t positions_offset, materials_offset, name_offset;
} thm_mesh;

/* Flags byte of a long material header. */
#define THM_TRANSPARENCY_MASK 3u /* 0 none, 1 filter, 2 additive */
#define THM_TWO_SIDED 4u
#define THM_VR_NAME 8u

typedef struct thm_material {
  size_t offset;
  int long_form;           /* 0: the short header; the fields up to opacity are then empty */
  const char* diffuse_map; /* NULL: none */
  const char* name;
  const char* reflection_map; /* NULL: none */
  float reflection_amount;
  const char* self_illum_map; /* NULL: none */
  float self_illum_amount;
  uint8_t flags;
  float opacity;
  size_t vertex_count;
  const thm_vertex* vertices;
  size_t triangle_count;
  const thm_triangle* triangles;
  /* Byte offsets of the vertex count and the triangle count: vertex i at
   * vertices_offset + 4 + 24 * i, triangle i likewise. */
  size_t vertices_offset, triangles_offset;
} thm_material;

typedef struct thm_bone {
  size_t offset;
  const char* name;
  thm_matrix43 matrix; /* world transform at time 0 */
  uint32_t extra[3];
  int32_t sibling, parent, child; /* -1: none */
} thm_bone;

typedef struct thm_sample {
  thm_matrix43 matrix;
  uint32_t extra[3];
} thm_sample;

typedef struct thm_bone_ref {
  int32_t bone;
  float weight;
} thm_bone_ref;

/* The bone references of one position, in file order, without the -1 terminator. */
typedef struct thm_bone_refs {
  size_t offset;
  size_t count;
  const thm_bone_ref* refs;
} thm_bone_refs;

typedef struct thm_note {
  size_t offset;
  const char* text;
  int32_t frame;
} thm_note;

typedef struct thm_skin {
  size_t bone_count;
  int32_t frame_count;
  float frame_rate;
  /* frame_count * bone_count samples, frame by frame; frame f, bone b at f * bone_count + b. */
  const thm_sample* samples;
  size_t note_count;
  int32_t end_mark;
  /* Byte offsets: of the bone count, the frame count, the end mark and the notes. */
  size_t offset, frames_offset, end_mark_offset, notes_offset;
} thm_skin;

typedef struct thm_light {
  size_t offset;        /* of the record's lead byte */
  size_t size;          /* of the record in bytes */
  thm_record_kind kind; /* THM_OMNI or THM_SPOT */
  const char* name;
  const char* parent; /* NULL: no parent */
  thm_vec3 position;
  float range_start, range_end;
  thm_vec3 colour;
  float intensity;
  int32_t on;
  /* Spot lights only; zero for omni lights. */
  float hotspot, falloff;
  thm_vec3 direction;
  float target_distance;
} thm_light;

/* THM_VERSION of the library loaded, to compare with the header's. */
THM_API int thm_version(void);

/* Reads size bytes at data (not kept: the file copies what it needs). options
 * may be NULL. On THM_OK and THM_MALFORMED *out holds a file (on THM_MALFORMED,
 * the records read completely before the problem) that the caller frees with
 * thm_free; otherwise *out is NULL. error may be NULL. */
THM_API thm_result thm_read_memory(const void* data, size_t size, const thm_options* options, thm_file** out,
                                   thm_error* error);
THM_API thm_result thm_read_path(const char* path, const thm_options* options, thm_file** out,
                                 thm_error* error);
THM_API void thm_free(thm_file* file);

/* Checks a file already read, as thm_options.check does. */
THM_API thm_result thm_check(const thm_file* file, thm_error* error);

THM_API size_t thm_record_count(const thm_file* file);
THM_API thm_record_kind thm_record_kind_of(const thm_file* file, size_t record);

/* Each returns THM_INVALID_ARGUMENT for an index out of range or a record of
 * another kind, and leaves *out untouched then. */
THM_API thm_result thm_get_mesh(const thm_file* file, size_t record, thm_mesh* out);
THM_API thm_result thm_get_material(const thm_file* file, size_t record, size_t material, thm_material* out);
THM_API thm_result thm_get_skin(const thm_file* file, size_t record, thm_skin* out);
THM_API thm_result thm_get_bone(const thm_file* file, size_t record, size_t bone, thm_bone* out);
THM_API thm_result thm_get_bone_refs(const thm_file* file, size_t record, size_t position,
                                     thm_bone_refs* out);
THM_API thm_result thm_get_note(const thm_file* file, size_t record, size_t note, thm_note* out);
THM_API thm_result thm_get_light(const thm_file* file, size_t record, thm_light* out);

#ifdef __cplusplus
}
#endif

#endif /* THM_THM_H */
