// Index of the first largest value of a contiguous range, -1 when it is empty.
#ifndef QUELT_STEP_API_MAX_INDEX_HPP
#define QUELT_STEP_API_MAX_INDEX_HPP

#include <cstdint>

#include <boost/beast/core/span.hpp>

#include "quelt/quelt.h"

namespace sorvanta::framework {

// Strictly-greater updates: ties keep the first index and a NaN never wins.
template <class Range>
QUELT_API std::int64_t max_index(const Range& values);

extern template QUELT_API std::int64_t max_index<boost::beast::span<float>>(
    const boost::beast::span<float>& values);

}  // namespace sorvanta::framework

#endif
