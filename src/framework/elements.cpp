#include "elements.hpp"

#include "logistic.hpp"

namespace sorvanta::framework {

std::int32_t rank_cut(const element_format& format, bool logits, float threshold) {
  const auto passes = [&](std::int32_t rank) {
    const float value = rank_value(format, rank);
    return (logits ? logistic(value) : value) > threshold;
  };
  // Bisection on [low, high]: passes(high) holds, passes(low - 1) does not.
  std::int32_t low = lowest_rank(format.type);
  std::int32_t high = highest_rank(format.type) + 1;
  while (low < high) {
    const std::int32_t middle = low + (high - low) / 2;
    if (passes(middle)) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return low;
}

}  // namespace sorvanta::framework
