#include "reference/random_calls.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "framework/exponential.hpp"

namespace quelt_reference {

namespace {

constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();
constexpr float inf_value = std::numeric_limits<float>::infinity();

float logistic(float v) {
  return 1.0f / (sorvanta::framework::rounded_exp(-v) + 1.0f);
}

}  // namespace

int awkward_random::integer(int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(engine_);
}

bool awkward_random::chance(double p) {
  return std::bernoulli_distribution(p)(engine_);
}

float awkward_random::uniform(float low, float high) {
  return std::uniform_real_distribution<float>(low, high)(engine_);
}

float awkward_random::awkward(float low, float high, const std::vector<float>& palette,
                              double special) {
  if (chance(special)) {
    switch (integer(0, 4)) {
      case 0:
        return nan_value;
      case 1:
        return inf_value;
      case 2:
        return -inf_value;
      case 3:
        return 0.0f;
      default:
        return -0.0f;
    }
  }
  if (!palette.empty() && chance(0.3)) {
    return palette[static_cast<std::size_t>(integer(0, static_cast<int>(palette.size()) - 1))];
  }
  return uniform(low, high);
}

float awkward_random::threshold(const std::vector<float>& palette) {
  static const float typical[] = {0.0f, 0.001f, 0.25f, 0.3f, 0.45f, 0.5f, 1.0f, 1.5f, -0.25f};
  const int pick = integer(0, 9);
  if (pick < 5) {
    return typical[integer(0, 8)];
  }
  if (pick < 8 && !palette.empty()) {
    return palette[static_cast<std::size_t>(integer(0, static_cast<int>(palette.size()) - 1))];
  }
  if (pick == 8 && chance(0.1)) {
    return nan_value;
  }
  return uniform(-0.1f, 1.1f);
}

void darknet_call::point_descriptors() {
  for (std::size_t l = 0; l < layers.size(); ++l) {
    layers[l].output.data = values[l].empty() ? nullptr : values[l].data();
    layers[l].mask = masks[l].empty() ? nullptr : masks[l].data();
    layers[l].anchors = anchors.data();
  }
}

darknet_call random_darknet_call(awkward_random& random) {
  darknet_call call;
  const int classes = random.chance(0.7) ? random.integer(1, 4) : random.integer(1, 100);
  const int images = random.chance(0.05) ? 0 : random.integer(1, 3);
  const int layer_count = random.integer(1, 3);
  const int anchor_pairs = 6;
  for (int a = 0; a < anchor_pairs; ++a) {
    // Some anchors equal, so slots of one cell can give identical boxes.
    const float w = random.chance(0.3) ? 8.0f : random.uniform(1.0f, 60.0f);
    const float h = random.chance(0.3) ? 8.0f : random.uniform(1.0f, 60.0f);
    call.anchors.push_back(w);
    call.anchors.push_back(h);
  }
  call.net = net_params{random.chance(0.5) ? 32 : random.integer(8, 64),
                        random.chance(0.5) ? 32 : random.integer(8, 64)};

  // Values shared across records create ties in objectness and class scores.
  std::vector<float> palette;
  for (int p = 0; p < 4; ++p) {
    palette.push_back(random.uniform(-3.0f, 3.0f));
  }
  std::vector<float> activated_palette;
  for (float v : palette) {
    activated_palette.push_back(logistic(v));
  }

  const std::size_t length = static_cast<std::size_t>(classes) + 5;
  for (int l = 0; l < layer_count; ++l) {
    yolo_output layer{};
    const bool preactivated = random.chance(0.4);
    const int grid_w = random.chance(0.05) ? 0 : random.integer(1, 5);
    const int grid_h = random.chance(0.05) ? 0 : random.integer(1, 5);
    const int mask_size = random.chance(0.08) ? 0 : random.integer(1, 3);
    std::vector<std::int32_t> mask;
    for (int k = 0; k < mask_size; ++k) {
      mask.push_back(random.integer(0, anchor_pairs - 1));
    }
    static const float scales[] = {1.0f, 2.0f, 1.05f, 1.2f};
    layer.xy_scale = scales[random.integer(0, 3)];
    layer.preactivated = preactivated ? random.integer(1, 3) : 0;
    layer.classes = classes;
    layer.mask_size = static_cast<std::uint64_t>(mask_size);
    layer.output.batch = static_cast<std::uint64_t>(images);
    layer.output.width = static_cast<std::uint64_t>(grid_w);
    layer.output.height = static_cast<std::uint64_t>(grid_h);
    layer.output.channels = static_cast<std::uint64_t>(mask_size) * length;
    // Reserved bytes carry junk the library must ignore.
    std::memset(layer.reserved_76, 0xA5, sizeof layer.reserved_76);

    const std::size_t count = static_cast<std::size_t>(images) * grid_w * grid_h * mask_size;
    std::vector<float> values(count * length);
    for (std::size_t r = 0; r < count; ++r) {
      float* v = &values[r * length];
      if (preactivated) {
        v[0] = random.awkward(0.0f, 1.0f, activated_palette, 0.02);
        v[1] = random.awkward(0.0f, 1.0f, activated_palette, 0.02);
        v[2] = random.awkward(0.0f, 1.0f, activated_palette, 0.02);
        v[3] = random.awkward(0.0f, 1.0f, activated_palette, 0.02);
        for (std::size_t p = 4; p < length; ++p) {
          v[p] = random.awkward(0.0f, 1.0f, activated_palette);
        }
      } else {
        for (std::size_t p = 0; p < 4; ++p) {
          v[p] = random.awkward(-2.0f, 2.0f, palette, 0.02);
        }
        v[4] = random.awkward(-8.0f, 4.0f, palette);
        for (std::size_t p = 5; p < length; ++p) {
          // Mostly far below any threshold, as real class logits are.
          v[p] = random.chance(0.7) ? random.awkward(-12.0f, -2.0f, palette)
                                    : random.awkward(-2.0f, 6.0f, palette);
        }
      }
    }
    call.values.push_back(std::move(values));
    call.masks.push_back(std::move(mask));
    call.layers.push_back(layer);
  }

  for (int i = 0; i < images; ++i) {
    call.conf.push_back(random.threshold(activated_palette));
    call.nms.push_back(random.threshold({}));
  }
  // The entry reads one threshold per image; keep one even for no images.
  call.conf.push_back(0.5f);
  call.nms.push_back(0.5f);
  call.point_descriptors();
  return call;
}

sealed_call random_sealed_call(awkward_random& random) {
  sealed_call call;
  call.classes = random.chance(0.7) ? random.integer(1, 4) : random.integer(1, 100);
  call.batch_size = random.chance(0.05) ? 0 : random.integer(1, 3);
  call.boxes_count = random.chance(0.05) ? 0 : random.integer(1, 40);
  call.width = random.chance(0.5) ? 100 : random.integer(1, 300);
  call.height = random.chance(0.5) ? 100 : random.integer(1, 300);

  // A small grid of centres and sizes makes identical and touching boxes.
  std::vector<float> centres = {10.0f, 20.0f, 30.0f, 25.0f};
  std::vector<float> sizes = {10.0f, 20.0f, 0.0f, -5.0f};
  std::vector<float> scores;
  for (int p = 0; p < 4; ++p) {
    scores.push_back(random.uniform(0.0f, 1.0f));
  }
  const std::size_t length = static_cast<std::size_t>(call.classes) + 5;
  const std::size_t rows = static_cast<std::size_t>(call.batch_size * call.boxes_count);
  call.tensor.resize(rows * length);
  for (std::size_t r = 0; r < rows; ++r) {
    float* row = &call.tensor[r * length];
    row[0] = random.awkward(0.0f, 60.0f, centres, 0.01);
    row[1] = random.awkward(0.0f, 60.0f, centres, 0.01);
    row[2] = random.awkward(0.0f, 30.0f, sizes, 0.01);
    row[3] = random.awkward(0.0f, 30.0f, sizes, 0.01);
    row[4] = random.awkward(0.0f, 1.0f, scores);
    for (std::size_t p = 5; p < length; ++p) {
      row[p] =
          random.chance(0.5) ? random.uniform(0.0f, 0.05f) : random.awkward(0.0f, 1.0f, scores);
    }
  }
  for (std::int64_t i = 0; i < call.batch_size; ++i) {
    call.conf.push_back(random.threshold(scores));
    call.nms.push_back(random.threshold({}));
  }
  call.conf.push_back(0.5f);
  call.nms.push_back(0.5f);
  return call;
}

std::vector<float> random_box_rows(awkward_random& random, int classes, bool with_nan) {
  const int n = random.chance(0.1) ? random.integer(0, 1) : random.integer(2, 30);
  const std::size_t length = static_cast<std::size_t>(classes) + 5;
  std::vector<float> palette = {0.5f, 0.25f, 0.0f, -0.0f, -0.5f, 0.75f};
  std::vector<float> corners = {0.0f, 1.0f, 2.0f, 3.0f};
  std::vector<float> rows(static_cast<std::size_t>(n) * length);
  for (int r = 0; r < n; ++r) {
    float* row = &rows[static_cast<std::size_t>(r) * length];
    const double special = with_nan ? 0.03 : 0.0;
    const float x = random.awkward(0.0f, 3.0f, corners, special);
    const float y = random.awkward(0.0f, 3.0f, corners, special);
    row[0] = x;
    row[1] = y;
    row[2] = random.chance(0.1) ? x : x + random.awkward(0.0f, 2.0f, {1.0f, 2.0f}, special);
    row[3] = random.chance(0.1) ? y : y + random.awkward(0.0f, 2.0f, {1.0f, 2.0f}, special);
    row[4] = random.uniform(0.0f, 1.0f);
    for (std::size_t p = 5; p < length; ++p) {
      if (random.chance(0.4)) {
        row[p] = 0.0f;
      } else if (with_nan && random.chance(0.05)) {
        row[p] = std::numeric_limits<float>::quiet_NaN();
      } else {
        row[p] = random.awkward(0.0f, 1.0f, palette, 0.0);
      }
    }
  }
  if (random.chance(0.1)) {
    rows.push_back(7.0f);
    rows.push_back(-7.0f);
  }
  return rows;
}

bool same_float(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) {
    return true;
  }
  return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same_floats(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_float(a[i], b[i])) {
      return false;
    }
  }
  return true;
}

bool same_records(const std::vector<object_detection>& a, const std::vector<object_detection>& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    const object_detection& x = a[i];
    const object_detection& y = b[i];
    if (!same_float(x.x_min, y.x_min) || !same_float(x.y_min, y.y_min) ||
        !same_float(x.x_max, y.x_max) || !same_float(x.y_max, y.y_max) ||
        x.class_id != y.class_id || !same_float(x.objectness, y.objectness) ||
        !same_float(x.probability, y.probability)) {
      return false;
    }
  }
  return true;
}

}  // namespace quelt_reference
