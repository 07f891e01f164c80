// Raw per-level heads (quelt_decode_levels): the cells of every level are the
// candidates, level after level and row-major within one. The class maps are
// screened like the class scores of quelt_decode; only the cells with a
// passing class have their box distributions read and reduced. Ranking,
// suppression and records are the decoder's finish.
#include <algorithm>
#include <cstddef>
#include <cstdint>

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
      for (std::uint32_t k : walk_) {
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
void decoder::level_boxes(std::int64_t b, const quelt_levels& levels) {
  candidate_boxes_.resize(hits_.size());
  const std::int64_t bins = levels.bins;
  const std::int64_t channels = 4 * bins;
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
    // The distinct cells of this level's hits.
    cells_.clear();
    std::size_t last = i;
    for (; last < hits_.size() && hits_[last].candidate < end; ++last) {
      if (cells_.empty() || cells_.back() != hits_[last].candidate - offset) {
        cells_.push_back(hits_[last].candidate - offset);
      }
    }
    const grid_reader boxes(level.boxes);
    bins_.resize(cells_.size() * static_cast<std::size_t>(channels));
    // int8 and uint8 distributions: exp(v_k - max) depends only on the two
    // integers, so each pair's exponential is computed once per level.
    const bool byte_pairs = bins > 1 && (boxes.format.type == QUELT_ELEMENT_INT8 ||
                                         boxes.format.type == QUELT_ELEMENT_UINT8);
    const std::int32_t low = fw::lowest_integer(boxes.format.type);
    if (byte_pairs) {
      ranks_.resize(bins_.size());
      if (pair_stamps_.size() != 256 * 256 || ++pair_stamp_ == 0) {
        pair_stamps_.assign(256 * 256, 0);
        pair_exps_.resize(256 * 256);
        pair_stamp_ = 1;
      }
    }
    const auto read = [&](std::size_t j, std::int64_t c) {
      const std::int64_t y = cells_[j] / level.width;
      const std::int64_t x = cells_[j] % level.width;
      const std::size_t at = j * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c);
      if (byte_pairs) {
        ranks_[at] = fw::element_rank(boxes.format.type, boxes.address(b, y, x, c));
        bins_[at] = fw::quantized_value(ranks_[at], boxes.format.zero_point, boxes.format.scale);
      } else {
        bins_[at] = boxes.value(b, y, x, c);
      }
    };
    // exp(v(q) - v(top)) of two integers of the level's byte type.
    const auto pair_exp = [&](std::int32_t q, std::int32_t top) {
      const auto at = static_cast<std::size_t>((q - low) * 256 + (top - low));
      if (pair_stamps_[at] != pair_stamp_) {
        pair_stamps_[at] = pair_stamp_;
        pair_exps_[at] =
            fw::rounded_exp(fw::quantized_value(q, boxes.format.zero_point, boxes.format.scale) -
                            fw::quantized_value(top, boxes.format.zero_point, boxes.format.scale));
      }
      return pair_exps_[at];
    };
    if (magnitude(level.boxes.channel_stride) > magnitude(level.boxes.column_stride)) {
      for (std::int64_t c = 0; c < channels; ++c) {
        for (std::size_t j = 0; j < cells_.size(); ++j) {
          read(j, c);
        }
      }
    } else {
      for (std::size_t j = 0; j < cells_.size(); ++j) {
        for (std::int64_t c = 0; c < channels; ++c) {
          read(j, c);
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
      float* v = bins_.data() + j * static_cast<std::size_t>(channels);
      float distance[4] = {v[0], v[bins], v[2 * bins], v[3 * bins]};
      if (bins > 1) {
        // The four sides side by side, each in its own fixed order: four
        // independent chains of exponentials and sums.
        float top[4] = {v[0], v[bins], v[2 * bins], v[3 * bins]};
        for (std::int64_t k = 1; k < bins; ++k) {
          for (std::int64_t side = 0; side < 4; ++side) {
            const float value = v[side * bins + k];
            top[side] = value > top[side] ? value : top[side];
          }
        }
        float total[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        if (byte_pairs) {
          // The largest value is the value of the largest integer: the
          // conversion never decreases.
          const std::int32_t* q = ranks_.data() + j * static_cast<std::size_t>(channels);
          std::int32_t top_q[4] = {q[0], q[bins], q[2 * bins], q[3 * bins]};
          for (std::int64_t k = 1; k < bins; ++k) {
            for (std::int64_t side = 0; side < 4; ++side) {
              top_q[side] = std::max(top_q[side], q[side * bins + k]);
            }
          }
          for (std::int64_t k = 0; k < bins; ++k) {
            for (std::int64_t side = 0; side < 4; ++side) {
              float& e = v[side * bins + k];
              e = pair_exp(q[side * bins + k], top_q[side]);
              total[side] += e;
            }
          }
        } else {
          for (std::int64_t k = 0; k < bins; ++k) {
            for (std::int64_t side = 0; side < 4; ++side) {
              float& e = v[side * bins + k];
              e = fw::rounded_exp(e - top[side]);
              total[side] += e;
            }
          }
        }
        for (std::int64_t side = 0; side < 4; ++side) {
          distance[side] = 0.0f;
        }
        for (std::int64_t k = 0; k < bins; ++k) {
          for (std::int64_t side = 0; side < 4; ++side) {
            distance[side] += static_cast<float>(k) * (v[side * bins + k] / total[side]);
          }
        }
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

detections_list decode_levels(const quelt_levels& levels, const quelt_decode_options& options) {
  detections_list result(static_cast<std::size_t>(levels.batch));
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
    result[static_cast<std::size_t>(b)] = images.image_levels(b, levels);
  }
  return result;
}

}  // namespace quelt::heads
