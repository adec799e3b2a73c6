// Pieces of the importer's mapping that tests check on their own.
#pragma once

#include <span>
#include <vector>

namespace scene::import_detail {

// The weights a skin modifier reports for one vertex, in place: at most
// maxInfluences non-zero ones (0 = all), optionally scaled to sum 1.
// `scratch` is working room that callers reuse from row to row.
void LimitWeights(std::span<float> row, int maxInfluences, bool normalize, std::vector<int>& scratch);

}  // namespace scene::import_detail
