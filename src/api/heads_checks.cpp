#include "heads_checks.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>

#include "../framework/elements.hpp"
#include "../framework/exception.hpp"
#include "../framework/string_builder.hpp"
#include "versioned.hpp"

namespace quelt::api {

namespace {

using sorvanta::framework::_bs;
using sorvanta::framework::reject;

// The sizes of the first published structs: callers built against that header
// pass them.
constexpr std::uint32_t first_layout_size = 136;
constexpr std::uint32_t first_options_size = 64;
constexpr std::uint32_t first_levels_size = 40;

constexpr std::uint64_t max_byte_offset =
    static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
constexpr std::uint64_t max_records = std::numeric_limits<std::uint32_t>::max();

std::uint64_t magnitude(std::int64_t stride) {
  return stride < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(stride)
                    : static_cast<std::uint64_t>(stride);
}

// total += (count - 1) x |stride|, false when it leaves the addressable range
// of elements of `bytes` bytes.
bool add_extent(std::uint64_t count, std::int64_t stride, std::uint64_t bytes,
                std::uint64_t& total) {
  const std::uint64_t steps = count - 1;
  const std::uint64_t step = magnitude(stride);
  if (step != 0 && steps > (max_byte_offset / bytes - total) / step) {
    return false;
  }
  total += steps * step;
  return true;
}

void check_view(const char* name, const quelt_view& view, const quelt_element& element,
                std::uint64_t images, std::uint64_t candidates, std::uint64_t components) {
  if (images == 0 || candidates == 0) {
    return;  // nothing of the view is read
  }
  if (view.data == nullptr) {
    reject(_bs("layout.", name, ".data: NULL, but ", images, " x ", candidates,
               " candidates are to be read; only an absent part or an empty batch may be NULL"));
  }
  std::uint64_t extent = 0;
  const std::uint64_t bytes = sorvanta::framework::element_bytes(element.type);
  if (!add_extent(images, view.image_stride, bytes, extent) ||
      !add_extent(candidates, view.candidate_stride, bytes, extent) ||
      !add_extent(components, view.component_stride, bytes, extent)) {
    reject(_bs("layout.", name, ": strides (", view.image_stride, ", ", view.candidate_stride, ", ",
               view.component_stride, ") over ", images, " x ", candidates, " x ", components,
               " values reach beyond the addressable range; strides count elements"));
  }
}

}  // namespace

void check_element(const char* field, const quelt_element& element) {
  if (element.type < QUELT_ELEMENT_FLOAT32 || element.type > QUELT_ELEMENT_UINT16) {
    reject(_bs(field, ".type: ", element.type, " is not a known element type; 0 to ",
               QUELT_ELEMENT_UINT16, " are"));
  }
  if (element.reserved != 0) {
    reject(_bs(field, ".reserved: ", element.reserved, "; reserved fields must be 0"));
  }
  if (!sorvanta::framework::is_quantized(element.type)) {
    return;  // scale and zero point are not read
  }
  if (!std::isfinite(element.scale) || !(element.scale > 0.0f)) {
    reject(_bs(field, ".scale: ", element.scale,
               std::isfinite(element.scale) ? " is not above 0" : " is not finite",
               "; a finite scale above 0"));
  }
  const std::int32_t low = sorvanta::framework::lowest_integer(element.type);
  const std::int32_t high = sorvanta::framework::highest_integer(element.type);
  if (element.zero_point < low || element.zero_point > high) {
    reject(_bs(field, ".zero_point: ", element.zero_point, " is outside the type; ", low, " to ",
               high));
  }
}

namespace {

void check_code(const char* field, std::int32_t value, std::int32_t last) {
  if (value < 0 || value > last) {
    reject(_bs(field, ": ", value, " is not a known value; 0 to ", last, " are"));
  }
}

void check_thresholds(const char* field, const float* values, std::uint64_t images) {
  if (images == 0) {
    return;
  }
  if (values == nullptr) {
    reject(_bs(field, ": NULL, but the batch has ", images, " images; one threshold per image"));
  }
  for (std::uint64_t i = 0; i < images; ++i) {
    if (std::isnan(values[i])) {
      reject(_bs(field, "[", i, "]: NaN; any other value is a threshold"));
    }
  }
}

// The options' own fields, which need no tensor.
// The rotated-box fields: set exactly when the boxes are rotated.
void check_rotated(const quelt_layout& layout, std::uint64_t images, std::uint64_t candidates) {
  if (layout.box_coding != QUELT_BOX_ROTATED) {
    if (layout.angles.data != nullptr) {
      reject(_bs("layout.angles.data: set, but box_coding is ", layout.box_coding,
                 "; angles only with QUELT_BOX_ROTATED (", QUELT_BOX_ROTATED, ")"));
    }
    if (layout.angle_flags != 0) {
      reject(_bs("layout.angle_flags: ", layout.angle_flags, ", but box_coding is ",
                 layout.box_coding, "; 0 unless the boxes are QUELT_BOX_ROTATED"));
    }
    if (layout.rotated_overlap != 0) {
      reject(_bs("layout.rotated_overlap: ", layout.rotated_overlap, ", but box_coding is ",
                 layout.box_coding, "; 0 unless the boxes are QUELT_BOX_ROTATED"));
    }
    check_element("layout.angles_element", layout.angles_element);
    return;
  }
  if (layout.angle_flags < 0 ||
      layout.angle_flags > (QUELT_ANGLE_DEGREES | QUELT_ANGLE_COUNTERCLOCKWISE)) {
    reject(_bs("layout.angle_flags: ", layout.angle_flags,
               " holds unknown bits; QUELT_ANGLE_DEGREES (1) and QUELT_ANGLE_COUNTERCLOCKWISE (2) "
               "are known"));
  }
  check_code("layout.rotated_overlap", layout.rotated_overlap, QUELT_OVERLAP_PROBABILISTIC);
  check_element("layout.angles_element", layout.angles_element);
  if (images != 0 && candidates != 0 && layout.angles.data == nullptr) {
    reject(
        _bs("layout.angles.data: NULL, but box_coding is QUELT_BOX_ROTATED; one angle per "
            "candidate"));
  }
  check_view("angles", layout.angles, layout.angles_element, images, candidates, 1);
}

void check_option_fields(const quelt_decode_options& options) {
  if (options.network_width < 1) {
    reject(_bs("options.network_width: ", options.network_width, " is below 1; 1 pixel or more"));
  }
  if (options.network_height < 1) {
    reject(_bs("options.network_height: ", options.network_height, " is below 1; 1 pixel or more"));
  }
  if (options.max_detections < 0) {
    reject(_bs("options.max_detections: ", options.max_detections,
               " is negative; 0 (no cap) or more"));
  }
  if (options.classes_allowed_count < 0) {
    reject(_bs("options.classes_allowed_count: ", options.classes_allowed_count,
               " is negative; 0 or more"));
  }
  if (options.classes_allowed == nullptr && options.classes_allowed_count > 0) {
    reject(_bs("options.classes_allowed: NULL with classes_allowed_count ",
               options.classes_allowed_count, "; NULL only with a count of 0 (every class)"));
  }
}

// Every option: codes, fields, per-image thresholds and geometry.
void check_options(const quelt_decode_options& options, std::uint64_t images, bool suppressed) {
  check_code("options.agnostic", options.agnostic, 1);
  check_code("options.multi_label", options.multi_label, 1);
  check_code("options.details", options.details, 1);
  if (options.reserved_details != 0) {
    reject(
        _bs("options.reserved_details: ", options.reserved_details, "; reserved fields must be 0"));
  }
  check_option_fields(options);
  check_thresholds("options.score_thresholds", options.score_thresholds, images);
  if (suppressed) {
    check_thresholds("options.iou_thresholds", options.iou_thresholds, images);
  }
  check_geometry(options.geometry, images, "options.geometry");
}

// A caller's struct at its version, refused when NULL; `name` is the
// argument's name, `type` the struct's.
template <class T>
T read_struct(const T* given, const T& defaults, std::uint32_t first_size, const char* name,
              const char* type) {
  if (given == nullptr) {
    reject(_bs(name, ": NULL; a ", type, " is required (", type, "_init starts one)"));
  }
  return read_versioned(given, defaults, first_size, _bs(name, ".struct_size").c_str(), type);
}

// The extras and keypoint fields quelt_layout and quelt_levels share;
// `owner` is "layout" or "levels". Only the per-level heads have grid cells
// to read the grid form against.
struct extras_fields {
  std::int32_t extras_count;
  std::int32_t keypoint_count;
  std::int32_t keypoint_values;
  std::int32_t keypoint_coding;
  std::int32_t keypoint_form;
  std::int32_t reserved;
};

void check_extras_fields(const char* owner, const extras_fields& f, bool grid_cells) {
  if (f.reserved != 0) {
    reject(_bs(owner, ".reserved_extras: ", f.reserved, "; reserved fields must be 0"));
  }
  if (f.extras_count < 0) {
    reject(_bs(owner, ".extras_count: ", f.extras_count,
               " is negative; 0 (no extras) or more values a candidate"));
  }
  if (f.keypoint_count < 0) {
    reject(_bs(owner, ".keypoint_count: ", f.keypoint_count,
               " is negative; 0 (no keypoints) or more"));
  }
  check_code(_bs(owner, ".keypoint_coding").c_str(), f.keypoint_coding, QUELT_SCORES_LOGITS);
  check_code(_bs(owner, ".keypoint_form").c_str(), f.keypoint_form, QUELT_KEYPOINTS_GRID);
  if (f.keypoint_count == 0) {
    return;
  }
  if (f.keypoint_values != 2 && f.keypoint_values != 3) {
    reject(_bs(owner, ".keypoint_values: ", f.keypoint_values,
               " is not a keypoint size; 2 (x, y) or 3 (x, y, visibility)"));
  }
  const std::int64_t needed = std::int64_t{f.keypoint_count} * f.keypoint_values;
  if (needed > f.extras_count) {
    reject(_bs(owner, ".keypoint_count: ", f.keypoint_count, " keypoints of ", f.keypoint_values,
               " values need ", needed, " extras, but extras_count is ", f.extras_count,
               "; keypoint_count x keypoint_values of at most extras_count"));
  }
  if (!grid_cells && f.keypoint_form == QUELT_KEYPOINTS_GRID) {
    reject(_bs(owner, ".keypoint_form: ", f.keypoint_form,
               " (grid) needs the cells of per-level heads; QUELT_KEYPOINTS_PIXELS (0) for a "
               "layout"));
  }
}

quelt_layout default_layout() {
  quelt_layout layout;
  quelt_layout_init(&layout);
  return layout;
}

quelt_decode_options default_options() {
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  return options;
}

}  // namespace

void check_geometry(const quelt_image_geometry* geometry, std::uint64_t images, const char* field) {
  if (images == 0 || geometry == nullptr) {
    return;
  }
  for (std::uint64_t i = 0; i < images; ++i) {
    const quelt_image_geometry& g = geometry[i];
    const float values[] = {g.original_width, g.original_height, g.scale_x,
                            g.scale_y,        g.pad_x,           g.pad_y};
    const char* names[] = {"original_width", "original_height", "scale_x",
                           "scale_y",        "pad_x",           "pad_y"};
    for (int f = 0; f < 6; ++f) {
      if (!std::isfinite(values[f])) {
        reject(_bs(field, "[", i, "].", names[f], ": ", values[f], " is not finite; it must be"));
      }
      if (f < 4 && !(values[f] > 0.0f)) {
        reject(_bs(field, "[", i, "].", names[f], ": ", values[f], " is not above 0; it must be"));
      }
    }
  }
}

namespace {

quelt_levels default_levels() {
  quelt_levels levels;
  quelt_levels_init(&levels);
  return levels;
}

}  // namespace

void check_grid_view(const std::string& name, const quelt_grid_view& view, std::uint64_t images,
                     std::uint64_t height, std::uint64_t width, std::uint64_t channels) {
  check_element(_bs(name, ".element").c_str(), view.element);
  if (images == 0) {
    return;
  }
  if (view.data == nullptr) {
    reject(_bs(name, ".data: NULL, but ", images,
               " images are to be read; NULL only for an "
               "empty batch (or an absent score_sum)"));
  }
  std::uint64_t extent = 0;
  const std::uint64_t bytes = sorvanta::framework::element_bytes(view.element.type);
  if (!add_extent(images, view.image_stride, bytes, extent) ||
      !add_extent(height, view.row_stride, bytes, extent) ||
      !add_extent(width, view.column_stride, bytes, extent) ||
      !add_extent(channels, view.channel_stride, bytes, extent)) {
    reject(_bs(name, ": strides (", view.image_stride, ", ", view.row_stride, ", ",
               view.column_stride, ", ", view.channel_stride, ") over ", images, " x ", height,
               " x ", width, " x ", channels,
               " values reach beyond the addressable range; strides count elements"));
  }
}

levels_call checked_levels_call(const quelt_levels* given_levels,
                                const quelt_decode_options* given_options) {
  levels_call call{
      read_struct(given_levels, default_levels(), first_levels_size, "levels", "quelt_levels"),
      read_struct(given_options, default_options(), first_options_size, "options",
                  "quelt_decode_options")};
  const quelt_levels& levels = call.levels;
  check_code("levels.score_coding", levels.score_coding, QUELT_SCORES_LOGITS);
  if (levels.batch < 0) {
    reject(_bs("levels.batch: ", levels.batch, " is negative; 0 or more images"));
  }
  if (levels.classes < 1) {
    reject(_bs("levels.classes: ", levels.classes, " is below 1; 1 class or more"));
  }
  if (levels.bins < 1 || levels.bins > (1 << 20)) {
    reject(_bs("levels.bins: ", levels.bins,
               " is not a bin count; 1 (plain distances) to 1048576 bins a side"));
  }
  if (levels.level_count < 0) {
    reject(_bs("levels.level_count: ", levels.level_count, " is negative; 0 or more levels"));
  }
  if (levels.levels == nullptr && levels.level_count > 0) {
    reject(_bs("levels.levels: NULL with level_count ", levels.level_count,
               "; an array of that many quelt_level"));
  }
  const auto images = static_cast<std::uint64_t>(levels.batch);
  check_options(call.options, images, true);
  const std::uint64_t per_cell =
      call.options.multi_label == 1 ? static_cast<std::uint64_t>(levels.classes) : 1;
  std::uint64_t cells = 0;
  for (std::int64_t i = 0; i < levels.level_count; ++i) {
    const quelt_level& level = levels.levels[i];
    const std::string name = _bs("levels.levels[", i, "]");
    if (level.height < 1) {
      reject(_bs(name, ".height: ", level.height, " is below 1; 1 row or more"));
    }
    if (level.width < 1) {
      reject(_bs(name, ".width: ", level.width, " is below 1; 1 column or more"));
    }
    if (level.stride < 1) {
      reject(_bs(name, ".stride: ", level.stride, " is below 1; 1 pixel or more"));
    }
    if (level.reserved != 0) {
      reject(_bs(name, ".reserved: ", level.reserved, "; reserved fields must be 0"));
    }
    const auto height = static_cast<std::uint64_t>(level.height);
    const auto width = static_cast<std::uint64_t>(level.width);
    if (height > max_records || width > max_records / height ||
        height * width > (max_records - cells * per_cell) / per_cell) {
      reject(_bs(name, ": ", height, " x ", width, " cells bring the image to more than ",
                 max_records, " records; at most that many a call can hold"));
    }
    cells += height * width;
    check_grid_view(name + ".boxes", level.boxes, images, height, width,
                    4 * static_cast<std::uint64_t>(levels.bins));
    check_grid_view(name + ".scores", level.scores, images, height, width,
                    static_cast<std::uint64_t>(levels.classes));
    if (level.score_sum.data != nullptr) {
      check_grid_view(name + ".score_sum", level.score_sum, images, height, width, 1);
    } else {
      check_element(_bs(name, ".score_sum.element").c_str(), level.score_sum.element);
    }
  }
  check_extras_fields(
      "levels",
      extras_fields{levels.extras_count, levels.keypoint_count, levels.keypoint_values,
                    levels.keypoint_coding, levels.keypoint_form, levels.reserved_extras},
      true);
  if (levels.extras_count > 0 && levels.extras == nullptr && levels.level_count > 0) {
    reject(_bs("levels.extras: NULL with extras_count ", levels.extras_count,
               "; an array of level_count quelt_grid_view, one a level"));
  }
  for (std::int64_t i = 0; i < levels.level_count && levels.extras_count > 0; ++i) {
    const quelt_level& level = levels.levels[i];
    check_grid_view(_bs("levels.extras[", i, "]"), levels.extras[i], images,
                    static_cast<std::uint64_t>(level.height),
                    static_cast<std::uint64_t>(level.width),
                    static_cast<std::uint64_t>(levels.extras_count));
  }
  // Extras live in a details batch, whatever options.details says.
  if (levels.extras_count > 0) {
    call.options.details = 1;
  }
  return call;
}

decode_call checked_decode_call(const quelt_layout* given_layout,
                                const quelt_decode_options* given_options) {
  decode_call call{
      read_struct(given_layout, default_layout(), first_layout_size, "layout", "quelt_layout"),
      read_struct(given_options, default_options(), first_options_size, "options",
                  "quelt_decode_options")};
  const quelt_layout& layout = call.layout;
  const quelt_decode_options& options = call.options;
  check_code("layout.box_coding", layout.box_coding, QUELT_BOX_ROTATED);
  check_code("layout.score_coding", layout.score_coding, QUELT_SCORES_LOGITS);
  check_code("layout.candidate_kind", layout.candidate_kind, QUELT_CANDIDATES_END_TO_END);
  check_code("options.agnostic", options.agnostic, 1);
  check_code("options.multi_label", options.multi_label, 1);
  check_code("options.details", options.details, 1);
  if (options.reserved_details != 0) {
    reject(
        _bs("options.reserved_details: ", options.reserved_details, "; reserved fields must be 0"));
  }
  if (layout.reserved != 0) {
    reject(_bs("layout.reserved: ", layout.reserved, "; reserved fields must be 0"));
  }
  if (layout.batch < 0) {
    reject(_bs("layout.batch: ", layout.batch, " is negative; 0 or more images"));
  }
  if (layout.candidates < 0) {
    reject(_bs("layout.candidates: ", layout.candidates, " is negative; 0 or more candidates"));
  }
  const bool raw = layout.candidate_kind == QUELT_CANDIDATES_RAW;
  if (raw && layout.classes < 1) {
    reject(_bs("layout.classes: ", layout.classes, "; raw candidates need 1 class or more"));
  }
  if (!raw && layout.classes < 0) {
    reject(_bs("layout.classes: ", layout.classes,
               " is negative; 0 (class values unchecked) or the number of classes"));
  }
  check_option_fields(options);
  const auto images = static_cast<std::uint64_t>(layout.batch);
  const auto candidates = static_cast<std::uint64_t>(layout.candidates);
  const std::uint64_t per_candidate =
      raw && options.multi_label != 0 ? static_cast<std::uint64_t>(layout.classes) : 1;
  if (candidates > max_records / per_candidate) {
    reject(_bs("layout.candidates: ", candidates, " with ", per_candidate,
               " records each is more than one image can hold; at most ", max_records,
               " records an image"));
  }
  check_element("layout.boxes_element", layout.boxes_element);
  check_element("layout.objectness_element", layout.objectness_element);
  check_element("layout.scores_element", layout.scores_element);
  check_view("boxes", layout.boxes, layout.boxes_element, images, candidates, 4);
  if (layout.objectness.data != nullptr) {
    check_view("objectness", layout.objectness, layout.objectness_element, images, candidates, 1);
  }
  check_view("scores", layout.scores, layout.scores_element, images, candidates,
             raw ? static_cast<std::uint64_t>(layout.classes) : 2);
  check_extras_fields(
      "layout",
      extras_fields{layout.extras_count, layout.keypoint_count, layout.keypoint_values,
                    layout.keypoint_coding, layout.keypoint_form, layout.reserved_extras},
      false);
  check_element("layout.extras_element", layout.extras_element);
  if (layout.extras_count > 0) {
    check_view("extras", layout.extras, layout.extras_element, images, candidates,
               static_cast<std::uint64_t>(layout.extras_count));
  }
  check_rotated(layout, images, candidates);
  check_thresholds("options.score_thresholds", options.score_thresholds, images);
  if (raw) {
    check_thresholds("options.iou_thresholds", options.iou_thresholds, images);
  }
  check_geometry(options.geometry, images, "options.geometry");
  if (layout.extras_count > 0) {
    call.options.details = 1;
  }
  return call;
}

}  // namespace quelt::api
