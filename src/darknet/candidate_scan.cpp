#include "candidate_scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace quelt::detail {

float logistic(float value) {
  return 1.0f / (std::exp(-value) + 1.0f);
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

constexpr std::uint64_t screen_block = 256;

// Below this a threshold is compared against values so small that relative
// error bounds say nothing; such thresholds get no shortcuts.
constexpr float tiny_threshold = 1e-30f;

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
                      float threshold, std::vector<float>& rows,
                      std::vector<class_member>& members) {
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
  // Class products below the threshold are zero; in raw mode most can be
  // ruled out from the raw value, since logistic(v) < exp(v).
  const bool class_shortcut = !preactivated && threshold >= tiny_threshold;

  // Records are screened a block at a time on their raw objectness alone,
  // branch-free, so the pass over the layer runs at the speed of reading it;
  // the few that may pass are then checked exactly and decoded.
  const float screen = preactivated ? threshold : cut;
  std::uint32_t hits[screen_block];
  for (std::uint64_t base = 0; base < image_records; base += screen_block) {
    const std::uint64_t block = std::min<std::uint64_t>(screen_block, image_records - base);
    const float* objectness_of = image_start + base * record_length + 4;
    std::size_t hit_count = 0;
    for (std::uint64_t r = 0; r < block; ++r) {
      hits[hit_count] = static_cast<std::uint32_t>(r);
      hit_count += objectness_of[r * record_length] >= screen ? 1 : 0;
    }
    for (std::size_t hit = 0; hit < hit_count; ++hit) {
      const std::uint64_t index = base + hits[hit];
      const float* record = image_start + index * record_length;
      const std::uint64_t k = index % anchors;
      const std::uint64_t cell = index / anchors;
      const std::uint64_t gx = cell % tensor.width;
      const std::uint64_t gy = cell / tensor.width;
      const float objectness = preactivated ? record[4] : logistic(record[4]);
      if (!(objectness > threshold)) {
        continue;
      }

      const auto row_index = static_cast<std::uint32_t>(rows.size() / record_length);
      const std::size_t start = rows.size();
      rows.resize(start + record_length);
      float* row = rows.data() + start;

      const float* scores = record + 5;
      float* probabilities = row + 5;
      if (preactivated) {
        for (int c = 0; c < classes; ++c) {
          const float q = objectness * scores[c];
          probabilities[c] = q > threshold ? q : 0.0f;
        }
      } else {
        // log(threshold / objectness) less a margin far beyond rounding.
        const double raw_floor = class_shortcut
                                     ? std::log(static_cast<double>(threshold) / objectness) - 1e-3
                                     : -std::numeric_limits<double>::infinity();
        for (int c = 0; c < classes; ++c) {
          if (static_cast<double>(scores[c]) < raw_floor) {
            probabilities[c] = 0.0f;
            continue;
          }
          const float q = objectness * logistic(scores[c]);
          probabilities[c] = q > threshold ? q : 0.0f;
        }
      }
      for (int c = 0; c < classes; ++c) {
        if (probabilities[c] != 0.0f) {
          members.push_back(class_member{static_cast<std::uint32_t>(c), row_index});
        }
      }

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
        w = (std::exp(record[2]) * anchor_width) / nw;
        h = (std::exp(record[3]) * anchor_height) / nh;
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
    }
  }
}

}  // namespace quelt::detail
