// Graph colouring with a fixed number of colours: first greedily, the vertex
// with most neighbours first; where that leaves a vertex without colour,
// DSatur (the vertex whose neighbours show the most colours next, then the one
// with most neighbours, then the lowest) and, where no colour is free, one
// neighbour moved to another colour it may take. The better of the two is
// kept. Deterministic; O((V + E) log V) while colours suffice.
#pragma once

#include <cstdint>
#include <vector>

namespace scene::colouring {

// A colour in [0, colours) per vertex, different from every neighbour's, or -1
// where none could be found; *uncoloured counts those. colours is at most 32.
// adjacency lists hold each neighbour once, never the vertex itself.
// `preferred`, where given, holds per vertex the colours to try first (as a
// bit mask); a vertex takes its lowest free preferred colour, else its lowest
// free one.
std::vector<int> Colour(const std::vector<std::vector<int>>& adjacency, int colours, int* uncoloured,
                        const std::vector<uint32_t>* preferred = nullptr);

// The greedy pass alone.
std::vector<int> Greedy(const std::vector<std::vector<int>>& adjacency, int colours, int* uncoloured,
                        const std::vector<uint32_t>* preferred = nullptr);

}  // namespace scene::colouring
