// Instance masks the slow, obvious way: the probability of every prototype
// pixel, every pixel of the whole output grid sampled from them and tested
// against the box, and only then the box's rectangle cut out.
#include <cstdint>
#include <cstring>
#include <vector>

#include "framework/exponential.hpp"
#include "reference/reference.hpp"

namespace quelt_reference {

namespace {

float sigmoid(float v) {
  return 1.0f / (sorvanta::framework::rounded_exp(-v) + 1.0f);
}

// Bilinear sample at prototype coordinate p (half-pixel centres): the pixel
// below and the next, edges repeated.
void sample_at(float p, std::int32_t size, std::int64_t& first, std::int64_t& second,
               float& weight) {
  if (!(p > 0.0f)) {
    first = 0;
    weight = 0.0f;
  } else if (p >= static_cast<float>(size - 1)) {
    first = size - 1;
    weight = 0.0f;
  } else {
    first = static_cast<std::int64_t>(p);
    weight = p - static_cast<float>(first);
  }
  second = first + 1 < size ? first + 1 : size - 1;
}

}  // namespace

reference_mask instance_mask(const float* coefficients, const quelt_grid_view& prototypes,
                             std::uint64_t image, std::int32_t channels, std::int32_t height,
                             std::int32_t width, const float box[4], std::int32_t kind,
                             std::int32_t network_width, std::int32_t network_height,
                             const quelt_image_geometry& geometry) {
  const std::size_t bytes = prototypes.element.type == QUELT_ELEMENT_FLOAT32 ? 4
                            : prototypes.element.type <= QUELT_ELEMENT_BFLOAT16 ||
                                    prototypes.element.type >= QUELT_ELEMENT_INT16
                                ? 2
                                : 1;
  // Every prototype pixel's probability.
  std::vector<float> probability(static_cast<std::size_t>(height) * width);
  for (std::int64_t v = 0; v < height; ++v) {
    for (std::int64_t u = 0; u < width; ++u) {
      float logit = 0.0f;
      for (std::int64_t c = 0; c < channels; ++c) {
        const std::int64_t index = static_cast<std::int64_t>(image) * prototypes.image_stride +
                                   v * prototypes.row_stride + u * prototypes.column_stride +
                                   c * prototypes.channel_stride;
        const auto* address =
            reinterpret_cast<const unsigned char*>(prototypes.data) + index * std::int64_t(bytes);
        logit += coefficients[c] * element_value(prototypes.element, address);
      }
      probability[static_cast<std::size_t>(v * width + u)] = sigmoid(logit);
    }
  }
  const float ratio_x = static_cast<float>(width) / static_cast<float>(network_width);
  const float ratio_y = static_cast<float>(height) / static_cast<float>(network_height);
  // The whole output grid: its size, and where each pixel centre lies in
  // network pixels (prototype pixels for the prototype grid).
  std::int64_t grid_w = width, grid_h = height;
  if (kind == QUELT_MASK_INPUT_BINARY) {
    grid_w = network_width;
    grid_h = network_height;
  } else if (kind == QUELT_MASK_ORIGINAL_BINARY) {
    grid_w = 0;
    while (static_cast<float>(grid_w) + 0.5f < geometry.original_width) {
      ++grid_w;
    }
    grid_h = 0;
    while (static_cast<float>(grid_h) + 0.5f < geometry.original_height) {
      ++grid_h;
    }
  }
  const auto centre_x = [&](std::int64_t x) {
    const float c = static_cast<float>(x) + 0.5f;
    return kind == QUELT_MASK_ORIGINAL_BINARY ? c * geometry.scale_x + geometry.pad_x : c;
  };
  const auto centre_y = [&](std::int64_t y) {
    const float c = static_cast<float>(y) + 0.5f;
    return kind == QUELT_MASK_ORIGINAL_BINARY ? c * geometry.scale_y + geometry.pad_y : c;
  };
  float x0 = box[0], y0 = box[1], x1 = box[2], y1 = box[3];
  if (kind == QUELT_MASK_PROTOTYPE_PROBABILITIES) {
    x0 *= ratio_x;
    x1 *= ratio_x;
    y0 *= ratio_y;
    y1 *= ratio_y;
  }
  std::vector<float> full(static_cast<std::size_t>(grid_w * grid_h), 0.0f);
  std::vector<bool> inside(full.size(), false);
  for (std::int64_t y = 0; y < grid_h; ++y) {
    for (std::int64_t x = 0; x < grid_w; ++x) {
      const float cx = centre_x(x);
      const float cy = centre_y(y);
      const auto at = static_cast<std::size_t>(y * grid_w + x);
      inside[at] = x0 <= cx && cx < x1 && y0 <= cy && cy < y1;
      if (kind == QUELT_MASK_PROTOTYPE_PROBABILITIES) {
        full[at] = probability[at];
        continue;
      }
      std::int64_t u0, u1, v0, v1;
      float wx, wy;
      sample_at(cx * ratio_x - 0.5f, width, u0, u1, wx);
      sample_at(cy * ratio_y - 0.5f, height, v0, v1, wy);
      const auto p = [&](std::int64_t v, std::int64_t u) {
        return probability[static_cast<std::size_t>(v * width + u)];
      };
      const float top = p(v0, u0) * (1.0f - wx) + p(v0, u1) * wx;
      const float bottom = p(v1, u0) * (1.0f - wx) + p(v1, u1) * wx;
      full[at] = (top * (1.0f - wy) + bottom * wy) > 0.5f ? 1.0f : 0.0f;
    }
  }
  // Crop: the bounding rectangle of the pixels inside the box.
  reference_mask mask;
  std::int64_t left = grid_w, right = -1, top = grid_h, bottom = -1;
  for (std::int64_t y = 0; y < grid_h; ++y) {
    for (std::int64_t x = 0; x < grid_w; ++x) {
      if (inside[static_cast<std::size_t>(y * grid_w + x)]) {
        left = x < left ? x : left;
        right = x > right ? x : right;
        top = y < top ? y : top;
        bottom = y > bottom ? y : bottom;
      }
    }
  }
  if (right < 0) {
    return mask;  // empty
  }
  mask.x = left;
  mask.y = top;
  mask.width = right - left + 1;
  mask.height = bottom - top + 1;
  for (std::int64_t y = top; y <= bottom; ++y) {
    for (std::int64_t x = left; x <= right; ++x) {
      mask.values.push_back(full[static_cast<std::size_t>(y * grid_w + x)]);
    }
  }
  return mask;
}

}  // namespace quelt_reference
