#include "reference/random_calls.hpp"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <limits>

#include "framework/exponential.hpp"
#include "framework/portable_math.hpp"

namespace quelt_reference {

namespace {

constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();
constexpr float inf_value = std::numeric_limits<float>::infinity();

float logistic(float v) {
  return 1.0f / (sorvanta::framework::rounded_exp(-v) + 1.0f);
}

// Now and then a call is large: hundreds to thousands of rows per image, so
// that the fast paths' large-input branches run (block-wise row screening,
// the ranking of many candidates), and boxes laid out to stress spatial
// culling in suppression.
constexpr double large_chance = 0.005;

// How a large call places its boxes.
enum class layout {
  lattice,     // equal squares on a lattice, neighbours touching edge to edge
  giants,      // ordinary boxes and a few spanning much of the image
  spread,      // many small boxes over a large area
  degenerate,  // ordinary boxes, many of zero or negative size
  extreme,     // ordinary boxes mixed with 1e30, 3e38, NaN and infinities
  mixed,       // any of the above, row by row
};

struct centred_box {
  float cx, cy, w, h;
};

// One box of `style`; `index` walks the lattice. Lattice steps are powers of
// two, so that corners, areas and the overlaps of neighbours (0, 1/7, 1/3
// and 1) are exact.
centred_box spatial_box(awkward_random& random, layout style, int index) {
  if (style == layout::mixed) {
    style = static_cast<layout>(random.integer(0, 4));
  }
  switch (style) {
    case layout::lattice: {
      const float step = 8.0f;
      const int columns = 40;
      float cx = (static_cast<float>(index % columns) + 0.5f) * step;
      float cy = (static_cast<float>(index / columns % columns) + 0.5f) * step;
      // A half-step shift gives overlaps of 1/3 (one axis) or 1/7 (both).
      if (random.chance(0.2)) {
        cx += step * 0.5f;
      }
      if (random.chance(0.1)) {
        cy += step * 0.5f;
      }
      return centred_box{cx, cy, step, step};
    }
    case layout::giants:
      if (random.chance(0.05)) {
        return centred_box{random.uniform(0.0f, 320.0f), random.uniform(0.0f, 320.0f),
                           random.uniform(100.0f, 640.0f), random.uniform(100.0f, 640.0f)};
      }
      return centred_box{random.uniform(0.0f, 320.0f), random.uniform(0.0f, 320.0f),
                         random.uniform(2.0f, 12.0f), random.uniform(2.0f, 12.0f)};
    case layout::spread:
      return centred_box{random.uniform(0.0f, 20000.0f), random.uniform(0.0f, 20000.0f),
                         random.uniform(0.5f, 4.0f), random.uniform(0.5f, 4.0f)};
    case layout::degenerate: {
      static const std::vector<float> sizes = {0.0f, -0.0f, -4.0f, -16.0f, 8.0f};
      return centred_box{random.uniform(0.0f, 64.0f), random.uniform(0.0f, 64.0f),
                         random.awkward(-8.0f, 16.0f, sizes, 0.0),
                         random.awkward(-8.0f, 16.0f, sizes, 0.0)};
    }
    default: {
      static const std::vector<float> extremes = {1e30f, -1e30f, 3e38f, -3e38f};
      centred_box box{random.uniform(0.0f, 64.0f), random.uniform(0.0f, 64.0f),
                      random.uniform(1.0f, 16.0f), random.uniform(1.0f, 16.0f)};
      float* fields[] = {&box.cx, &box.cy, &box.w, &box.h};
      for (float* field : fields) {
        if (random.chance(0.1)) {
          *field = random.awkward(0.0f, 64.0f, extremes, 0.3);
        }
      }
      return box;
    }
  }
}

layout random_layout(awkward_random& random) {
  return static_cast<layout>(random.integer(0, 5));
}

// Overlap thresholds for suppression of spatial layouts: 0, below 0, 1, and
// the overlaps lattice neighbours have exactly.
float spatial_nms_threshold(awkward_random& random) {
  static const float values[] = {0.0f, -0.5f, 1.0f, 1.0f / 3.0f, 1.0f / 7.0f, 0.45f};
  return values[random.integer(0, 5)];
}

// Classes for a large call: mostly four or more, so that whole groups of four
// are thresholded at once, but few enough for the reference to stay quick.
int large_class_count(awkward_random& random) {
  return random.chance(0.8) ? random.integer(4, 6) : random.integer(1, 3);
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
  const bool large = random.chance(large_chance);
  int classes = random.chance(0.7) ? random.integer(1, 4) : random.integer(1, 100);
  int images = random.chance(0.05) ? 0 : random.integer(1, 3);
  if (large) {
    classes = large_class_count(random);
    images = 1;
  }
  const int layer_count = large ? 1 : random.integer(1, 3);
  const int anchor_pairs = 6;
  for (int a = 0; a < anchor_pairs; ++a) {
    // Some anchors equal, so slots of one cell can give identical boxes.
    float w = random.chance(0.3) ? 8.0f : random.uniform(1.0f, 60.0f);
    float h = random.chance(0.3) ? 8.0f : random.uniform(1.0f, 60.0f);
    // Large calls sometimes have an anchor far bigger than the rest, whose
    // boxes span many others.
    if (large && a == anchor_pairs - 1 && random.chance(0.5)) {
      w *= 40.0f;
      h *= 40.0f;
    }
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
    int grid_w = random.chance(0.05) ? 0 : random.integer(1, 5);
    int grid_h = random.chance(0.05) ? 0 : random.integer(1, 5);
    int mask_size = random.chance(0.08) ? 0 : random.integer(1, 3);
    if (large) {
      // 270 to 432 records per image: beyond one screening block of 256.
      grid_w = random.integer(10, 12);
      grid_h = random.integer(9, 12);
      mask_size = 3;
    }
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
    call.nms.push_back(large && random.chance(0.5) ? spatial_nms_threshold(random)
                                                   : random.threshold({}));
  }
  // The entry reads one threshold per image; keep one even for no images.
  call.conf.push_back(0.5f);
  call.nms.push_back(0.5f);
  call.point_descriptors();
  return call;
}

sealed_call random_sealed_call(awkward_random& random) {
  sealed_call call;
  const bool large = random.chance(large_chance);
  call.classes = random.chance(0.7) ? random.integer(1, 4) : random.integer(1, 100);
  call.batch_size = random.chance(0.05) ? 0 : random.integer(1, 3);
  call.boxes_count = random.chance(0.05) ? 0 : random.integer(1, 40);
  const layout style = random_layout(random);
  if (large) {
    // Beyond 256 candidates per image, where candidates are ranked by radix.
    call.classes = large_class_count(random);
    call.batch_size = random.integer(1, 2);
    call.boxes_count = random.chance(0.9) ? random.integer(300, 700) : random.integer(700, 1200);
  }
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
    if (large) {
      const centred_box box = spatial_box(random, style, static_cast<int>(r));
      row[0] = box.cx;
      row[1] = box.cy;
      row[2] = box.w;
      row[3] = box.h;
    } else {
      row[0] = random.awkward(0.0f, 60.0f, centres, 0.01);
      row[1] = random.awkward(0.0f, 60.0f, centres, 0.01);
      row[2] = random.awkward(0.0f, 30.0f, sizes, 0.01);
      row[3] = random.awkward(0.0f, 30.0f, sizes, 0.01);
    }
    row[4] = random.awkward(0.0f, 1.0f, scores);
    for (std::size_t p = 5; p < length; ++p) {
      row[p] =
          random.chance(0.5) ? random.uniform(0.0f, 0.05f) : random.awkward(0.0f, 1.0f, scores);
    }
  }
  for (std::int64_t i = 0; i < call.batch_size; ++i) {
    // Large calls mostly keep hundreds of candidates.
    static const float low[] = {0.0f, 0.001f, 0.1f, -0.25f};
    call.conf.push_back(large && random.chance(0.6) ? low[random.integer(0, 3)]
                                                    : random.threshold(scores));
    call.nms.push_back(large && random.chance(0.5) ? spatial_nms_threshold(random)
                                                   : random.threshold({}));
  }
  call.conf.push_back(0.5f);
  call.nms.push_back(0.5f);
  return call;
}

std::vector<float> random_box_rows(awkward_random& random, int classes, bool with_nan) {
  const bool large = random.chance(large_chance);
  const int n = large                ? random.integer(260, 400)
                : random.chance(0.1) ? random.integer(0, 1)
                                     : random.integer(2, 30);
  const layout style = random_layout(random);
  const std::size_t length = static_cast<std::size_t>(classes) + 5;
  std::vector<float> palette = {0.5f, 0.25f, 0.0f, -0.0f, -0.5f, 0.75f};
  std::vector<float> corners = {0.0f, 1.0f, 2.0f, 3.0f};
  std::vector<float> rows(static_cast<std::size_t>(n) * length);
  for (int r = 0; r < n; ++r) {
    float* row = &rows[static_cast<std::size_t>(r) * length];
    const double special = with_nan ? 0.03 : 0.0;
    if (large) {
      const centred_box box = spatial_box(random, style, r);
      row[0] = box.cx - box.w * 0.5f;
      row[1] = box.cy - box.h * 0.5f;
      row[2] = box.cx + box.w * 0.5f;
      row[3] = box.cy + box.h * 0.5f;
    } else {
      const float x = random.awkward(0.0f, 3.0f, corners, special);
      const float y = random.awkward(0.0f, 3.0f, corners, special);
      row[0] = x;
      row[1] = y;
      row[2] = random.chance(0.1) ? x : x + random.awkward(0.0f, 2.0f, {1.0f, 2.0f}, special);
      row[3] = random.chance(0.1) ? y : y + random.awkward(0.0f, 2.0f, {1.0f, 2.0f}, special);
    }
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

// ---------------------------------------------------------------- heads --

namespace {

// Storage for a part of `images` x `candidates` x `components` values seen
// through axes in any order, gaps between values, negated strides, a zero
// image stride (every image reads the same values) and arbitrary strides on
// axes of length 1.
quelt_view random_view(awkward_random& random, std::vector<float>& storage, std::int64_t images,
                       std::int64_t candidates, std::int64_t components) {
  const std::int64_t dims[3] = {images, candidates, components};
  int order[3] = {0, 1, 2};
  for (int i = 2; i > 0; --i) {
    std::swap(order[i], order[random.integer(0, i)]);
  }
  const bool broadcast = images > 1 && random.chance(0.15);
  std::int64_t strides[3] = {0, 0, 0};
  std::int64_t step = random.chance(0.2) ? random.integer(2, 3) : 1;
  for (int i = 2; i >= 0; --i) {
    const int axis = order[i];
    if (axis == 0 && broadcast) {
      continue;
    }
    strides[axis] = step;
    step *= std::max<std::int64_t>(dims[axis], 1);
  }
  storage.assign(static_cast<std::size_t>(step), 1234.5f);  // gaps hold values never read
  std::int64_t base = 0;
  for (int axis = 0; axis < 3; ++axis) {
    if (dims[axis] == 1 && random.chance(0.3)) {
      strides[axis] = random.integer(-1000, 1000);
    } else if (dims[axis] > 1 && strides[axis] != 0 && random.chance(0.2)) {
      base += (dims[axis] - 1) * strides[axis];
      strides[axis] = -strides[axis];
    }
  }
  return quelt_view{storage.data() + base, strides[0], strides[1], strides[2]};
}

float& value_of(const quelt_view& view, std::int64_t b, std::int64_t n, std::int64_t c) {
  return const_cast<float*>(
      view.data)[b * view.image_stride + n * view.candidate_stride + c * view.component_stride];
}

quelt_image_geometry random_geometry(awkward_random& random, std::int32_t width,
                                     std::int32_t height) {
  const float original_width = random.chance(0.3) ? 200.0f : random.uniform(10.0f, 300.0f);
  const float original_height = random.chance(0.3) ? 100.0f : random.uniform(10.0f, 300.0f);
  switch (random.integer(0, 2)) {
    case 0:
      return quelt_geometry_stretch(width, height, original_width, original_height);
    case 1:
      return quelt_geometry_letterbox(width, height, original_width, original_height);
    default:
      return quelt_image_geometry{original_width,
                                  original_height,
                                  random.uniform(0.3f, 3.0f),
                                  random.uniform(0.3f, 3.0f),
                                  static_cast<float>(random.integer(-5, 30)),
                                  static_cast<float>(random.integer(-5, 30))};
  }
}

}  // namespace

namespace {

// Sometimes an allow-list (entries naming no class included), sometimes one
// geometry per image; both arrays keep one spare entry so they are never
// NULL, whatever their count.
void random_allow_list_and_geometry(awkward_random& random, int classes, std::int64_t images,
                                    std::vector<std::int32_t>& allowed,
                                    std::vector<quelt_image_geometry>& geometry,
                                    quelt_decode_options& options) {
  if (random.chance(0.2)) {
    const int count = random.integer(0, 4);
    for (int i = 0; i < count; ++i) {
      allowed.push_back(random.integer(-1, classes + 1));
    }
    allowed.push_back(0);
    options.classes_allowed = allowed.data();
    options.classes_allowed_count = count;
  }
  if (random.chance(0.4)) {
    for (std::int64_t b = 0; b < images; ++b) {
      geometry.push_back(random_geometry(random, options.network_width, options.network_height));
    }
    geometry.push_back(quelt_image_geometry{1, 1, 1, 1, 0, 0});
    options.geometry = geometry.data();
  }
}

}  // namespace

void random_heads_call(awkward_random& random, heads_call& call) {
  const bool large = random.chance(0.08);
  const std::int64_t images = random.chance(0.05) ? 0 : random.integer(1, 3);
  const std::int64_t candidates =
      random.chance(0.05) ? 0 : (large ? random.integer(200, 700) : random.integer(1, 40));
  std::int32_t classes =
      large || random.chance(0.7) ? random.integer(1, 4) : random.integer(1, 100);
  const int shape = random.integer(0, 5);  // rows, columns, separate, end-to-end, views (x2)
  const bool end_to_end = shape == 3 || (shape >= 4 && random.chance(0.25));
  const bool objectness = !end_to_end && (shape == 0 || shape >= 4) && random.chance(0.5);

  quelt_layout& layout = call.layout;
  call.storage.resize(3);
  switch (shape) {
    case 0:
      call.storage[0].resize(static_cast<std::size_t>(images * candidates * (4 + classes + 1)) + 1);
      quelt_layout_rows(&layout, call.storage[0].data(), images, candidates, classes,
                        objectness ? 1 : 0);
      break;
    case 1:
      call.storage[0].resize(static_cast<std::size_t>(images * candidates * (4 + classes)) + 1);
      quelt_layout_columns(&layout, call.storage[0].data(), images, candidates, classes);
      break;
    case 2:
      call.storage[0].resize(static_cast<std::size_t>(images * candidates * 4) + 1);
      call.storage[1].resize(static_cast<std::size_t>(images * candidates * classes) + 1);
      quelt_layout_separate(&layout, call.storage[0].data(), call.storage[1].data(), images,
                            candidates, classes, random.chance(0.5) ? 1 : 0);
      break;
    case 3:
      call.storage[0].resize(static_cast<std::size_t>(images * candidates * 6) + 1);
      quelt_layout_end_to_end(&layout, call.storage[0].data(), images, candidates);
      break;
    default:
      layout.struct_size = sizeof(quelt_layout);
      layout.batch = images;
      layout.candidates = candidates;
      layout.classes = end_to_end ? 0 : classes;
      layout.candidate_kind = end_to_end ? QUELT_CANDIDATES_END_TO_END : QUELT_CANDIDATES_RAW;
      layout.boxes = random_view(random, call.storage[0], images, candidates, 4);
      if (objectness) {
        layout.objectness = random_view(random, call.storage[1], images, candidates, 1);
      }
      layout.scores =
          random_view(random, call.storage[2], images, candidates, end_to_end ? 2 : classes);
      break;
  }
  if (end_to_end) {
    layout.classes = random.chance(0.5) ? 0 : random.integer(1, 5);
    classes = layout.classes > 0 ? layout.classes : 5;
  }
  if (shape != 3 || random.chance(0.3)) {
    layout.box_coding = random.chance(0.5) ? QUELT_BOX_CENTRE_SIZE : QUELT_BOX_CORNERS;
  }
  layout.score_coding = random.chance(0.35) ? QUELT_SCORES_LOGITS : QUELT_SCORES_PROBABILITIES;
  const bool logits = layout.score_coding == QUELT_SCORES_LOGITS;

  // Shared values make ties in scores and boxes.
  std::vector<float> palette;
  std::vector<float> probabilities;
  for (int p = 0; p < 4; ++p) {
    palette.push_back(logits ? random.uniform(-3.0f, 3.0f) : random.uniform(0.0f, 1.0f));
    probabilities.push_back(logits ? logistic(palette.back()) : palette.back());
  }
  const std::vector<float> centres = {10.0f, 20.0f, 30.0f, 25.0f};
  const std::vector<float> sizes = {10.0f, 20.0f, 0.0f, -5.0f};
  for (std::int64_t b = 0; b < images; ++b) {
    for (std::int64_t n = 0; n < candidates; ++n) {
      if (layout.box_coding == QUELT_BOX_CENTRE_SIZE) {
        value_of(layout.boxes, b, n, 0) = random.awkward(0.0f, 60.0f, centres, 0.01);
        value_of(layout.boxes, b, n, 1) = random.awkward(0.0f, 60.0f, centres, 0.01);
        value_of(layout.boxes, b, n, 2) = random.awkward(0.0f, 30.0f, sizes, 0.01);
        value_of(layout.boxes, b, n, 3) = random.awkward(0.0f, 30.0f, sizes, 0.01);
      } else {
        const float x = random.awkward(0.0f, 60.0f, centres, 0.01);
        const float y = random.awkward(0.0f, 60.0f, centres, 0.01);
        value_of(layout.boxes, b, n, 0) = x;
        value_of(layout.boxes, b, n, 1) = y;
        value_of(layout.boxes, b, n, 2) =
            random.chance(0.1) ? x : x + random.awkward(0.0f, 30.0f, sizes, 0.01);
        value_of(layout.boxes, b, n, 3) =
            random.chance(0.1) ? y : y + random.awkward(0.0f, 30.0f, sizes, 0.01);
      }
      if (layout.objectness.data != nullptr) {
        value_of(layout.objectness, b, n, 0) =
            logits ? random.awkward(-6.0f, 4.0f, palette) : random.awkward(0.0f, 1.0f, palette);
      }
      if (end_to_end) {
        value_of(layout.scores, b, n, 0) =
            logits ? random.awkward(-4.0f, 4.0f, palette) : random.awkward(0.0f, 1.0f, palette);
        static const float odd_classes[] = {-1.0f, 0.5f, nan_value, 3e9f, -0.0f};
        value_of(layout.scores, b, n, 1) = random.chance(0.85)
                                               ? static_cast<float>(random.integer(0, classes + 1))
                                               : odd_classes[random.integer(0, 4)];
        continue;
      }
      for (std::int32_t k = 0; k < classes; ++k) {
        float& v = value_of(layout.scores, b, n, k);
        if (logits) {
          v = random.chance(0.6) ? random.awkward(-12.0f, -2.0f, palette)
                                 : random.awkward(-2.0f, 6.0f, palette);
        } else {
          v = random.chance(0.5) ? random.uniform(0.0f, 0.05f)
                                 : random.awkward(0.0f, 1.0f, palette);
        }
      }
    }
  }

  quelt_decode_options& options = call.options;
  quelt_decode_options_init(&options);
  options.network_width = random.chance(0.5) ? 100 : random.integer(1, 300);
  options.network_height = random.chance(0.5) ? 100 : random.integer(1, 300);
  options.agnostic = random.chance(0.3) ? 1 : 0;
  options.multi_label = random.chance(0.4) ? 1 : 0;
  // Caps from 1 to 6, and on large images mostly up to 100: the suppressed
  // prefix of the ranking then has to grow.
  options.max_detections = large ? (random.chance(0.3) ? 0 : random.integer(1, 100))
                                 : (random.chance(0.7) ? 0 : random.integer(1, 6));
  for (std::int64_t b = 0; b < images; ++b) {
    call.scores.push_back(random.threshold(probabilities));
    call.ious.push_back(random.threshold({}));
  }
  call.scores.push_back(0.5f);  // never read: keeps the arrays non-null
  call.ious.push_back(0.5f);
  options.score_thresholds = call.scores.data();
  options.iou_thresholds = call.ious.data();
  random_allow_list_and_geometry(random, classes, images, call.allowed, call.geometry, options);

  // Bad input, one fault at a time.
  const std::uint64_t values = static_cast<std::uint64_t>(images * candidates);
  if (random.chance(0.1)) {
    for (float& t : call.scores) {
      t = std::isnan(t) ? 0.5f : t;
    }
    for (float& t : call.ious) {
      t = std::isnan(t) ? 0.5f : t;
    }
    switch (random.integer(0, 20)) {
      case 1:
        options.struct_size = 60;
        call.fault = "options.struct_size";
        break;
      case 2:
        layout.box_coding = 7;
        call.fault = "layout.box_coding";
        break;
      case 3:
        layout.score_coding = -1;
        call.fault = "layout.score_coding";
        break;
      case 4:
        layout.candidate_kind = 2;
        call.fault = "layout.candidate_kind";
        break;
      case 5:
        options.agnostic = 2;
        call.fault = "options.agnostic";
        break;
      case 6:
        options.multi_label = -1;
        call.fault = "options.multi_label";
        break;
      case 7:
        layout.reserved = 1;
        call.fault = "layout.reserved";
        break;
      case 8:
        layout.batch = -1;
        call.fault = "layout.batch";
        break;
      case 9:
        layout.candidates = -2;
        call.fault = "layout.candidates";
        break;
      case 10:
        layout.classes = end_to_end ? -1 : 0;
        call.fault = "layout.classes";
        break;
      case 11:
        options.network_height = 0;
        call.fault = "options.network_height: 0";
        break;
      case 12:
        options.max_detections = -1;
        call.fault = "options.max_detections";
        break;
      case 13:
        options.classes_allowed = nullptr;
        options.classes_allowed_count = 2;
        call.fault = "classes_allowed";
        break;
      case 14:
        call.allowed.push_back(0);
        options.classes_allowed = call.allowed.data();
        options.classes_allowed_count = -1;
        call.fault = "classes_allowed_count";
        break;
      case 15:
      case 16:
        if (images > 0) {
          call.geometry.assign(static_cast<std::size_t>(images),
                               quelt_image_geometry{10, 10, 1, 1, 0, 0});
          const std::size_t victim =
              static_cast<std::size_t>(random.integer(0, static_cast<int>(images) - 1));
          if (random.chance(0.5)) {
            call.geometry[victim].original_width = 0.0f;
          } else {
            call.geometry[victim].pad_y = nan_value;
          }
          options.geometry = call.geometry.data();
          call.fault = "options.geometry[";
        }
        break;
      case 17:
        if (values > 0) {
          layout.scores.data = nullptr;
          call.fault = "layout.scores.data";
        }
        break;
      case 18:
        if (values > 0) {
          layout.boxes.data = nullptr;
          call.fault = "layout.boxes.data";
        }
        break;
      case 19:
        if (images > 0 && candidates > 1) {
          layout.scores.candidate_stride = std::numeric_limits<std::int64_t>::min() / 3;
          call.fault = "layout.scores";
        }
        break;
      case 20:
        if (images > 0) {
          options.score_thresholds = nullptr;
          call.fault = "options.score_thresholds";
        }
        break;
      default:
        break;
    }
    if (call.fault.empty()) {
      // Smaller than the first published struct, larger than the library
      // knows, or not a whole number of 8-byte steps.
      const std::uint32_t sizes[] = {136 - 8 /* below the first published size */,
                                     sizeof(quelt_layout) + 8, sizeof(quelt_layout) + 4, 0};
      layout.struct_size = sizes[random.integer(0, 3)];
      call.fault = "layout.struct_size";
    }
  } else {
    for (std::int64_t b = 0; b < images && call.fault.empty(); ++b) {
      if (std::isnan(call.scores[static_cast<std::size_t>(b)])) {
        call.fault = "score_thresholds";
      }
    }
    for (std::int64_t b = 0; b < images && call.fault.empty() && !end_to_end; ++b) {
      if (std::isnan(call.ious[static_cast<std::size_t>(b)])) {
        call.fault = "iou_thresholds";
      }
    }
  }

  // quelt_map_detections on the result.
  call.map_width = random.chance(0.5) ? options.network_width : random.integer(1, 300);
  call.map_height = random.chance(0.5) ? options.network_height : random.integer(1, 300);
  call.map_cap = random.chance(0.6) ? 0 : random.integer(1, 4);
  if (random.chance(0.5)) {
    for (std::int64_t b = 0; b < images; ++b) {
      call.map_geometry.push_back(random_geometry(random, call.map_width, call.map_height));
    }
    call.map_geometry.push_back(quelt_image_geometry{1, 1, 1, 1, 0, 0});
  }
}

// ------------------------------------------------------------- rotated --

namespace {

constexpr double half_turn = 3.14159265358979323846;

// An angle near a multiple of a quarter turn, now and then exactly one (as a
// float), or anywhere in a few turns either way.
float rotated_angle(awkward_random& random) {
  const float quarter = static_cast<float>(half_turn / 2);
  switch (random.integer(0, 3)) {
    case 0:
      return static_cast<float>(random.integer(-4, 4)) * quarter;
    case 1: {
      const float nudges[] = {1e-7f, -1e-7f, 1e-5f, -3e-4f, 1e-3f};
      return static_cast<float>(random.integer(-4, 4)) * quarter + nudges[random.integer(0, 4)];
    }
    default:
      return random.uniform(-7.0f, 7.0f);
  }
}

}  // namespace

void random_rotated_call(awkward_random& random, heads_call& call) {
  const bool large = random.chance(0.1);
  const std::int64_t images = random.chance(0.05) ? 0 : random.integer(1, 2);
  const std::int64_t candidates =
      random.chance(0.05) ? 0 : (large ? random.integer(200, 600) : random.integer(1, 40));
  const std::int32_t classes = large ? random.integer(1, 2) : random.integer(1, 15);
  const bool separate_angles = random.chance(0.4);
  const bool far = random.chance(0.15);  // huge coordinates

  quelt_layout& layout = call.layout;
  call.storage.resize(3);
  const std::int64_t row = 5 + classes;
  call.storage[0].resize(static_cast<std::size_t>(images * candidates * row) + 1);
  quelt_layout_rows(&layout, call.storage[0].data(), images, candidates, classes, 0);
  layout.box_coding = QUELT_BOX_ROTATED;
  // After the box: the angle, then the scores (the OBB export transposed),
  // or the angles in a tensor of their own.
  layout.scores.data = call.storage[0].data() + 5;
  layout.scores.candidate_stride = row;
  layout.scores.image_stride = candidates * row;
  layout.boxes.candidate_stride = row;
  layout.boxes.image_stride = candidates * row;
  if (separate_angles) {
    call.storage[1].resize(static_cast<std::size_t>(images * candidates) + 1);
    layout.angles = quelt_view{call.storage[1].data(), candidates, 1, 0};
  } else {
    layout.angles = quelt_view{call.storage[0].data() + 4, candidates * row, row, 0};
  }
  layout.angle_flags = random.integer(0, 3);
  layout.rotated_overlap = random.chance(0.2) ? QUELT_OVERLAP_PROBABILISTIC : QUELT_OVERLAP_EXACT;

  std::vector<float> palette;
  for (int p = 0; p < 4; ++p) {
    palette.push_back(random.uniform(0.0f, 1.0f));
  }
  const float origin = far ? (random.chance(0.5) ? 1.0e6f : -3.0e7f) : 0.0f;
  const float span = large ? 400.0f : 60.0f;
  for (std::int64_t b = 0; b < images; ++b) {
    std::vector<float> made;  // cx, cy, w, h, angle (radians, clockwise) of earlier candidates
    for (std::int64_t n = 0; n < candidates; ++n) {
      float cx = origin + random.uniform(0.0f, span);
      float cy = origin + random.uniform(0.0f, span);
      float w = random.uniform(1.0f, 30.0f);
      float h = random.uniform(1.0f, 30.0f);
      float angle = rotated_angle(random);
      const std::size_t earlier = made.size() / 5;
      const std::size_t e =
          earlier > 0
              ? 5 * static_cast<std::size_t>(random.integer(0, static_cast<int>(earlier) - 1))
              : 0;
      switch (earlier > 0 ? random.integer(0, 12) : 12) {
        case 0:  // identical
          cx = made[e];
          cy = made[e + 1];
          w = made[e + 2];
          h = made[e + 3];
          angle = made[e + 4];
          break;
        case 1:  // nested: same centre, smaller, any angle
          cx = made[e];
          cy = made[e + 1];
          w = std::min(made[e + 2], made[e + 3]) * 0.25f;
          h = w * (random.chance(0.5) ? 1.0f : 0.5f);
          break;
        case 2: {  // touching at a corner: the same angle, diagonally next to it
          angle = made[e + 4];
          const float along = (made[e + 2] + w) * 0.5f;
          const float across = (made[e + 3] + h) * 0.5f;
          double s = 0.0;
          double c = 0.0;
          sorvanta::framework::portable::sin_cos(angle, s, c);
          cx = made[e] + static_cast<float>(along * c - across * s);
          cy = made[e + 1] + static_cast<float>(along * s + across * c);
          break;
        }
        case 3: {  // parallel with a shared edge: the same box shifted by its width
          double s = 0.0;
          double c = 0.0;
          sorvanta::framework::portable::sin_cos(made[e + 4], s, c);
          cx = made[e] + static_cast<float>(made[e + 2] * c);
          cy = made[e + 1] + static_cast<float>(made[e + 2] * s);
          w = made[e + 2];
          h = made[e + 3];
          angle = made[e + 4];
          break;
        }
        case 4:  // a thin sliver over it
          cx = made[e];
          cy = made[e + 1];
          w = made[e + 2] * 2.0f;
          h = random.chance(0.5) ? 1e-3f : 0.0f;
          break;
        case 5:  // the same box a quarter turn on, sides swapped
          cx = made[e];
          cy = made[e + 1];
          w = made[e + 3];
          h = made[e + 2];
          angle = made[e + 4] + static_cast<float>(half_turn / 2);
          break;
        case 6:  // nearly the same
          cx = made[e] + 0.5f;
          cy = made[e + 1];
          w = made[e + 2];
          h = made[e + 3];
          angle = made[e + 4] + 1e-4f;
          break;
        case 7: {  // bad values: non-finite angle, negative size, NaN centre
          const float bad[] = {std::numeric_limits<float>::quiet_NaN(), inf_value};
          switch (random.integer(0, 2)) {
            case 0:
              angle = bad[random.integer(0, 1)];
              break;
            case 1:
              w = -w;
              break;
            default:
              cx = bad[random.integer(0, 1)];
              break;
          }
          break;
        }
        case 8:  // degenerate
          w = 0.0f;
          break;
        default:
          break;
      }
      made.insert(made.end(), {cx, cy, w, h, angle});
      float coded = angle;
      if ((layout.angle_flags & QUELT_ANGLE_COUNTERCLOCKWISE) != 0) {
        coded = -coded;
      }
      if ((layout.angle_flags & QUELT_ANGLE_DEGREES) != 0) {
        coded = coded * static_cast<float>(180.0 / half_turn);
      }
      value_of(layout.boxes, b, n, 0) = cx;
      value_of(layout.boxes, b, n, 1) = cy;
      value_of(layout.boxes, b, n, 2) = w;
      value_of(layout.boxes, b, n, 3) = h;
      value_of(layout.angles, b, n, 0) = coded;
      for (std::int32_t k = 0; k < classes; ++k) {
        value_of(layout.scores, b, n, k) =
            random.chance(0.4) ? random.uniform(0.0f, 0.05f) : random.awkward(0.0f, 1.0f, palette);
      }
    }
  }

  quelt_decode_options& options = call.options;
  quelt_decode_options_init(&options);
  options.network_width = far ? 1 << 30 : (random.chance(0.5) ? 100 : random.integer(50, 500));
  options.network_height = far ? 1 << 30 : (random.chance(0.5) ? 100 : random.integer(50, 500));
  options.agnostic = random.chance(0.3) ? 1 : 0;
  options.multi_label = random.chance(0.3) ? 1 : 0;
  options.max_detections = random.chance(0.7) ? 0 : random.integer(1, 8);
  const float overlaps[] = {0.0f, 0.1f, 0.25f, 0.5f, 0.7f, 0.95f, -0.1f, 1.0f};
  for (std::int64_t b = 0; b < images; ++b) {
    call.scores.push_back(random.chance(0.5) ? 0.1f : random.threshold(palette));
    call.ious.push_back(overlaps[random.integer(0, 7)]);
  }
  call.scores.push_back(0.5f);
  call.ious.push_back(0.5f);
  options.score_thresholds = call.scores.data();
  options.iou_thresholds = call.ious.data();
  random_allow_list_and_geometry(random, classes, images, call.allowed, call.geometry, options);
  for (std::int64_t b = 0; b < images && call.fault.empty(); ++b) {
    if (std::isnan(call.scores[static_cast<std::size_t>(b)])) {
      call.fault = "score_thresholds";
    }
  }

  // Layout contradictions, one at a time.
  if (call.fault.empty() && random.chance(0.1)) {
    switch (random.integer(0, 4)) {
      case 0:
        if (images > 0 && candidates > 0) {
          layout.angles.data = nullptr;
          call.fault = "layout.angles.data";
        }
        break;
      case 1:
        layout.angle_flags = 4;
        call.fault = "layout.angle_flags";
        break;
      case 2:
        layout.rotated_overlap = 2;
        call.fault = "layout.rotated_overlap";
        break;
      case 3:
        layout.box_coding = QUELT_BOX_CENTRE_SIZE;
        call.fault = "layout.angles.data";
        layout.rotated_overlap = 0;
        break;
      default:
        layout.angles_element.type = 9;
        call.fault = "layout.angles_element.type";
        break;
    }
  }

  call.map_width = options.network_width;
  call.map_height = options.network_height;
  call.map_cap = random.chance(0.6) ? 0 : random.integer(1, 4);
  if (random.chance(0.5)) {
    for (std::int64_t b = 0; b < images; ++b) {
      call.map_geometry.push_back(random_geometry(random, call.map_width, call.map_height));
    }
    call.map_geometry.push_back(quelt_image_geometry{1, 1, 1, 1, 0, 0});
  }
}

namespace {

// Nearest binary16 of `value` (halves to even), its bits.
std::uint16_t to_half(float value) {
  const std::uint16_t sign = std::signbit(value) ? 0x8000 : 0;
  const double magnitude = std::fabs(static_cast<double>(value));
  if (std::isnan(value)) {
    return static_cast<std::uint16_t>(sign | 0x7e00);
  }
  if (magnitude >= 65520.0) {
    return static_cast<std::uint16_t>(sign | 0x7c00);
  }
  int exponent = magnitude == 0.0 ? -14 : std::max(std::ilogb(magnitude), -14);
  double units = std::nearbyint(std::ldexp(magnitude, 10 - exponent));
  if (units >= 2048.0) {
    units /= 2.0;
    ++exponent;
  }
  if (units < 1024.0) {
    return static_cast<std::uint16_t>(sign | static_cast<int>(units));  // subnormal
  }
  return static_cast<std::uint16_t>(sign | ((exponent + 15) << 10) |
                                    (static_cast<int>(units) - 1024));
}

struct element_choice {
  std::int32_t low;
  std::int32_t high;
  std::size_t bytes;
};

element_choice choice_of(std::int32_t type) {
  switch (type) {
    case QUELT_ELEMENT_FLOAT16:
    case QUELT_ELEMENT_BFLOAT16:
      return {0, 0, 2};
    case QUELT_ELEMENT_INT8:
      return {-128, 127, 1};
    case QUELT_ELEMENT_UINT8:
      return {0, 255, 1};
    case QUELT_ELEMENT_INT16:
      return {-32768, 32767, 2};
    case QUELT_ELEMENT_UINT16:
      return {0, 65535, 2};
    default:
      return {0, 0, 4};
  }
}

// Writes `v` at `out` as `element`: the nearest 16-bit float, or the
// quantized integer saturated to its type (NaN: any integer).
void encode(awkward_random& random, const quelt_element& element, float v, unsigned char* out) {
  const element_choice c = choice_of(element.type);
  std::int32_t q = 0;
  if (element.type == QUELT_ELEMENT_FLOAT32) {
    std::memcpy(out, &v, 4);
    return;
  }
  if (element.type == QUELT_ELEMENT_FLOAT16) {
    q = to_half(v);
  } else if (element.type == QUELT_ELEMENT_BFLOAT16) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    q = std::isnan(v) ? 0x7fc0 : static_cast<std::int32_t>(bits >> 16);
  } else if (std::isnan(v)) {
    q = random.integer(c.low, c.high);
  } else {
    const double scaled = std::nearbyint(static_cast<double>(v) / element.scale) +
                          static_cast<double>(element.zero_point);
    q = static_cast<std::int32_t>(std::min<double>(std::max<double>(scaled, c.low), c.high));
  }
  if (c.bytes == 1) {
    out[0] = static_cast<unsigned char>(q & 0xff);
  } else {
    const auto half = static_cast<std::uint16_t>(q & 0xffff);
    std::memcpy(out, &half, 2);
  }
}

// Re-stores `view` (components per candidate) in `bytes_out` as `element`,
// each value encoded from the float it held; gaps get random bytes.
void store_as(awkward_random& random, heads_call& call, quelt_view& view, quelt_element& element,
              std::int64_t components, std::vector<unsigned char>& bytes_out) {
  if (view.data == nullptr || element.type == QUELT_ELEMENT_FLOAT32) {
    return;
  }
  const std::vector<float>* source = nullptr;
  for (const auto& s : call.storage) {
    if (!s.empty() && view.data >= s.data() && view.data < s.data() + s.size()) {
      source = &s;
    }
  }
  if (source == nullptr) {
    return;
  }
  const element_choice c = choice_of(element.type);
  bytes_out.resize(source->size() * c.bytes);
  for (unsigned char& byte : bytes_out) {
    byte = static_cast<unsigned char>(random.integer(0, 255));
  }
  const std::ptrdiff_t base = view.data - source->data();
  const quelt_layout& layout = call.layout;
  for (std::int64_t b = 0; b < layout.batch; ++b) {
    for (std::int64_t n = 0; n < layout.candidates; ++n) {
      for (std::int64_t k = 0; k < components; ++k) {
        const std::ptrdiff_t index =
            base + b * view.image_stride + n * view.candidate_stride + k * view.component_stride;
        const float v = (*source)[static_cast<std::size_t>(index)];
        unsigned char* out = bytes_out.data() + index * static_cast<std::ptrdiff_t>(c.bytes);
        encode(random, element, v, out);
      }
    }
  }
  view.data = reinterpret_cast<const float*>(bytes_out.data() +
                                             base * static_cast<std::ptrdiff_t>(c.bytes));
}

// An element type for values spread over [low, high]: mostly a scale that
// maps that range onto the integers, sometimes a coarse one (ties) or one so
// fine that the range saturates.
quelt_element random_element(awkward_random& random, float low, float high) {
  quelt_element element{};
  if (random.chance(0.25)) {
    return element;
  }
  element.type = random.integer(QUELT_ELEMENT_FLOAT16, QUELT_ELEMENT_UINT16);
  const element_choice c = choice_of(element.type);
  if (c.low == c.high) {
    return element;
  }
  const double steps = static_cast<double>(c.high) - c.low;
  double scale = (static_cast<double>(high) - low) / steps;
  if (random.chance(0.2)) {
    scale *= random.integer(4, 64);
  } else if (random.chance(0.1)) {
    scale /= random.integer(4, 64);
  }
  element.scale = static_cast<float>(scale);
  const double zero = c.low - low / scale;
  element.zero_point = random.chance(0.2)
                           ? random.integer(c.low, c.high)
                           : static_cast<std::int32_t>(std::min<double>(
                                 std::max<double>(std::nearbyint(zero), c.low), c.high));
  return element;
}

}  // namespace

void random_element_call(awkward_random& random, heads_call& call) {
  random_heads_call(random, call);
  quelt_layout& layout = call.layout;
  const bool logits = layout.score_coding == QUELT_SCORES_LOGITS;
  const bool raw = layout.candidate_kind == QUELT_CANDIDATES_RAW;
  call.element_storage.resize(3);
  layout.boxes_element = random_element(random, -5.0f, 90.0f);
  layout.objectness_element =
      logits ? random_element(random, -6.0f, 4.0f) : random_element(random, 0.0f, 1.0f);
  layout.scores_element =
      logits ? random_element(random, -12.0f, 6.0f) : random_element(random, 0.0f, 1.0f);
  if (!raw && layout.scores_element.type >= QUELT_ELEMENT_INT8) {
    // Class values must stay whole numbers now and then: scale 1.
    if (random.chance(0.7)) {
      layout.scores_element.scale = 1.0f;
    }
  }
  if (!call.fault.empty()) {
    // The fault already chosen is one of float views (strides counted in
    // floats): keep them float.
    layout.boxes_element = quelt_element{};
    layout.objectness_element = quelt_element{};
    layout.scores_element = quelt_element{};
    return;
  }
  {
    store_as(random, call, layout.boxes, layout.boxes_element, 4, call.element_storage[0]);
    store_as(random, call, layout.objectness, layout.objectness_element, 1,
             call.element_storage[1]);
    store_as(random, call, layout.scores, layout.scores_element, raw ? layout.classes : 2,
             call.element_storage[2]);
  }
  if (!random.chance(0.1)) {
    return;
  }
  quelt_element* victims[] = {&layout.boxes_element, &layout.objectness_element,
                              &layout.scores_element};
  const char* names[] = {"layout.boxes_element", "layout.objectness_element",
                         "layout.scores_element"};
  const int v = random.integer(0, 2);
  quelt_element& e = *victims[v];
  const std::string name = names[v];
  switch (random.integer(0, 4)) {
    case 0:
      e.type = random.chance(0.5) ? -1 : 7;
      call.fault = name + ".type";
      break;
    case 1:
      e.reserved = 3;
      call.fault = name + ".reserved";
      break;
    default: {
      e.type = QUELT_ELEMENT_INT8;
      static const float bad[] = {0.0f, -1.0f, nan_value, std::numeric_limits<float>::infinity()};
      if (random.chance(0.6)) {
        e.scale = bad[random.integer(0, 3)];
        call.fault = name + ".scale";
      } else {
        e.scale = 0.5f;
        e.zero_point = random.chance(0.5) ? 128 : -129;
        call.fault = name + ".zero_point";
      }
      break;
    }
  }
}

namespace {

// A map of `images` x `height` x `width` x `channels` values as NCHW or
// NHWC, sometimes with padded or reversed rows or one image for all, stored
// as `element` in `bytes` (gaps hold random bytes); value(b, y, x, c) gives
// each value before encoding.
template <class Value>
quelt_grid_view random_grid(awkward_random& random, std::vector<unsigned char>& bytes,
                            std::int64_t images, std::int64_t height, std::int64_t width,
                            std::int64_t channels, const quelt_element& element, Value value) {
  const bool nhwc = random.chance(0.3);
  const std::int64_t pad = random.chance(0.2) ? random.integer(1, 3) : 0;
  quelt_grid_view view{};
  view.element = element;
  if (nhwc) {
    view.channel_stride = 1;
    view.column_stride = channels;
    view.row_stride = width * channels + pad;
    view.image_stride = height * view.row_stride;
  } else {
    view.column_stride = 1;
    view.row_stride = width + pad;
    view.channel_stride = height * view.row_stride;
    view.image_stride = channels * view.channel_stride;
  }
  const std::int64_t total = images * view.image_stride;
  if (images > 1 && random.chance(0.1)) {
    view.image_stride = 0;  // every image reads the same values
  }
  const std::size_t size = choice_of(element.type).bytes;
  bytes.resize(static_cast<std::size_t>(std::max<std::int64_t>(total, 1)) * size);
  for (unsigned char& byte : bytes) {
    byte = static_cast<unsigned char>(random.integer(0, 255));
  }
  std::int64_t base = 0;
  if (height > 1 && random.chance(0.2)) {
    base = (height - 1) * view.row_stride;
    view.row_stride = -view.row_stride;
  }
  for (std::int64_t b = 0; b < images; ++b) {
    for (std::int64_t y = 0; y < height; ++y) {
      for (std::int64_t x = 0; x < width; ++x) {
        for (std::int64_t c = 0; c < channels; ++c) {
          const std::int64_t index = base + b * view.image_stride + y * view.row_stride +
                                     x * view.column_stride + c * view.channel_stride;
          encode(random, element, value(b, y, x, c),
                 bytes.data() + index * static_cast<std::int64_t>(size));
        }
      }
    }
  }
  view.data = reinterpret_cast<const float*>(bytes.data() + base * static_cast<std::int64_t>(size));
  return view;
}

}  // namespace

void random_levels_call(awkward_random& random, levels_case& call) {
  const std::int64_t images = random.chance(0.05) ? 0 : random.integer(1, 2);
  const std::int64_t count = random.chance(0.05) ? 0 : random.integer(1, 3);
  const std::int32_t classes = random.chance(0.7) ? random.integer(1, 4) : random.integer(5, 30);
  const int bin_choices[] = {1, 4, 16, 2, 7};
  const std::int32_t bins = bin_choices[random.integer(0, 4)];
  const bool logits = random.chance(0.6);
  quelt_levels& levels = call.levels;
  quelt_levels_init(&levels);
  levels.score_coding = logits ? QUELT_SCORES_LOGITS : QUELT_SCORES_PROBABILITIES;
  levels.batch = images;
  levels.classes = classes;
  levels.bins = bins;
  levels.level_count = count;
  call.maps.resize(static_cast<std::size_t>(3 * count));
  call.level_list.resize(static_cast<std::size_t>(count));

  std::vector<float> palette;
  std::vector<float> probabilities;
  for (int p = 0; p < 4; ++p) {
    palette.push_back(logits ? random.uniform(-3.0f, 3.0f) : random.uniform(0.0f, 1.0f));
    probabilities.push_back(logits ? logistic(palette.back()) : palette.back());
  }
  const std::vector<float> bin_palette = {0.0f, 1.5f, -2.0f, 4.0f};
  const std::vector<float> distances = {0.0f, 1.0f, 2.5f, 0.5f};
  for (std::int64_t l = 0; l < count; ++l) {
    quelt_level& level = call.level_list[static_cast<std::size_t>(l)];
    level.height = random.integer(1, 6);
    // Now and then rows long enough for the wide screens (64 bytes a round,
    // so up to 64 elements).
    level.width = random.chance(0.15) ? random.integer(16, 80) : random.integer(1, 6);
    const int strides[] = {8, 16, 32};
    level.stride = random.chance(0.8) ? strides[l % 3] : random.integer(1, 20);
    const quelt_element box_element = random_element(random, -8.0f, 12.0f);
    const quelt_element score_element =
        logits ? random_element(random, -12.0f, 6.0f) : random_element(random, 0.0f, 1.0f);
    // Peaked or flat distributions, ties between bins and NaN and infinities
    // now and then.
    level.boxes = random_grid(random, call.maps[static_cast<std::size_t>(3 * l)], images,
                              level.height, level.width, 4 * bins, box_element,
                              [&](std::int64_t, std::int64_t, std::int64_t, std::int64_t) {
                                return bins == 1 ? random.awkward(-1.0f, 6.0f, distances, 0.02)
                                                 : random.awkward(-4.0f, 8.0f, bin_palette, 0.02);
                              });
    level.scores = random_grid(
        random, call.maps[static_cast<std::size_t>(3 * l + 1)], images, level.height, level.width,
        classes, score_element, [&](std::int64_t, std::int64_t, std::int64_t, std::int64_t) {
          if (logits) {
            return random.chance(0.6) ? random.awkward(-12.0f, -2.0f, palette)
                                      : random.awkward(-2.0f, 6.0f, palette);
          }
          return random.chance(0.5) ? random.uniform(0.0f, 0.05f)
                                    : random.awkward(0.0f, 1.0f, palette);
        });
    if (random.chance(0.3)) {
      const quelt_element sum_element = random_element(random, 0.0f, 1.0f);
      level.score_sum = random_grid(random, call.maps[static_cast<std::size_t>(3 * l + 2)], images,
                                    level.height, level.width, 1, sum_element,
                                    [&](std::int64_t, std::int64_t, std::int64_t, std::int64_t) {
                                      return random.awkward(0.0f, 1.0f, probabilities);
                                    });
    }
  }
  levels.levels = call.level_list.empty() ? nullptr : call.level_list.data();

  quelt_decode_options& options = call.options;
  quelt_decode_options_init(&options);
  options.network_width = random.chance(0.5) ? 96 : random.integer(1, 300);
  options.network_height = random.chance(0.5) ? 96 : random.integer(1, 300);
  options.agnostic = random.chance(0.3) ? 1 : 0;
  options.multi_label = random.chance(0.4) ? 1 : 0;
  options.max_detections = random.chance(0.7) ? 0 : random.integer(1, 6);
  for (std::int64_t b = 0; b < images; ++b) {
    float t = random.threshold(probabilities);
    float iou = random.threshold({});
    call.scores.push_back(std::isnan(t) ? 0.25f : t);
    call.ious.push_back(std::isnan(iou) ? 0.5f : iou);
  }
  call.scores.push_back(0.5f);  // never read: keeps the arrays non-null
  call.ious.push_back(0.5f);
  options.score_thresholds = call.scores.data();
  options.iou_thresholds = call.ious.data();
  random_allow_list_and_geometry(random, classes, images, call.allowed, call.geometry, options);

  if (!random.chance(0.1)) {
    return;
  }
  quelt_level* victim = count > 0 ? &call.level_list[static_cast<std::size_t>(
                                        random.integer(0, static_cast<int>(count) - 1))]
                                  : nullptr;
  switch (random.integer(0, 9)) {
    case 0:
      levels.bins = 0;
      call.fault = "levels.bins";
      break;
    case 1:
      levels.classes = 0;
      call.fault = "levels.classes";
      break;
    case 2:
      levels.batch = -1;
      call.fault = "levels.batch";
      break;
    case 3:
      levels.struct_size = 32;
      call.fault = "levels.struct_size";
      break;
    case 4:
      levels.score_coding = 2;
      call.fault = "levels.score_coding";
      break;
    case 5:
      if (victim != nullptr) {
        victim->stride = random.chance(0.5) ? 0 : -8;
        call.fault = ".stride";
      }
      break;
    case 6:
      if (victim != nullptr) {
        victim->height = 0;
        call.fault = ".height";
      }
      break;
    case 7:
      if (victim != nullptr) {
        victim->scores.element = quelt_element{QUELT_ELEMENT_UINT8, 0, 0.0f, 0};
        call.fault = ".scores.element.scale";
      }
      break;
    case 8:
      if (victim != nullptr && images > 0) {
        victim->boxes.data = nullptr;
        call.fault = ".boxes.data";
      }
      break;
    default:
      if (count > 0) {
        levels.levels = nullptr;
        call.fault = "levels.levels";
      }
      break;
  }
}

namespace {

// The keypoint description both entries share, drawn over E extras; the
// fault, when one is drawn, named after `owner`.
template <class Struct>
void random_keypoint_fields(awkward_random& random, Struct& s, bool grid) {
  s.keypoint_count = random.chance(0.2) ? 0 : random.integer(1, 5);
  s.keypoint_values = random.chance(0.3) ? 2 : 3;
  s.keypoint_coding = random.chance(0.5) ? QUELT_SCORES_LOGITS : QUELT_SCORES_PROBABILITIES;
  s.keypoint_form = grid ? QUELT_KEYPOINTS_GRID : QUELT_KEYPOINTS_PIXELS;
  s.extras_count = s.keypoint_count * s.keypoint_values + random.integer(0, 3);
  if (s.extras_count == 0) {
    s.extras_count = 1;
  }
}

// Keypoint component c of a candidate: x and y around and beyond the
// border of a width x height input (grid terms for the grid form), the
// visibility as the coding says; NaN now and then.
template <class Struct>
float random_extra(awkward_random& random, const Struct& s, std::int64_t c, float width,
                   float height) {
  const std::int64_t values = s.keypoint_values;
  if (c >= std::int64_t{s.keypoint_count} * values) {
    return random.awkward(-3.0f, 3.0f, {0.0f, 1.0f}, 0.05);
  }
  const std::int64_t part = c % values;
  if (part == 2) {
    return s.keypoint_coding == QUELT_SCORES_LOGITS ? random.awkward(-6.0f, 6.0f, {0.0f}, 0.05)
                                                    : random.awkward(0.0f, 1.0f, {0.5f}, 0.05);
  }
  if (s.keypoint_form == QUELT_KEYPOINTS_GRID) {
    return random.awkward(-2.0f, 2.0f, {0.0f, -0.25f, 0.5f}, 0.05);
  }
  const float extent = part == 0 ? width : height;
  return random.awkward(-0.1f * extent - 2.0f, 1.1f * extent + 2.0f, {0.0f, extent}, 0.05);
}

// One bad extras field of `s` (named `owner`.FIELD), as the fault.
template <class Struct>
std::string random_extras_fault(awkward_random& random, Struct& s, const std::string& owner) {
  switch (random.integer(0, 5)) {
    case 0:
      s.extras_count = -1 - random.integer(0, 5);
      return owner + ".extras_count";
    case 1:
      s.keypoint_count = s.extras_count + 1;
      s.keypoint_values = 3;
      return owner + ".keypoint_count";
    case 2:
      s.keypoint_count = 1 + s.keypoint_count;
      s.keypoint_values = random.chance(0.5) ? 4 : 0;
      return owner + ".keypoint_values";
    case 3:
      s.keypoint_coding = random.chance(0.5) ? 2 : -1;
      return owner + ".keypoint_coding";
    case 4:
      s.keypoint_form = 2;
      return owner + ".keypoint_form";
    default:
      s.reserved_extras = 1;
      return owner + ".reserved_extras";
  }
}

}  // namespace

void random_extras(awkward_random& random, heads_call& call) {
  quelt_layout& layout = call.layout;
  random_keypoint_fields(random, layout, false);
  call.storage.emplace_back();
  layout.extras = random_view(random, call.storage.back(), layout.batch, layout.candidates,
                              layout.extras_count);
  const auto width = static_cast<float>(call.options.network_width);
  const auto height = static_cast<float>(call.options.network_height);
  for (std::int64_t b = 0; b < layout.batch; ++b) {
    for (std::int64_t n = 0; n < layout.candidates; ++n) {
      for (std::int64_t c = 0; c < layout.extras_count; ++c) {
        value_of(layout.extras, b, n, c) = random_extra(random, layout, c, width, height);
      }
    }
  }
  if (call.fault.empty() && random.chance(0.3)) {
    // Stored as float16, bfloat16 or quantized integers that saturate.
    layout.extras_element = random_element(random, -20.0f, 330.0f);
    call.element_storage.emplace_back();
    store_as(random, call, layout.extras, layout.extras_element, layout.extras_count,
             call.element_storage.back());
  }
  if (!call.fault.empty() || !random.chance(0.1)) {
    return;
  }
  if (layout.batch > 0 && layout.candidates > 0 && random.chance(0.2)) {
    layout.extras.data = nullptr;
    call.fault = "layout.extras.data";
    return;
  }
  call.fault = random_extras_fault(random, layout, "layout");
}

void random_level_extras(awkward_random& random, levels_case& call) {
  quelt_levels& levels = call.levels;
  random_keypoint_fields(random, levels, random.chance(0.8));
  const quelt_element element = random_element(random, -8.0f, 8.0f);
  const auto width = static_cast<float>(call.options.network_width);
  const auto height = static_cast<float>(call.options.network_height);
  call.extra_maps.resize(static_cast<std::size_t>(levels.level_count));
  for (std::int64_t l = 0; l < levels.level_count; ++l) {
    const quelt_level& level = call.level_list[static_cast<std::size_t>(l)];
    call.extra_views.push_back(
        random_grid(random, call.extra_maps[static_cast<std::size_t>(l)], levels.batch,
                    level.height, level.width, levels.extras_count, element,
                    [&](std::int64_t, std::int64_t, std::int64_t, std::int64_t c) {
                      return random_extra(random, levels, c, width, height);
                    }));
  }
  levels.extras = call.extra_views.empty() ? nullptr : call.extra_views.data();
  if (!call.fault.empty() || !random.chance(0.1)) {
    return;
  }
  if (levels.level_count > 0 && random.chance(0.2)) {
    levels.extras = nullptr;
    call.fault = "levels.extras";
    return;
  }
  call.fault = random_extras_fault(random, levels, "levels");
}

// ---------------------------------------------------------------- masks --

namespace {

// One edge pair along an axis of `extent` network pixels whose prototype
// pixels are `pixel` network pixels wide.
void random_edges(awkward_random& random, float extent, float pixel, float& low, float& high) {
  switch (random.integer(0, 6)) {
    case 0:  // touching or crossing the border
      low = random.chance(0.5) ? 0.0f : random.uniform(-extent / 4, 0.0f);
      high = random.chance(0.5) ? extent : random.uniform(extent / 2, extent * 1.25f);
      break;
    case 1:  // narrower than a prototype pixel
      low = random.uniform(-1.0f, extent);
      high = low + random.uniform(0.0f, pixel * 0.9f);
      break;
    case 2:  // zero area
      low = random.uniform(0.0f, extent);
      high = low;
      break;
    case 3:  // edges on pixel centres
      low = static_cast<float>(random.integer(0, static_cast<int>(extent))) + 0.5f;
      high = low + static_cast<float>(random.integer(0, 6));
      break;
    case 4:
      low = random.chance(0.5) ? std::numeric_limits<float>::quiet_NaN() : 1.0f;
      high = random.uniform(0.0f, extent);
      break;
    default:
      low = random.uniform(-2.0f, extent);
      high = low + random.uniform(0.0f, extent);
      break;
  }
}

}  // namespace

void random_masks_call(awkward_random& random, masks_case& call) {
  const std::int64_t images = random.integer(1, 2);
  const std::int64_t candidates = random.integer(0, 6);
  const std::int32_t channels = random.integer(1, 5);
  const std::int32_t first = random.integer(0, 2);
  const std::int32_t extras = first + channels + random.integer(0, 1);
  const std::int32_t network_width = random.integer(4, 48);
  const std::int32_t network_height = random.integer(4, 48);
  const std::int32_t prototype_width = random.integer(1, 12);
  const std::int32_t prototype_height = random.integer(1, 12);
  const std::int64_t rows = 5 + extras;
  call.columns.assign(static_cast<std::size_t>(images * rows * candidates), 0.0f);
  for (std::int64_t b = 0; b < images; ++b) {
    float* image = call.columns.data() + b * rows * candidates;
    for (std::int64_t n = 0; n < candidates; ++n) {
      const auto at = [&](std::int64_t row) -> float& { return image[row * candidates + n]; };
      random_edges(random, static_cast<float>(network_width),
                   static_cast<float>(network_width) / static_cast<float>(prototype_width), at(0),
                   at(2));
      random_edges(random, static_cast<float>(network_height),
                   static_cast<float>(network_height) / static_cast<float>(prototype_height), at(1),
                   at(3));
      at(4) = random.uniform(0.0f, 1.0f);
      for (std::int32_t e = 0; e < extras; ++e) {
        at(5 + e) = random.awkward(-4.0f, 4.0f, {0.0f, 1.0f}, 0.03);
      }
    }
  }
  quelt_layout& layout = call.layout;
  quelt_layout_columns(&layout, call.columns.data(), images, candidates, 1);
  layout.box_coding = QUELT_BOX_CORNERS;
  layout.boxes.image_stride = rows * candidates;  // the extras follow each image's scores
  layout.scores.image_stride = rows * candidates;
  layout.extras =
      quelt_view{call.columns.data() + 5 * candidates, rows * candidates, 1, candidates};
  layout.extras_count = extras;
  quelt_decode_options& options = call.options;
  quelt_decode_options_init(&options);
  options.network_width = network_width;
  options.network_height = network_height;
  options.details = 1;
  call.scores.assign(static_cast<std::size_t>(images), random.uniform(-0.1f, 0.5f));
  call.ious.assign(static_cast<std::size_t>(images), random.chance(0.5) ? 2.0f : 0.5f);
  options.score_thresholds = call.scores.data();
  options.iou_thresholds = call.ious.data();
  const std::int32_t kind =
      random.integer(QUELT_MASK_PROTOTYPE_PROBABILITIES, QUELT_MASK_ORIGINAL_BINARY);
  if (kind == QUELT_MASK_ORIGINAL_BINARY || random.chance(0.3)) {
    for (std::int64_t b = 0; b < images; ++b) {
      call.geometry.push_back(random_geometry(random, network_width, network_height));
    }
    options.geometry = call.geometry.data();
  }
  quelt_mask_request& request = call.request;
  quelt_mask_request_init(&request);
  request.kind = kind;
  request.prototype_channels = channels;
  request.prototype_height = prototype_height;
  request.prototype_width = prototype_width;
  request.coefficients_first = first;
  request.coefficients_count = first + channels == extras && random.chance(0.5) ? 0 : channels;
  request.prototypes = random_grid(random, call.prototype_bytes, images, prototype_height,
                                   prototype_width, channels, random_element(random, -4.0f, 4.0f),
                                   [&](std::int64_t, std::int64_t, std::int64_t, std::int64_t) {
                                     return random.awkward(-4.0f, 4.0f, {0.0f}, 0.01);
                                   });
  if (!random.chance(0.1)) {
    return;
  }
  switch (random.integer(0, 4)) {
    case 0:
      request.kind = random.chance(0.5) ? -1 : 3;
      call.fault = "request.kind";
      break;
    case 1:
      request.prototype_channels = channels + 1;
      call.fault = "request.prototype_channels";
      break;
    case 2:
      request.reserved = 1;
      call.fault = "request.reserved";
      break;
    case 3:
      if (options.geometry == nullptr) {
        request.kind = QUELT_MASK_ORIGINAL_BINARY;
        call.fault = "request.kind";
      }
      break;
    default:
      call.fault = "request.values_size";
      break;
  }
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
