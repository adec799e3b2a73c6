/* A small engine-side loader: reads a .thm file with libthm and prints its records.
 * Built outside the project, against an installed libthm (see README.md here). */
#include <stdio.h>
#include <thm/thm.h>

static void print_mesh(const thm_file* file, size_t r) {
  thm_mesh mesh;
  thm_get_mesh(file, r, &mesh);
  size_t vertices = 0, triangles = 0;
  for (size_t i = 0; i < mesh.material_count; ++i) {
    thm_material m;
    thm_get_material(file, r, i, &m);
    vertices += m.vertex_count;
    triangles += m.triangle_count;
    printf("  material %zu: %s, diffuse %s, %zu vertices, %zu triangles\n", i,
           m.long_form ? m.name : "(short header)", m.diffuse_map ? m.diffuse_map : "none", m.vertex_count,
           m.triangle_count);
  }
  printf("mesh \"%s\": %zu positions, %zu vertices, %zu triangles\n", mesh.name, mesh.position_count, vertices,
         triangles);
  thm_skin skin;
  if (mesh.has_skin && thm_get_skin(file, r, &skin) == THM_OK) {
    printf("  skin: %zu bones, %d frames at %g per second, %zu notes\n", skin.bone_count, (int)skin.frame_count,
           (double)skin.frame_rate, skin.note_count);
    for (size_t b = 0; b < skin.bone_count; ++b) {
      thm_bone bone;
      thm_get_bone(file, r, b, &bone);
      const thm_vec3 t = bone.matrix.rows[3];
      printf("    bone %zu \"%s\" parent %d at (%g, %g, %g)\n", b, bone.name, (int)bone.parent, (double)t.x,
             (double)t.y, (double)t.z);
    }
  }
}

static void print_light(const thm_file* file, size_t r) {
  thm_light light;
  thm_get_light(file, r, &light);
  printf("%s light \"%s\": colour (%g, %g, %g), intensity %g\n", light.kind == THM_SPOT ? "spot" : "omni",
         light.name, (double)light.colour.x, (double)light.colour.y, (double)light.colour.z,
         (double)light.intensity);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: engine-reader FILE.thm\n");
    return 2;
  }
  if (thm_version() / 10000 != THM_VERSION_MAJOR) {
    fprintf(stderr, "libthm %d does not match the header's %d\n", thm_version(), THM_VERSION);
    return 2;
  }
  /* A bound on what reading may allocate: an engine's loader budget. */
  thm_options options = {256u << 20, 1};
  thm_file* file = NULL;
  thm_error error;
  const thm_result rc = thm_read_path(argv[1], &options, &file, &error);
  if (rc != THM_OK) {
    fprintf(stderr, "%s: offset %zu: %s\n", argv[1], error.offset, error.message);
    thm_free(file);
    return rc == THM_MALFORMED ? 1 : 2;
  }
  for (size_t r = 0; r < thm_record_count(file); ++r) {
    if (thm_record_kind_of(file, r) == THM_MESH)
      print_mesh(file, r);
    else
      print_light(file, r);
  }
  thm_free(file);
  return 0;
}
