// Pieces of the importer's mapping that tests check on their own.
#pragma once

#include <vector>

namespace scene::import_detail {

// The weights a skin modifier reports for one vertex: at most maxInfluences
// non-zero ones (0 = all), optionally scaled to sum 1.
std::vector<float> LimitWeights(std::vector<float> row, int maxInfluences, bool normalize);

}  // namespace scene::import_detail
