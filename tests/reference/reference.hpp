// A deliberately naive, step-by-step rendering of both decoding paths: full
// layer copies, activation of every value, bubble sorts and all-pairs overlap
// tests. It is the definition the library is held to, so it is written for
// readability and never for speed. Compiled into tests and benchmarks only.
#ifndef QUELT_TESTS_REFERENCE_REFERENCE_HPP
#define QUELT_TESTS_REFERENCE_REFERENCE_HPP

#include <cstdint>
#include <vector>

#include "quelt/quelt.h"

namespace quelt_reference {

using detections = std::vector<std::vector<object_detection>>;

// Darknet layers.
void activate_yolo_output(output_tensor output, int anchors, int classes, float xy_scale,
                          bool preactivated);
std::vector<std::vector<float>> get_yolo_boxes(std::vector<yolo_output>& layers, int classes,
                                               int net_width, int net_height,
                                               float* conf_thresholds);
void descending_sort_yolo_boxes(std::vector<float>& rows, int classes, int class_index);
void do_nms_sort(std::vector<std::vector<float>>& boxes, int classes, float* nms_thresholds);
detections process_yolo_detections(yolo_output* outputs, std::uint64_t outputs_count,
                                   net_params net, float* conf_thresholds, float* nms_thresholds);

// Sealed tensors.
struct box_provider {
  float* row;
  std::int32_t classes;
};
double provider_iou(const box_provider& self, const box_provider& other);
double provider_iom(const box_provider& self, const box_provider& other);
// Candidates of equal objectness keep their relative order (a stable sort).
void darknet_box_nms_sort(std::vector<std::vector<box_provider>>& lists, int classes,
                          float* nms_thresholds);
// Expects valid counts and classes >= 1. With `sources`, each record's row
// index goes there too, per image.
detections process_yolo_sealed_output_detections(
    float* sealed_output, std::int64_t boxes_count, std::int64_t batch_size, std::int32_t classes,
    float* conf_thresholds, float* nms_thresholds, std::int32_t width, std::int32_t height,
    std::vector<std::vector<std::int64_t>>* sources = nullptr);

// Box predictions described by strides (quelt_decode). Expects a call the
// library accepts. Views of other element types are converted to float32
// first, every element, as converted_layout does.
// `sources`, when given, receives each record's candidate index.
// `rotated`, when given, receives each record's rotated box (rotated boxes).
using sources_list = std::vector<std::vector<std::int64_t>>;
using rotated_list = std::vector<std::vector<quelt_rotated_detection>>;
detections decode_heads(const quelt_layout& layout, const quelt_decode_options& options,
                        sources_list* sources = nullptr, rotated_list* rotated = nullptr);
// One image of a details batch: the records, and per record its candidate,
// its E extras and its K x (x, y, visibility) keypoints (mapped as the
// edges are), those in network-input pixels too.
struct details_image {
  std::vector<object_detection> records;
  std::vector<std::int64_t> sources;
  std::vector<float> extras;
  std::vector<float> keypoints;
  std::vector<float> keypoint_pixels;
  // Rotated records, for rotated boxes.
  std::vector<quelt_rotated_detection> rotated;
};
using details = std::vector<details_image>;
// decode_heads with every candidate's keypoints decoded first (the slow
// obvious way), and the survivors' sources, extras and keypoints.
details decode_heads_details(const quelt_layout& layout, const quelt_decode_options& options);
// decode_levels likewise, with the grid form of the keypoints.
details decode_levels_details(const quelt_levels& levels, const quelt_decode_options& options);
// The value of one element as the header defines it.
float element_value(const quelt_element& element, const void* address);
// `layout` with every view copied into float32 storage held by `storage`
// (images x candidates x components, contiguous), element by element.
quelt_layout converted_layout(const quelt_layout& layout, std::vector<std::vector<float>>& storage);
// Raw per-level heads (quelt_decode_levels): every cell's box computed, as
// corners, and every class score converted, into one float32 layout (class
// scores of cells whose score sum fails become NaN), then decode_heads.
detections decode_levels(const quelt_levels& levels, const quelt_decode_options& options,
                         sources_list* sources = nullptr);
// `levels` with every map copied into float32 storage held by `storage`
// (NCHW, contiguous), element by element; `copies` holds the new levels.
quelt_levels converted_levels(const quelt_levels& levels, std::vector<std::vector<float>>& storage,
                              std::vector<quelt_level>& copies);
// Rotated boxes: centre, sizes and the angle in radians, x toward y.
struct rotated {
  float cx, cy, w, h, angle;
};
// Whether a box suppresses and can be suppressed: finite, sizes not
// negative, bounds within float range.
bool rotated_takes_part(const rotated& r);
// Its axis-aligned bounds (the edges of its 28-byte record).
void rotated_bounds(const rotated& r, float& x0, float& y0, float& x1, float& y1);
// The exact intersection over union, and the probabilistic overlap.
float rotated_iou(const rotated& a, const rotated& b);
float rotated_probabilistic_iou(const rotated& a, const rotated& b);
// The record form: the longer side as the width, the angle in [0, pi).
rotated rotated_record_form(const rotated& r);
// Mapped to original-image pixels, in record form.
rotated rotated_mapped(const rotated& r, const quelt_image_geometry& g);

// quelt_map_detections on a copy of `batch`; expects valid arguments.
// `sources` and `rotated`, when given, keep the entries of the records kept;
// rotated boxes are mapped with the geometry.
detections map_detections(const detections& batch, std::int32_t network_width,
                          std::int32_t network_height, const quelt_image_geometry* geometry,
                          std::int32_t max_detections, sources_list* sources = nullptr,
                          rotated_list* rotated = nullptr);
// The same over a details batch whose edges and keypoints are fractions of
// the network input: keypoints mapped like the edges (from their network-
// input pixels), the rest kept in step.
details map_details(const details& batch, std::int32_t network_width, std::int32_t network_height,
                    const quelt_image_geometry* geometry, std::int32_t max_detections);

// One record's instance mask (QUELT_MASK_* `kind`) from its coefficients and
// box (x_min, y_min, x_max, y_max in network pixels), computed over the whole
// grid and then cut to the box's pixels. Binary pixels are 0 or 1; an empty
// mask has width and height 0.
struct reference_mask {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::vector<float> values;
};
reference_mask instance_mask(const float* coefficients, const quelt_grid_view& prototypes,
                             std::uint64_t image, std::int32_t channels, std::int32_t height,
                             std::int32_t width, const float box[4], std::int32_t kind,
                             std::int32_t network_width, std::int32_t network_height,
                             const quelt_image_geometry& geometry);

}  // namespace quelt_reference

#endif
