// How close smoothing-group words come to a source's normals: the plug-in's
// vertex normals from the words against the source's corner normals and
// against the best the smoothing-group rule can give (every join the source
// makes, honoured). Used by the measurement over real models and its test.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/geom.h"
#include "meshalgo/smoothing.h"

namespace smooth_quality {

struct Figures {
  long corners = 0;     // corners with a usable source normal and face normal
  long nearBest = 0;    // exported normal within 1 degree of the best the rule gives
  long nearSource = 0;  // exported normal within 1 degree of the source's
  long bestNearSource = 0;
  long joins = 0;        // face pairs the source smooths at a shared position
  long floor = 0;        // ... and keeps hard at another: no words can do that
  long hardByWords = 0;  // other joins whose words share no bit
  long wrongSoft = 0;    // face pairs the source keeps hard everywhere that share a bit
  void Add(const Figures& o);
};

// One mesh: faces over positions, the position of each, the source normal of
// each corner and the smoothing word of each face.
Figures Measure(const std::vector<scene::smoothing::Tri>& faces, const std::vector<Point3>& positions,
                const std::vector<std::array<Point3, 3>>& normals, const std::vector<uint32_t>& words);

// Every node of a model whose meshes all carry normals, as the importer reads
// it (faces of a node's meshes together, positions welded in the node's space),
// smoothed by FromNormals. Throws scene::ImportError for a file it cannot read.
Figures MeasureModel(const std::string& path, int* nodes = nullptr);

}  // namespace smooth_quality
