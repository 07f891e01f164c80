#include "candidate_scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "../framework/class_scores.hpp"
#include "../framework/exponential.hpp"
#include "../framework/screen.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quelt::detail {

float logistic(float value) {
  return 1.0f / (sorvanta::framework::rounded_exp(-value) + 1.0f);
}

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

// probabilities[j] = objectness x logistic(scores[j]) where that product
// exceeds the threshold (they start at 0); returns the classes held, written
// to `held`. Since logistic(v) < exp(v), a product can only pass when v is at
// least log(threshold / objectness): below that, less a margin far beyond
// any rounding, the logistic is not evaluated at all.
std::size_t threshold_logistic_products(const float* scores, float* probabilities,
                                        std::int32_t classes, float objectness, float threshold,
                                        std::uint32_t* held) {
  float lowest = -std::numeric_limits<float>::infinity();
  if (threshold >= tiny_threshold) {
    const double edge = std::log(static_cast<double>(threshold) / objectness) - 1e-3;
    lowest = static_cast<float>(edge);
    if (lowest > edge) {
      lowest = std::nextafter(lowest, -std::numeric_limits<float>::infinity());
    }
  }
  std::size_t count = 0;
  auto consider = [&](std::int32_t j) {
    const float q = objectness * logistic(scores[j]);
    if (q > threshold) {
      probabilities[j] = q;
      held[count++] = static_cast<std::uint32_t>(j);
    }
  };
  std::int32_t j = 0;
#if defined(__SSE2__)
  // Four classes at a time: most raw scores lie far below the edge. "Not
  // less than" lets a NaN through to the exact test, which rejects it.
  const __m128 edge = _mm_set1_ps(lowest);
  for (; j + 4 <= classes; j += 4) {
    auto open =
        static_cast<unsigned>(_mm_movemask_ps(_mm_cmpnlt_ps(_mm_loadu_ps(scores + j), edge)));
    while (open != 0) {
      consider(j + __builtin_ctz(open));
      open &= open - 1;
    }
  }
#endif
  for (; j < classes; ++j) {
    if (!(scores[j] < lowest)) {
      consider(j);
    }
  }
  return count;
}

}  // namespace

float raw_objectness_cut(float threshold) {
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

void scan_layer_image(const yolo_output& layer, std::uint64_t image, int classes, net_params net,
                      float threshold, std::vector<float>& rows, std::vector<std::uint32_t>& held,
                      std::vector<std::uint32_t>& held_start) {
  const output_tensor& tensor = layer.output;
  const std::uint64_t anchors = layer.mask_size;
  const std::size_t record_length = static_cast<std::size_t>(classes) + 5;
  const std::uint64_t image_records = tensor.height * tensor.width * anchors;
  if (image_records == 0) {
    return;
  }
  const float* image_start = tensor.data + image * image_records * record_length;

  const bool preactivated = layer.preactivated != 0;
  const float scale = layer.xy_scale;
  const float offset = (scale - 1.0f) * 0.5f;
  const float grid_width = static_cast<float>(tensor.width);
  const float grid_height = static_cast<float>(tensor.height);
  const float nw = static_cast<float>(net.width);
  const float nh = static_cast<float>(net.height);
  const float cut = preactivated ? 0.0f : raw_objectness_cut(threshold);

  // Records are screened on their raw objectness alone (a superset of those
  // that pass); the few that may pass are then checked exactly and decoded.
  const float screen = preactivated ? threshold : cut;
  // Room for one record's held classes, so the running list grows by what is held.
  std::vector<std::uint32_t> held_scratch(static_cast<std::size_t>(classes));
  sorvanta::framework::screen_rows(
      image_start + 4, image_records, record_length,
      [screen](float objectness) { return objectness >= screen; },
      [&](std::uint64_t index) {
        const float* record = image_start + index * record_length;
        const std::uint64_t k = index % anchors;
        const std::uint64_t cell = index / anchors;
        const std::uint64_t gx = cell % tensor.width;
        const std::uint64_t gy = cell / tensor.width;
        const float objectness = preactivated ? record[4] : logistic(record[4]);
        if (!(objectness > threshold)) {
          return;
        }

        const std::size_t start = rows.size();
        rows.resize(start + record_length);  // probabilities start at 0
        float* row = rows.data() + start;
        const float* scores = record + 5;
        float* probabilities = row + 5;
        held_start.push_back(static_cast<std::uint32_t>(held.size()));
        const std::size_t count =
            preactivated
                ? sorvanta::framework::threshold_products(
                      scores, probabilities, classes, objectness, threshold, held_scratch.data())
                : threshold_logistic_products(scores, probabilities, classes, objectness, threshold,
                                              held_scratch.data());
        held.insert(held.end(), held_scratch.begin(),
                    held_scratch.begin() + static_cast<std::ptrdiff_t>(count));

        float cx;
        float cy;
        float w;
        float h;
        const std::size_t anchor = static_cast<std::size_t>(layer.mask[k]);
        const float anchor_width = layer.anchors[2 * anchor];
        const float anchor_height = layer.anchors[2 * anchor + 1];
        if (preactivated) {
          cx = scale * record[0] - offset;
          cy = scale * record[1] - offset;
          w = (((record[2] * record[2]) * 4.0f) * anchor_width) / nw;
          h = (((record[3] * record[3]) * 4.0f) * anchor_height) / nh;
        } else {
          cx = logistic(record[0]) * scale - offset;
          cy = logistic(record[1]) * scale - offset;
          w = (sorvanta::framework::rounded_exp(record[2]) * anchor_width) / nw;
          h = (sorvanta::framework::rounded_exp(record[3]) * anchor_height) / nh;
        }
        const float x = (static_cast<float>(gx) + cx) / grid_width;
        const float y = (static_cast<float>(gy) + cy) / grid_height;
        const float half_width = w * 0.5f;
        const float half_height = h * 0.5f;
        row[0] = x - half_width;
        row[1] = y - half_height;
        row[2] = x + half_width;
        row[3] = y + half_height;
        row[4] = objectness;
      });
}

}  // namespace quelt::detail
