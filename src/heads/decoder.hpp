// The decoder of one quelt_decode call, image by image: gathering the
// classes that pass (gather.cpp, one strategy per layout), then ranking,
// suppression and the records (finish.cpp).
#ifndef QUELT_HEADS_DECODER_HPP
#define QUELT_HEADS_DECODER_HPP

#include <cstdint>
#include <vector>

#include "../framework/box.hpp"
#include "../framework/detections.hpp"
#include "../framework/elements.hpp"
#include "../framework/exponential.hpp"
#include "../framework/ranking.hpp"
#include "../framework/rotated.hpp"
#include "../framework/suppression.hpp"
#include "quelt/quelt.h"
#include "scan.hpp"

namespace quelt::heads {

// A class of a candidate whose score passed.
struct hit {
  std::uint32_t candidate;
  std::uint32_t class_index;
  float score;
  float objectness;
};

inline const float* at(const quelt_view& view, std::int64_t image, std::int64_t candidate,
                       std::int64_t component) {
  return view.data + image * view.image_stride + candidate * view.candidate_stride +
         component * view.component_stride;
}

// A view of any element type: its values are read through the framework's
// one conversion.
struct element_view {
  const quelt_view& view;
  fw::element_format format;
  std::int64_t bytes;

  element_view(const quelt_view& v, const quelt_element& e)
      : view(v),
        format{e.type, e.zero_point, e.scale},
        bytes(static_cast<std::int64_t>(fw::element_bytes(e.type))) {}

  const unsigned char* address(std::int64_t image, std::int64_t candidate,
                               std::int64_t component) const {
    return reinterpret_cast<const unsigned char*>(view.data) +
           (image * view.image_stride + candidate * view.candidate_stride +
            component * view.component_stride) *
               bytes;
  }
  float value(std::int64_t image, std::int64_t candidate, std::int64_t component) const {
    return fw::element_value(format, address(image, candidate, component));
  }
};

// One map of a level, read through the framework's element conversion.
struct grid_reader {
  const quelt_grid_view& view;
  fw::element_format format;
  std::int64_t bytes;

  explicit grid_reader(const quelt_grid_view& v)
      : view(v),
        format{v.element.type, v.element.zero_point, v.element.scale},
        bytes(static_cast<std::int64_t>(fw::element_bytes(v.element.type))) {}

  const unsigned char* address(std::int64_t image, std::int64_t y, std::int64_t x,
                               std::int64_t channel) const {
    return reinterpret_cast<const unsigned char*>(view.data) +
           (image * view.image_stride + y * view.row_stride + x * view.column_stride +
            channel * view.channel_stride) *
               bytes;
  }
  float value(std::int64_t image, std::int64_t y, std::int64_t x, std::int64_t channel) const {
    return fw::element_value(format, address(image, y, x, channel));
  }
};

// exp(value(u) - value(top)) for the codes u <= top of an 8-bit map: the
// softmax of a side of 8-bit bins needs no other exponentials. A row per top
// code, each entry computed when a cell first needs it (levels.cpp).
struct code_exponentials {
  fw::element_format format{-1, 0, 0.0f};
  float values[256];       // by code (the integer, plus 128 for int8)
  std::int32_t slot[256];  // the row of each top in `rows`, -1 before its use
  std::vector<float> rows;
};

class decoder {
 public:
  decoder(const quelt_layout& layout, const quelt_decode_options& options);

  std::vector<object_detection> image(std::int64_t b);
  // The records of image b of raw per-level heads (levels.cpp); the decoder
  // was built over a layout of raw candidates of `levels.classes` classes.
  std::vector<object_detection> image_levels(std::int64_t b, const quelt_levels& levels);
  // Moves image b's records, with their details when asked for, into `out`.
  void publish(std::int64_t b, std::vector<object_detection> records,
               sorvanta::framework::detailed_detections& out);

 private:
  float activate(float value) const { return logits_ ? fw::logistic(value) : value; }
  screen make_screen(float threshold) const { return heads::make_screen(logits_, threshold); }

  void gather_end_to_end(std::int64_t b, float threshold);
  // Keeps end-to-end candidate n whose score passed when its class value
  // names a class that is allowed.
  void add_end_to_end_hit(std::int64_t n, float score, float objectness, float value);
  void gather_with_objectness(std::int64_t b, float threshold);
  void gather_class_major(std::int64_t b, float threshold);
  void gather_candidate_major(std::int64_t b, float threshold);
  void gather_elements(std::int64_t b, float threshold);
  void keep_best_classes();
  void gather_levels(std::int64_t b, float threshold, const quelt_levels& levels);
  void level_boxes(std::int64_t b, const quelt_levels& levels);
  void use_code_format(const fw::element_format& format);
  template <std::int64_t Bins>
  void code_expectations(const unsigned char* codes, std::int64_t bins, float* lane,
                         std::size_t stride, fw::exp_lanes lanes);

  void read_boxes(std::int64_t b);
  std::vector<object_detection> finish(std::int64_t b);
  std::size_t score_raw_hits(std::size_t from, float threshold, fw::exp_lanes lanes);
  void hits_in_candidate_order();
  void suppress(float threshold, std::size_t count);
  object_detection record(std::int64_t b, const hit& h, const fw::corner_box& box) const;
  quelt_rotated_detection rotated_record(std::int64_t b, const hit& h,
                                         const fw::rotated_box& box) const;

  const quelt_layout& layout_;
  const quelt_decode_options& options_;
  const bool logits_;
  // Whether each record's source and network box are kept.
  const bool details_;
  // Scores or objectness in another element type than float32.
  const bool elements_;
  std::vector<std::int32_t> allowed_;  // the allow-list, sorted
  std::vector<std::uint32_t> walk_;    // allowed classes below `classes`, ascending
  std::vector<unsigned char> allowed_mask_;
  std::vector<hit> hits_;
  std::vector<hit> spare_;
  std::vector<float> probabilities_;
  std::vector<std::uint32_t> held_;
  std::vector<float> keys_;
  std::vector<std::uint32_t> order_;
  std::vector<std::uint64_t> scratch_;
  std::vector<std::int32_t> best_class_;  // per candidate, -1 for none
  std::vector<float> best_score_;
  std::vector<fw::corner_box> candidate_boxes_;  // one per hit, in hit order
  // Rotated boxes: one per hit, in hit order (candidate_boxes_ holds their
  // bounds), then in rank order, then those of the records.
  const bool is_rotated_;
  std::vector<fw::rotated_box> candidate_rotated_;
  std::vector<fw::rotated_box> rotated_;
  std::vector<quelt_rotated_detection> rotated_records_;
  // The box values of a block of a level's hit cells, one row per channel
  // with the cells as lanes (channel, cell); for 8-bit codes one cell's
  // exponentials (bin, side).
  std::vector<float> bins_;
  std::vector<std::uint32_t> cells_;      // those cells, within their level
  std::vector<std::uint32_t> cell_rows_;  // and their rows
  std::vector<std::int64_t> cell_at_;     // their element offsets in the box view
  std::vector<float> distances_;          // four per cell
  // 8-bit box maps: the cells' codes (cell, bin, side) and the exponentials
  // of their differences (levels.cpp).
  std::vector<unsigned char> codes_;
  code_exponentials code_exps_;
  std::vector<fw::corner_box> boxes_;  // in rank order
  std::vector<unsigned char> removed_;
  std::vector<fw::class_member> members_;
  std::vector<std::uint32_t> candidate_keys_;  // the class-by-class hits' candidates
  fw::class_suppression_workspace nms_;
  std::vector<std::int64_t> sources_;          // per record of the image, when details_
  std::vector<fw::corner_box> network_boxes_;  // likewise
};

}  // namespace quelt::heads

#endif
