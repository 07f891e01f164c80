// Raw per-level heads (quelt_decode_levels): the cells of every level are the
// candidates, level after level and row-major within one. The class maps are
// screened like the class scores of quelt_decode; only the cells with a
// passing class have their box distributions read and reduced. Ranking,
// suppression and records are the decoder's finish.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include "../framework/exponential.hpp"
#include "decoder.hpp"
#include "heads_decode.hpp"

namespace quelt::heads {

namespace {

std::uint64_t magnitude(std::int64_t stride) {
  return stride < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(stride)
                    : static_cast<std::uint64_t>(stride);
}

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

// The expectation of each side's softmax over its bins, the four sides as
// four lanes (v holds bin k of side s at 4k + s; it is overwritten with the
// exponentials): max first, e_k = exp(v_k - max), total = e_0 + e_1 + ...,
// distance = 0 + 0 * (e_0 / total) + 1 * (e_1 / total) + ..., every
// operation in single precision and in bin order, as one side alone would.
void side_expectations(float* v, std::int64_t bins, float* distance) {
#if defined(__SSE2__)
  // maxps(value, top) is "value > top ? value : top", NaN included.
  __m128 top = _mm_loadu_ps(v);
  for (std::int64_t k = 1; k < bins; ++k) {
    top = _mm_max_ps(_mm_loadu_ps(v + 4 * k), top);
  }
  __m128 total = _mm_setzero_ps();
  for (std::int64_t k = 0; k < bins; ++k) {
    float* e = v + 4 * k;
    _mm_storeu_ps(e, _mm_sub_ps(_mm_loadu_ps(e), top));
    fw::rounded_exp_4(e, e);
    total = _mm_add_ps(total, _mm_loadu_ps(e));
  }
  __m128 sum = _mm_setzero_ps();
  for (std::int64_t k = 0; k < bins; ++k) {
    const __m128 p = _mm_div_ps(_mm_loadu_ps(v + 4 * k), total);
    sum = _mm_add_ps(sum, _mm_mul_ps(_mm_set1_ps(static_cast<float>(k)), p));
  }
  _mm_storeu_ps(distance, sum);
#else
  float top[4] = {v[0], v[1], v[2], v[3]};
  for (std::int64_t k = 1; k < bins; ++k) {
    for (int side = 0; side < 4; ++side) {
      const float value = v[4 * k + side];
      top[side] = value > top[side] ? value : top[side];
    }
  }
  float total[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  for (std::int64_t k = 0; k < bins; ++k) {
    float* e = v + 4 * k;
    for (int side = 0; side < 4; ++side) {
      e[side] = e[side] - top[side];
    }
    fw::rounded_exp_4(e, e);
    for (int side = 0; side < 4; ++side) {
      total[side] += e[side];
    }
  }
  for (int side = 0; side < 4; ++side) {
    distance[side] = 0.0f;
  }
  for (std::int64_t k = 0; k < bins; ++k) {
    for (int side = 0; side < 4; ++side) {
      distance[side] += static_cast<float>(k) * (v[4 * k + side] / total[side]);
    }
  }
#endif
}

}  // namespace

std::vector<object_detection> decoder::image_levels(std::int64_t b, const quelt_levels& levels) {
  hits_.clear();
  gather_levels(b, options_.score_thresholds[b], levels);
  if (options_.multi_label == 0) {
    keep_best_classes();
  }
  level_boxes(b, levels);
  return finish(b);
}

void decoder::gather_levels(std::int64_t b, float threshold, const quelt_levels& levels) {
  const screen passes = make_screen(threshold);
  if (passes.closed()) {
    return;  // no logistic exceeds the threshold
  }
  spare_.clear();
  std::uint32_t offset = 0;
  bool bucket = false;  // whether some level was walked class by class
  for (std::int64_t l = 0; l < levels.level_count; ++l) {
    const quelt_level& level = levels.levels[l];
    const grid_reader scores(level.scores);
    const std::int32_t cut = rank_cut_for(scores.format, logits_, threshold);
    const auto width = static_cast<std::uint32_t>(level.width);
    const auto keep = [&](std::int64_t y, std::int64_t x, std::uint32_t k) {
      const float score = activate(scores.value(b, y, x, k));
      if (score > threshold) {
        spare_.push_back(
            hit{offset + static_cast<std::uint32_t>(y) * width + static_cast<std::uint32_t>(x), k,
                score, 1.0f});
      }
    };
    if (level.score_sum.data == nullptr &&
        magnitude(level.scores.channel_stride) > magnitude(level.scores.column_stride)) {
      // Class maps (NCHW): each class's rows are walked along the columns.
      bucket = true;
      // Rows that follow each other without padding are one run per class,
      // screened in one pass rather than row by row with a tail each.
      const bool plane = level.scores.column_stride == 1 &&
                         level.scores.row_stride == level.width && level.height > 1;
      for (std::uint32_t k : walk_) {
        if (plane) {
          for_each_element_passing(scores.format, scores.address(b, 0, 0, k),
                                   static_cast<std::uint64_t>(level.height * level.width), 1, cut,
                                   passes, [&](std::uint64_t at) {
                                     keep(static_cast<std::int64_t>(at / width),
                                          static_cast<std::int64_t>(at % width), k);
                                   });
          continue;
        }
        for (std::int64_t y = 0; y < level.height; ++y) {
          for_each_element_passing(
              scores.format, scores.address(b, y, 0, k), static_cast<std::uint64_t>(level.width),
              level.scores.column_stride, cut, passes,
              [&](std::uint64_t x) { keep(y, static_cast<std::int64_t>(x), k); });
        }
      }
    } else {
      // Cell by cell (NHWC, or behind the score-sum screen, which is a
      // probability and never goes through the logistic).
      const grid_reader sums(level.score_sum);
      const screen sum_passes = heads::make_screen(false, threshold);
      const std::int32_t sum_cut =
          level.score_sum.data != nullptr ? rank_cut_for(sums.format, false, threshold) : 0;
      for (std::int64_t y = 0; y < level.height; ++y) {
        for (std::int64_t x = 0; x < level.width; ++x) {
          if (level.score_sum.data != nullptr &&
              (!element_may_pass(sums.format, sums.address(b, y, x, 0), sum_cut, sum_passes) ||
               !(sums.value(b, y, x, 0) > threshold))) {
            continue;
          }
          for (std::uint32_t k : walk_) {
            if (element_may_pass(scores.format, scores.address(b, y, x, k), cut, passes)) {
              keep(y, x, k);
            }
          }
        }
      }
    }
    offset += static_cast<std::uint32_t>(level.height) * width;
  }
  if (!bucket) {
    hits_.swap(spare_);
    return;
  }
  // Candidate order, classes ascending within a candidate.
  members_.resize(spare_.size());
  for (std::size_t i = 0; i < spare_.size(); ++i) {
    members_[i] = fw::class_member{spare_[i].candidate, static_cast<std::uint32_t>(i)};
  }
  fw::bucket_by_class(members_, offset, start_, by_class_);
  hits_.resize(spare_.size());
  for (std::size_t i = 0; i < by_class_.size(); ++i) {
    hits_[i] = spare_[by_class_[i].item];
  }
}

// The box of every hit's cell: anchor point -/+ the distance of each side
// times the stride, the distance the expectation of the side's softmax over
// its bins (max subtracted first, sums in bin order), or the value itself
// with one bin. The cells' values are read first, channel by channel where
// channels lie far apart (NCHW), so each channel's cells are read in
// address order rather than one cell's 4 x bins values from as many planes.
// They are stored bin by bin with the four sides side by side: the four
// sides' chains (exponentials, sums, expectation) then run as four lanes,
// each side still in its own fixed order.
void decoder::level_boxes(std::int64_t b, const quelt_levels& levels) {
  candidate_boxes_.resize(hits_.size());
  const std::int64_t bins = levels.bins;
  const auto channels = static_cast<std::size_t>(4 * bins);
  std::size_t i = 0;
  std::int64_t l = 0;
  std::uint32_t offset = 0;  // of level l
  while (i < hits_.size()) {
    // Hits come in candidate order: the level only moves forwards.
    while (hits_[i].candidate - offset >=
           static_cast<std::uint32_t>(levels.levels[l].height * levels.levels[l].width)) {
      offset += static_cast<std::uint32_t>(levels.levels[l].height * levels.levels[l].width);
      ++l;
    }
    const quelt_level& level = levels.levels[l];
    const std::uint32_t end = offset + static_cast<std::uint32_t>(level.height * level.width);
    const grid_reader boxes(level.boxes);
    // The distinct cells of this level's hits and their offsets in the view.
    cells_.clear();
    cell_at_.clear();
    std::size_t last = i;
    for (; last < hits_.size() && hits_[last].candidate < end; ++last) {
      const std::uint32_t cell = hits_[last].candidate - offset;
      if (cells_.empty() || cells_.back() != cell) {
        cells_.push_back(cell);
        const auto width = static_cast<std::uint32_t>(level.width);
        cell_at_.push_back(static_cast<std::int64_t>(cell / width) * level.boxes.row_stride +
                           static_cast<std::int64_t>(cell % width) * level.boxes.column_stride);
      }
    }
    bins_.resize(cells_.size() * channels);
    // Channel c of cell j goes to (j, bin, side).
    const auto read_channel = [&](std::int64_t c, std::size_t first, std::size_t count) {
      const unsigned char* plane = boxes.address(b, 0, 0, c);
      float* to = bins_.data() + static_cast<std::size_t>(c % bins) * 4 +
                  static_cast<std::size_t>(c / bins);
      if (boxes.format.type == QUELT_ELEMENT_FLOAT32) {
        for (std::size_t j = first; j < first + count; ++j) {
          std::memcpy(to + j * channels, plane + cell_at_[j] * 4, sizeof(float));
        }
        return;
      }
      for (std::size_t j = first; j < first + count; ++j) {
        to[j * channels] = fw::element_value(boxes.format, plane + cell_at_[j] * boxes.bytes);
      }
    };
    if (magnitude(level.boxes.channel_stride) > magnitude(level.boxes.column_stride)) {
      for (std::size_t c = 0; c < channels; ++c) {
        read_channel(static_cast<std::int64_t>(c), 0, cells_.size());
      }
    } else {
      for (std::size_t j = 0; j < cells_.size(); ++j) {
        for (std::size_t c = 0; c < channels; ++c) {
          read_channel(static_cast<std::int64_t>(c), j, 1);
        }
      }
    }
    const auto stride = static_cast<float>(level.stride);
    std::size_t j = 0;
    for (; i < last; ++i) {
      if (cells_[j] != hits_[i].candidate - offset) {
        ++j;
      }
      if (i > 0 && hits_[i - 1].candidate == hits_[i].candidate) {
        candidate_boxes_[i] = candidate_boxes_[i - 1];
        continue;
      }
      float* v = bins_.data() + j * channels;
      float distance[4] = {v[0], v[1], v[2], v[3]};
      if (bins > 1) {
        side_expectations(v, bins, distance);
      }
      const auto x = static_cast<float>(cells_[j] % static_cast<std::uint32_t>(level.width));
      const auto y = static_cast<float>(cells_[j] / static_cast<std::uint32_t>(level.width));
      const float ax = (x + 0.5f) * stride;
      const float ay = (y + 0.5f) * stride;
      candidate_boxes_[i] =
          fw::make_corner_box(ax - distance[0] * stride, ay - distance[1] * stride,
                              ax + distance[2] * stride, ay + distance[3] * stride);
    }
  }
}

detailed_detections decode_levels(const quelt_levels& levels, const quelt_decode_options& options) {
  detailed_detections result = empty_batch(levels.batch, options);
  // The decoder's view of the heads: raw candidates of `classes` classes,
  // without objectness.
  quelt_layout layout{};
  layout.struct_size = sizeof layout;
  layout.score_coding = levels.score_coding;
  layout.candidate_kind = QUELT_CANDIDATES_RAW;
  layout.batch = levels.batch;
  layout.classes = levels.classes;
  for (std::int64_t l = 0; l < levels.level_count; ++l) {
    layout.candidates += levels.levels[l].height * levels.levels[l].width;
  }
  if (layout.candidates == 0) {
    return result;
  }
  decoder images(layout, options);
  for (std::int64_t b = 0; b < levels.batch; ++b) {
    images.publish(b, images.image_levels(b, levels), result);
  }
  return result;
}

}  // namespace quelt::heads
