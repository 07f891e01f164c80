#include "logistic.hpp"

#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sorvanta::framework {

namespace {

// Floats mapped to integers that sort like the floats (NaN excluded).
std::int32_t ordered_bits(float value) {
  std::int32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits < 0 ? std::numeric_limits<std::int32_t>::min() - bits : bits;
}

float from_ordered_bits(std::int32_t ordered) {
  const std::int32_t bits =
      ordered < 0 ? std::numeric_limits<std::int32_t>::min() - ordered : ordered;
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Below this a threshold is compared against values so small that relative
// error bounds say nothing; such thresholds get no shortcuts.
constexpr float tiny_threshold = 1e-30f;

}  // namespace

float raw_logistic_cut(float threshold) {
  if (!(threshold < 1.0f)) {
    // The logistic never exceeds 1, and a NaN threshold passes nothing.
    return std::numeric_limits<float>::quiet_NaN();
  }
  if (threshold < tiny_threshold) {
    return -std::numeric_limits<float>::infinity();
  }
  // Smallest float whose logistic exceeds the threshold, by bisection over the
  // ordered float values; the logistic is non-decreasing (a test checks it
  // over every float).
  // 64-bit bounds: the distance between them does not fit 32 bits.
  std::int64_t low = ordered_bits(-std::numeric_limits<float>::infinity());  // fails
  std::int64_t high = ordered_bits(std::numeric_limits<float>::infinity());  // passes
  while (high - low > 1) {
    const std::int64_t mid = low + (high - low) / 2;
    if (logistic(from_ordered_bits(static_cast<std::int32_t>(mid))) > threshold) {
      high = mid;
    } else {
      low = mid;
    }
  }
  const double cut = from_ordered_bits(static_cast<std::int32_t>(high));
  // A margin below the cut, where the exact expression decides, guards against
  // any rounding wobble right at the cut.
  const double margin = (std::fabs(cut) + 1.0) * 0x1p-10;
  return std::nextafter(static_cast<float>(cut - margin), -std::numeric_limits<float>::infinity());
}

std::size_t threshold_logistic_products(const float* raw, float* probabilities,
                                        std::int32_t classes, float scale, float threshold,
                                        std::uint32_t* held) {
  // Since logistic(v) < exp(v), a product can only pass when v is at least
  // log(threshold / scale): below that, less a margin far beyond any
  // rounding, the logistic is not evaluated at all.
  float lowest = -std::numeric_limits<float>::infinity();
  if (threshold >= tiny_threshold) {
    const double edge = std::log(static_cast<double>(threshold) / scale) - 1e-3;
    lowest = static_cast<float>(edge);
    if (lowest > edge) {
      lowest = std::nextafter(lowest, -std::numeric_limits<float>::infinity());
    }
  }
  std::size_t count = 0;
  auto keep = [&](std::int32_t j, float activated) {
    const float q = scale * activated;
    if (q > threshold) {
      probabilities[j] = q;
      held[count++] = static_cast<std::uint32_t>(j);
    }
  };
  auto consider = [&](std::int32_t j) { keep(j, logistic(raw[j])); };
  std::int32_t j = 0;
#if defined(__SSE2__)
  // Four classes at a time: most raw scores lie far below the edge. "Not
  // less than" lets a NaN through to the exact test, which rejects it.
  const __m128 edge = _mm_set1_ps(lowest);
  for (; j + 4 <= classes; j += 4) {
    auto open = static_cast<unsigned>(_mm_movemask_ps(_mm_cmpnlt_ps(_mm_loadu_ps(raw + j), edge)));
    if ((open & (open - 1)) != 0) {
      // Two or more lanes open (low thresholds): their logistics together.
      float activated[4];
      logistic_4(raw + j, activated);
      while (open != 0) {
        const int lane = __builtin_ctz(open);
        keep(j + lane, activated[lane]);
        open &= open - 1;
      }
    } else if (open != 0) {
      consider(j + __builtin_ctz(open));
    }
  }
#endif
  for (; j < classes; ++j) {
    if (!(raw[j] < lowest)) {
      consider(j);
    }
  }
  return count;
}

}  // namespace sorvanta::framework
