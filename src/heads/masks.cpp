#include "masks.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "../framework/logistic.hpp"

namespace quelt::heads {

namespace fw = sorvanta::framework;

namespace {

// The mask of a binary form may span at most this many pixels a side, as the
// region records count them.
constexpr std::int64_t max_side = std::numeric_limits<std::int32_t>::max();

// The first index in [0, count) where `test` holds, or count; `test` must
// hold from some index on.
template <class Test>
std::int64_t first_where(std::int64_t count, Test test) {
  std::int64_t low = 0;
  std::int64_t high = count;
  while (low < high) {
    const std::int64_t middle = low + (high - low) / 2;
    if (test(middle)) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return low;
}

// One axis of a canvas: how many pixels it has, and where a pixel's centre
// lies in the frame the box is given in (prototype pixels for the
// prototype form, network-input pixels otherwise).
struct canvas_axis {
  std::int32_t form;
  std::int64_t count;
  float box_ratio;  // box edge to this frame: prototype pixels per network pixel, or 1
  float scale;      // original form: network pixels per original pixel
  float pad;
  float sample_ratio;  // prototype pixels per network pixel
  std::int32_t prototype_size;

  float centre(std::int64_t i) const {
    const float c = static_cast<float>(i) + 0.5f;
    return form == QUELT_MASK_ORIGINAL_BINARY ? c * scale + pad : c;
  }
};

canvas_axis axis_of(const mask_canvas& canvas, bool vertical) {
  const std::int32_t network = vertical ? canvas.network_height : canvas.network_width;
  const std::int32_t prototypes = vertical ? canvas.prototype_height : canvas.prototype_width;
  const float ratio = static_cast<float>(prototypes) / static_cast<float>(network);
  canvas_axis axis{canvas.form, network, 1.0f, 1.0f, 0.0f, ratio, prototypes};
  if (canvas.form == QUELT_MASK_PROTOTYPE_PROBABILITIES) {
    axis.count = prototypes;
    axis.box_ratio = ratio;
  } else if (canvas.form == QUELT_MASK_ORIGINAL_BINARY) {
    const quelt_image_geometry& g = canvas.geometry;
    const float extent = vertical ? g.original_height : g.original_width;
    // The image's pixels: those whose centre lies inside its extent.
    axis.count = first_where(
        max_side, [&](std::int64_t i) { return !(static_cast<float>(i) + 0.5f < extent); });
    axis.scale = vertical ? g.scale_y : g.scale_x;
    axis.pad = vertical ? g.pad_y : g.pad_x;
  }
  return axis;
}

// The pixels of the axis whose centres lie in [low, high) (box edges in
// network pixels).
void span_on(const canvas_axis& axis, float low, float high, std::int64_t& first,
             std::int64_t& count) {
  const float lo = low * axis.box_ratio;
  const float hi = high * axis.box_ratio;
  first = first_where(axis.count, [&](std::int64_t i) { return axis.centre(i) >= lo; });
  const std::int64_t end =
      first_where(axis.count, [&](std::int64_t i) { return !(axis.centre(i) < hi); });
  count = end > first ? end - first : 0;
}

// Where the bilinear sample of a pixel centre falls: prototype pixel `first`
// and the next (the last repeats), with the weight of the next.
struct sample {
  std::int64_t first;
  float weight;
};

sample sample_of(const canvas_axis& axis, std::int64_t i) {
  const float u = axis.centre(i) * axis.sample_ratio - 0.5f;
  if (!(u > 0.0f)) {
    return {0, 0.0f};
  }
  if (u >= static_cast<float>(axis.prototype_size - 1)) {
    return {axis.prototype_size - 1, 0.0f};
  }
  const auto first = static_cast<std::int64_t>(u);
  return {first, u - static_cast<float>(first)};
}

// The prototype pixels a mask of `span` reads, along one axis.
void source_range(const canvas_axis& axis, std::int64_t first, std::int64_t count,
                  std::int64_t& source_first, std::int64_t& source_count) {
  if (axis.form == QUELT_MASK_PROTOTYPE_PROBABILITIES || count == 0) {
    source_first = first;
    source_count = count;
    return;
  }
  source_first = sample_of(axis, first).first;
  const std::int64_t last =
      std::min<std::int64_t>(sample_of(axis, first + count - 1).first + 1, axis.prototype_size - 1);
  source_count = last - source_first + 1;
}

// Logits of the prototype pixels [u0, u0 + width) x [v0, v0 + height),
// row-major, each summed over the channels in order from 0.
void sum_logits(const float* coefficients, const prototype_grid& grid, std::int64_t u0,
                std::int64_t v0, std::int64_t width, std::int64_t height, float* out) {
  std::fill(out, out + width * height, 0.0f);
  const auto bytes = static_cast<std::int64_t>(fw::element_bytes(grid.format.type));
  const bool contiguous_floats =
      grid.format.type == QUELT_ELEMENT_FLOAT32 && grid.column_stride == 1;
  const auto row_of = [&](std::int64_t r, std::int32_t c) {
    return grid.data +
           ((v0 + r) * grid.row_stride + u0 * grid.column_stride + c * grid.channel_stride) * bytes;
  };
  std::int32_t c = 0;
  if (contiguous_floats) {
    // Four channels a pass over each row: the same additions, in the same
    // order, with a quarter of the accumulator traffic.
    for (; c + 4 <= grid.channels; c += 4) {
      const float k0 = coefficients[c], k1 = coefficients[c + 1];
      const float k2 = coefficients[c + 2], k3 = coefficients[c + 3];
      for (std::int64_t r = 0; r < height; ++r) {
        const unsigned char* p0 = row_of(r, c);
        const unsigned char* p1 = row_of(r, c + 1);
        const unsigned char* p2 = row_of(r, c + 2);
        const unsigned char* p3 = row_of(r, c + 3);
        float* o = out + r * width;
        for (std::int64_t j = 0; j < width; ++j) {
          float a, b, d, e;
          std::memcpy(&a, p0 + j * 4, sizeof a);
          std::memcpy(&b, p1 + j * 4, sizeof b);
          std::memcpy(&d, p2 + j * 4, sizeof d);
          std::memcpy(&e, p3 + j * 4, sizeof e);
          o[j] = (((o[j] + k0 * a) + k1 * b) + k2 * d) + k3 * e;
        }
      }
    }
  }
  for (; c < grid.channels; ++c) {
    const float k = coefficients[c];
    for (std::int64_t r = 0; r < height; ++r) {
      const unsigned char* row = row_of(r, c);
      float* o = out + r * width;
      if (contiguous_floats) {
        for (std::int64_t j = 0; j < width; ++j) {
          float p;
          std::memcpy(&p, row + j * 4, sizeof p);
          o[j] += k * p;
        }
      } else {
        for (std::int64_t j = 0; j < width; ++j) {
          o[j] += k * fw::element_value(grid.format, row + j * grid.column_stride * bytes);
        }
      }
    }
  }
}

void apply_logistic(float* values, std::int64_t count) {
  std::int64_t i = 0;
  for (; i + 4 <= count; i += 4) {
    fw::logistic_4(values + i, values + i);
  }
  for (; i < count; ++i) {
    values[i] = fw::logistic(values[i]);
  }
}

}  // namespace

std::uint64_t mask_value_bytes(std::int32_t form) {
  return form == QUELT_MASK_PROTOTYPE_PROBABILITIES ? sizeof(float) : 1;
}

mask_span mask_span_of(const fw::corner_box& box, const mask_canvas& canvas) {
  mask_span span{};
  span_on(axis_of(canvas, false), box.x_min, box.x_max, span.x, span.width);
  span_on(axis_of(canvas, true), box.y_min, box.y_max, span.y, span.height);
  if (span.width == 0 || span.height == 0) {
    span.width = 0;
    span.height = 0;
  }
  return span;
}

void reserve_mask_scratch(const mask_span& span, const mask_canvas& canvas, mask_scratch& scratch) {
  const canvas_axis columns = axis_of(canvas, false);
  const canvas_axis rows = axis_of(canvas, true);
  std::int64_t u0 = 0, width = 0, v0 = 0, height = 0;
  source_range(columns, span.x, span.width, u0, width);
  source_range(rows, span.y, span.height, v0, height);
  const auto need = [](std::vector<float>& v, std::int64_t n) {
    if (static_cast<std::int64_t>(v.size()) < n) {
      v.resize(static_cast<std::size_t>(n));
    }
  };
  need(scratch.probabilities, width * height);
  if (canvas.form != QUELT_MASK_PROTOTYPE_PROBABILITIES) {
    need(scratch.blended, height * span.width);
    need(scratch.column_weights, span.width);
    if (static_cast<std::int64_t>(scratch.columns.size()) < span.width) {
      scratch.columns.resize(static_cast<std::size_t>(span.width));
    }
  }
}

void draw_mask(const float* coefficients, const prototype_grid& grid, const mask_canvas& canvas,
               const mask_span& span, void* out, mask_scratch& scratch) {
  if (span.width == 0) {
    return;
  }
  const canvas_axis columns = axis_of(canvas, false);
  const canvas_axis rows = axis_of(canvas, true);
  std::int64_t u0 = 0, width = 0, v0 = 0, height = 0;
  source_range(columns, span.x, span.width, u0, width);
  source_range(rows, span.y, span.height, v0, height);
  float* probabilities = scratch.probabilities.data();
  sum_logits(coefficients, grid, u0, v0, width, height, probabilities);
  apply_logistic(probabilities, width * height);
  if (canvas.form == QUELT_MASK_PROTOTYPE_PROBABILITIES) {
    std::memcpy(out, probabilities, static_cast<std::size_t>(width * height) * sizeof(float));
    return;
  }
  // Blend along each prototype row once for every output column, then
  // between two blended rows for every output row: the same operations as
  // the four-point formula, shared between the output rows that fall
  // between the same prototype rows.
  std::int64_t* first_column = scratch.columns.data();
  float* column_weight = scratch.column_weights.data();
  for (std::int64_t x = 0; x < span.width; ++x) {
    const sample s = sample_of(columns, span.x + x);
    first_column[x] = s.first - u0;
    column_weight[x] = s.weight;
  }
  for (std::int64_t r = 0; r < height; ++r) {
    const float* p = probabilities + r * width;
    float* b = scratch.blended.data() + r * span.width;
    for (std::int64_t x = 0; x < span.width; ++x) {
      const std::int64_t a = first_column[x];
      const std::int64_t next = std::min(a + 1, width - 1);
      const float w = column_weight[x];
      b[x] = p[a] * (1.0f - w) + p[next] * w;
    }
  }
  auto* bytes = static_cast<unsigned char*>(out);
  for (std::int64_t y = 0; y < span.height; ++y) {
    const sample s = sample_of(rows, span.y + y);
    const std::int64_t a = s.first - v0;
    const std::int64_t next = std::min(a + 1, height - 1);
    const float w = s.weight;
    const float* top = scratch.blended.data() + a * span.width;
    const float* bottom = scratch.blended.data() + next * span.width;
    unsigned char* o = bytes + y * span.width;
    for (std::int64_t x = 0; x < span.width; ++x) {
      o[x] = (top[x] * (1.0f - w) + bottom[x] * w) > 0.5f ? 1 : 0;
    }
  }
}

}  // namespace quelt::heads
