#include "max_index.hpp"

namespace sorvanta::framework {

template <class Range>
std::int64_t max_index(const Range& values) {
  const auto n = static_cast<std::int64_t>(values.size());
  if (n == 0) {
    return -1;
  }
  const auto* data = values.data();
  std::int64_t best = 0;
  for (std::int64_t k = 1; k < n; ++k) {
    if (data[k] > data[best]) {
      best = k;
    }
  }
  return best;
}

template QUELT_API std::int64_t max_index<boost::beast::span<float>>(
    const boost::beast::span<float>& values);

}  // namespace sorvanta::framework
