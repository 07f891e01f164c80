// The helpers that fill the heads entry's structs for the usual exports and
// fittings. They only compute: quelt_decode checks what they produce.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quelt/quelt.h"

namespace {

quelt_view make_view(const float* data, int64_t image_stride, int64_t candidate_stride,
                     int64_t component_stride) {
  return quelt_view{data, image_stride, candidate_stride, component_stride};
}

// The sizes the unsized fill functions write: their structs as those
// functions first published them, so that a program built against that
// header never gets more written than it has room for.
constexpr std::uint32_t published_layout_size = 184;
constexpr std::uint32_t published_options_size = 64;
constexpr std::uint32_t published_levels_size = 40;

// Zeroes `size` bytes of a caller's struct and sets its struct_size to that
// size; false (nothing written) for NULL or a size too small to hold more
// than the struct_size.
template <class T>
bool start_struct(T* given, std::uint32_t size) {
  if (given == nullptr || size < 8) {
    return false;
  }
  std::memset(static_cast<void*>(given), 0, size);
  std::memcpy(static_cast<void*>(given), &size, sizeof size);
  return true;
}

// A layout of raw candidates, centre-size boxes and probabilities. The fields
// set lie within every size the library reads; a size below them fills none.
bool start_layout(quelt_layout* layout, std::uint32_t size, int64_t batch, int64_t candidates,
                  int32_t classes) {
  if (!start_struct(layout, size) || size < offsetof(quelt_layout, boxes_element)) {
    return false;
  }
  layout->box_coding = QUELT_BOX_CENTRE_SIZE;
  layout->score_coding = QUELT_SCORES_PROBABILITIES;
  layout->candidate_kind = QUELT_CANDIDATES_RAW;
  layout->batch = batch;
  layout->candidates = candidates;
  layout->classes = classes;
  return true;
}

// Nearest whole number, halves to even, as the common preprocessing rounds;
// never -0, so a padding of nothing reads 0.
double round_even(double value) {
  return std::nearbyint(value) + 0.0;
}

}  // namespace

extern "C" {

QUELT_API void quelt_decode_options_init_sized(quelt_decode_options* options, uint32_t size) {
  start_struct(options, size);
}

QUELT_API void quelt_layout_init_sized(quelt_layout* layout, uint32_t size) {
  start_struct(layout, size);
}

QUELT_API void quelt_levels_init_sized(quelt_levels* levels, uint32_t size) {
  start_struct(levels, size);
}

QUELT_API void quelt_batch_info_init_sized(quelt_batch_info* info, uint32_t size) {
  start_struct(info, size);
}

QUELT_API void quelt_layout_rows_sized(quelt_layout* layout, const float* data, int64_t batch,
                                       int64_t candidates, int32_t classes, int32_t has_objectness,
                                       uint32_t size) {
  if (!start_layout(layout, size, batch, candidates, classes)) {
    return;
  }
  const int64_t objectness = has_objectness != 0 ? 1 : 0;
  const int64_t row = 4 + objectness + static_cast<int64_t>(classes);
  const int64_t image = candidates * row;
  layout->boxes = make_view(data, image, row, 1);
  if (objectness != 0) {
    layout->objectness = make_view(data == nullptr ? nullptr : data + 4, image, row, 1);
  }
  layout->scores = make_view(data == nullptr ? nullptr : data + 4 + objectness, image, row, 1);
}

QUELT_API void quelt_layout_columns_sized(quelt_layout* layout, const float* data, int64_t batch,
                                          int64_t candidates, int32_t classes, uint32_t size) {
  if (!start_layout(layout, size, batch, candidates, classes)) {
    return;
  }
  const int64_t image = (4 + static_cast<int64_t>(classes)) * candidates;
  layout->boxes = make_view(data, image, 1, candidates);
  layout->scores =
      make_view(data == nullptr ? nullptr : data + 4 * candidates, image, 1, candidates);
}

QUELT_API void quelt_layout_separate_sized(quelt_layout* layout, const float* boxes,
                                           const float* scores, int64_t batch, int64_t candidates,
                                           int32_t classes, int32_t scores_by_class,
                                           uint32_t size) {
  if (!start_layout(layout, size, batch, candidates, classes)) {
    return;
  }
  const int64_t image = candidates * static_cast<int64_t>(classes);
  layout->boxes = make_view(boxes, candidates * 4, 4, 1);
  layout->scores = scores_by_class != 0 ? make_view(scores, image, 1, candidates)
                                        : make_view(scores, image, classes, 1);
}

QUELT_API void quelt_layout_end_to_end_sized(quelt_layout* layout, const float* data, int64_t batch,
                                             int64_t candidates, uint32_t size) {
  if (!start_layout(layout, size, batch, candidates, 0)) {
    return;
  }
  layout->box_coding = QUELT_BOX_CORNERS;
  layout->candidate_kind = QUELT_CANDIDATES_END_TO_END;
  layout->boxes = make_view(data, candidates * 6, 6, 1);
  layout->scores = make_view(data == nullptr ? nullptr : data + 4, candidates * 6, 6, 1);
}

// The unsized fill functions, at their published sizes. The names are in
// parentheses so that the header's macros of the same names stay out.
QUELT_API void(quelt_decode_options_init)(quelt_decode_options* options) {
  quelt_decode_options_init_sized(options, published_options_size);
}

QUELT_API void(quelt_layout_init)(quelt_layout* layout) {
  quelt_layout_init_sized(layout, published_layout_size);
}

QUELT_API void(quelt_levels_init)(quelt_levels* levels) {
  quelt_levels_init_sized(levels, published_levels_size);
}

QUELT_API void(quelt_layout_rows)(quelt_layout* layout, const float* data, int64_t batch,
                                  int64_t candidates, int32_t classes, int32_t has_objectness) {
  quelt_layout_rows_sized(layout, data, batch, candidates, classes, has_objectness,
                          published_layout_size);
}

QUELT_API void(quelt_layout_columns)(quelt_layout* layout, const float* data, int64_t batch,
                                     int64_t candidates, int32_t classes) {
  quelt_layout_columns_sized(layout, data, batch, candidates, classes, published_layout_size);
}

QUELT_API void(quelt_layout_separate)(quelt_layout* layout, const float* boxes, const float* scores,
                                      int64_t batch, int64_t candidates, int32_t classes,
                                      int32_t scores_by_class) {
  quelt_layout_separate_sized(layout, boxes, scores, batch, candidates, classes, scores_by_class,
                              published_layout_size);
}

QUELT_API void(quelt_layout_end_to_end)(quelt_layout* layout, const float* data, int64_t batch,
                                        int64_t candidates) {
  quelt_layout_end_to_end_sized(layout, data, batch, candidates, published_layout_size);
}

QUELT_API quelt_image_geometry quelt_geometry_stretch(int32_t network_width, int32_t network_height,
                                                      float original_width, float original_height) {
  return quelt_image_geometry{
      original_width,
      original_height,
      static_cast<float>(network_width / static_cast<double>(original_width)),
      static_cast<float>(network_height / static_cast<double>(original_height)),
      0.0f,
      0.0f};
}

QUELT_API quelt_image_geometry quelt_geometry_letterbox(int32_t network_width,
                                                        int32_t network_height,
                                                        float original_width,
                                                        float original_height) {
  const double ratio = std::min(network_width / static_cast<double>(original_width),
                                network_height / static_cast<double>(original_height));
  const double resized_width = round_even(original_width * ratio);
  const double resized_height = round_even(original_height * ratio);
  const double pad_x = round_even((network_width - resized_width) / 2.0 - 0.1);
  const double pad_y = round_even((network_height - resized_height) / 2.0 - 0.1);
  return quelt_image_geometry{original_width,
                              original_height,
                              static_cast<float>(ratio),
                              static_cast<float>(ratio),
                              static_cast<float>(pad_x),
                              static_cast<float>(pad_y)};
}

}  // extern "C"
