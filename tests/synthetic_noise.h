#pragma once
// A small deterministic generator for synthetic rounds: the same figures on every machine.
#include <cmath>
#include <cstdint>

struct Noise {
  uint64_t state;
  double uniform() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (static_cast<double>(state >> 11) + 0.5) / 9007199254740992.0;
  }
  double gauss() { return std::sqrt(-2 * std::log(uniform())) * std::cos(6.283185307179586 * uniform()); }
};
