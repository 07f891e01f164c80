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
#include "extras.hpp"
#include "heads_decode.hpp"

namespace quelt::heads {

namespace {

std::uint64_t magnitude(std::int64_t stride) {
  return stride < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(stride)
                    : static_cast<std::uint64_t>(stride);
}

// The expectation of each side's softmax over its bins, for a block of
// cells held as lanes: row c of `rows` (`row` floats apart) holds channel c
// (side s, bin k: c = s x bins + k) of every cell of the block. Per cell and
// side the operations are those one side alone would do, in the same order:
// max first, e_k = exp(v_k - max), total = e_0 + e_1 + ..., distance = 0 +
// 0 * (e_0 / total) + 1 * (e_1 / total) + .... lane_differences does the
// first step in place over `width` lanes (a multiple of four), the
// exponentials then run over the rows at once (rounded_exp_n), and
// lane_sums does the last two for the first `count` lanes, writing four
// distances per cell.
void lane_differences(float* rows, std::size_t row, std::size_t width, std::int64_t bins) {
  for (std::int64_t s = 0; s < 4; ++s) {
    float* side = rows + static_cast<std::size_t>(s * bins) * row;
    for (std::size_t j = 0; j < width; j += 4) {
#if defined(__SSE2__)
      // maxps(value, top) is "value > top ? value : top", NaN included.
      __m128 top = _mm_loadu_ps(side + j);
      for (std::int64_t k = 1; k < bins; ++k) {
        top = _mm_max_ps(_mm_loadu_ps(side + static_cast<std::size_t>(k) * row + j), top);
      }
      for (std::int64_t k = 0; k < bins; ++k) {
        float* e = side + static_cast<std::size_t>(k) * row + j;
        _mm_storeu_ps(e, _mm_sub_ps(_mm_loadu_ps(e), top));
      }
#else
      for (std::size_t lane = j; lane < j + 4; ++lane) {
        float top = side[lane];
        for (std::int64_t k = 1; k < bins; ++k) {
          const float value = side[static_cast<std::size_t>(k) * row + lane];
          top = value > top ? value : top;
        }
        for (std::int64_t k = 0; k < bins; ++k) {
          float& e = side[static_cast<std::size_t>(k) * row + lane];
          e = e - top;
        }
      }
#endif
    }
  }
}

void lane_sums(const float* rows, std::size_t row, std::size_t count, std::int64_t bins,
               float* distances) {
  for (std::int64_t s = 0; s < 4; ++s) {
    const float* side = rows + static_cast<std::size_t>(s * bins) * row;
    for (std::size_t j = 0; j < count; j += 4) {
      float sums[4];
#if defined(__SSE2__)
      __m128 total = _mm_setzero_ps();
      for (std::int64_t k = 0; k < bins; ++k) {
        total = _mm_add_ps(total, _mm_loadu_ps(side + static_cast<std::size_t>(k) * row + j));
      }
      __m128 sum = _mm_setzero_ps();
      for (std::int64_t k = 0; k < bins; ++k) {
        const __m128 p =
            _mm_div_ps(_mm_loadu_ps(side + static_cast<std::size_t>(k) * row + j), total);
        sum = _mm_add_ps(sum, _mm_mul_ps(_mm_set1_ps(static_cast<float>(k)), p));
      }
      _mm_storeu_ps(sums, sum);
#else
      for (std::size_t lane = 0; lane < 4; ++lane) {
        float total = 0.0f;
        for (std::int64_t k = 0; k < bins; ++k) {
          total += side[static_cast<std::size_t>(k) * row + j + lane];
        }
        sums[lane] = 0.0f;
        for (std::int64_t k = 0; k < bins; ++k) {
          sums[lane] +=
              static_cast<float>(k) * (side[static_cast<std::size_t>(k) * row + j + lane] / total);
        }
      }
#endif
      for (std::size_t lane = 0; lane < 4 && j + lane < count; ++lane) {
        distances[(j + lane) * 4 + static_cast<std::size_t>(s)] = sums[lane];
      }
    }
  }
}

#if defined(QUELT_FRAMEWORK_EXP_AVX512)
// Whether the processor has what pack_rows_avx512 uses (AVX-512's byte
// loads among it).
bool pack_lanes_available() {
  return __builtin_cpu_supports("avx512bw") != 0 && __builtin_cpu_supports("avx512vl") != 0;
}

// The rows of a block of cells whose offsets, from `base` in every plane,
// fall in `chunks` runs of 16 elements (float32, or 8-bit codes as `format`
// says): the elements marked in masks[q] packed to the front of each row in
// address order, as floats. A chunk is read with one masked load (unmarked
// elements are not touched, so never past the plane) instead of a load per
// cell: in a dense level the scattered loads were the larger part of the
// call. Codes become their values by the single-precision operations of
// quantized_value, (float)(q - zero_point) x scale. Writes up to 16 floats
// past a row's cells; the buffer has room, and the next row overwrites what
// spills into it.
__attribute__((target("avx512f,avx512bw,avx512vl"))) void pack_rows_avx512(
    const unsigned char* base, std::int64_t channel_bytes, std::size_t channels,
    const std::uint16_t* masks, std::size_t chunks, const fw::element_format& format, float* rows,
    std::size_t row) {
  const bool floats = format.type == QUELT_ELEMENT_FLOAT32;
  const bool is_signed = format.type == QUELT_ELEMENT_INT8;
  const __m512i zero_point = _mm512_set1_epi32(format.zero_point);
  const __m512 scale = _mm512_set1_ps(format.scale);
  for (std::size_t c = 0; c < channels; ++c) {
    const unsigned char* plane = base + static_cast<std::int64_t>(c) * channel_bytes;
    float* out = rows + c * row;
    for (std::size_t q = 0; q < chunks; ++q) {
      const auto mark = static_cast<__mmask16>(masks[q]);
      if (mark == 0) {
        continue;
      }
      __m512 v;
      if (floats) {
        v = _mm512_maskz_loadu_ps(mark, reinterpret_cast<const float*>(plane) + 16 * q);
      } else {
        const __m128i codes = _mm_maskz_loadu_epi8(mark, plane + 16 * q);
        // Zero-masked forms (GCC 12 warns of the plain ones' undefined
        // source); the compress drops the unmarked lanes anyway.
        const __m512i q32 = is_signed ? _mm512_maskz_cvtepi8_epi32(mark, codes)
                                      : _mm512_maskz_cvtepu8_epi32(mark, codes);
        v = _mm512_mul_ps(_mm512_maskz_cvtepi32_ps(mark, _mm512_sub_epi32(q32, zero_point)), scale);
      }
      _mm512_storeu_ps(out, _mm512_maskz_compress_ps(mark, v));
      out += __builtin_popcount(masks[q]);
    }
  }
}

// lane_differences and lane_sums sixteen lanes at a time: the same
// operations per lane in the same order, so the same bits, in a quarter of
// the instructions (and the divisions at twice the rate of SSE's).
__attribute__((target("avx512f"))) void lane_differences_avx512(float* rows, std::size_t row,
                                                                std::size_t width,
                                                                std::int64_t bins) {
  for (std::int64_t s = 0; s < 4; ++s) {
    float* side = rows + static_cast<std::size_t>(s * bins) * row;
    for (std::size_t j = 0; j < width; j += 16) {
      __m512 top = _mm512_loadu_ps(side + j);
      for (std::int64_t k = 1; k < bins; ++k) {
        // The zero-masked form: GCC 12 warns of the plain one's undefined
        // source.
        top = _mm512_maskz_max_ps(
            0xffff, _mm512_loadu_ps(side + static_cast<std::size_t>(k) * row + j), top);
      }
      for (std::int64_t k = 0; k < bins; ++k) {
        float* e = side + static_cast<std::size_t>(k) * row + j;
        _mm512_storeu_ps(e, _mm512_sub_ps(_mm512_loadu_ps(e), top));
      }
    }
  }
}

__attribute__((target("avx512f"))) void lane_sums_avx512(const float* rows, std::size_t row,
                                                         std::size_t count, std::int64_t bins,
                                                         float* distances) {
  for (std::int64_t s = 0; s < 4; ++s) {
    const float* side = rows + static_cast<std::size_t>(s * bins) * row;
    for (std::size_t j = 0; j < count; j += 16) {
      __m512 total = _mm512_setzero_ps();
      for (std::int64_t k = 0; k < bins; ++k) {
        total = _mm512_add_ps(total, _mm512_loadu_ps(side + static_cast<std::size_t>(k) * row + j));
      }
      __m512 sum = _mm512_setzero_ps();
      for (std::int64_t k = 0; k < bins; ++k) {
        const __m512 p =
            _mm512_div_ps(_mm512_loadu_ps(side + static_cast<std::size_t>(k) * row + j), total);
        sum = _mm512_add_ps(sum, _mm512_mul_ps(_mm512_set1_ps(static_cast<float>(k)), p));
      }
      float sums[16];
      _mm512_storeu_ps(sums, sum);
      for (std::size_t lane = 0; lane < 16 && j + lane < count; ++lane) {
        distances[(j + lane) * 4 + static_cast<std::size_t>(s)] = sums[lane];
      }
    }
  }
}
#endif

// The widest form of lane_differences this processor runs; `width` is a
// multiple of 16.
void block_differences(float* rows, std::size_t row, std::size_t width, std::int64_t bins,
                       [[maybe_unused]] fw::exp_lanes lanes) {
#if defined(QUELT_FRAMEWORK_EXP_AVX512)
  if (lanes == fw::exp_lanes::avx512) {
    lane_differences_avx512(rows, row, width, bins);
    return;
  }
#endif
  lane_differences(rows, row, width, bins);
}

// The widest form of lane_sums this processor runs; lanes up to `count`
// rounded up to 16 are read.
void block_sums(const float* rows, std::size_t row, std::size_t count, std::int64_t bins,
                float* distances, [[maybe_unused]] fw::exp_lanes lanes) {
#if defined(QUELT_FRAMEWORK_EXP_AVX512)
  if (lanes == fw::exp_lanes::avx512) {
    lane_sums_avx512(rows, row, count, bins, distances);
    return;
  }
#endif
  lane_sums(rows, row, count, bins, distances);
}

// Raw hits scored together (score_raw_hits).
constexpr std::size_t raw_run = 256;

// Cells whose box values are held at once: their buffer stays in the first
// level cache, however many cells pass.
constexpr std::size_t block_cells = 128;

bool coded(std::int32_t type) {
  return type == QUELT_ELEMENT_INT8 || type == QUELT_ELEMENT_UINT8;
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
  const fw::exp_lanes lanes = fw::widest_exp_lanes();
  std::size_t scored = 0;  // the hits before it are scored and pass
  std::uint32_t offset = 0;
  bool bucket = false;  // whether some level was walked class by class
  for (std::int64_t l = 0; l < levels.level_count; ++l) {
    const quelt_level& level = levels.levels[l];
    const grid_reader scores(level.scores);
    const std::int32_t cut = rank_cut_for(scores.format, logits_, threshold);
    const auto width = static_cast<std::uint32_t>(level.width);
    // A value the screen lets through, cell `cell` (y x width + x) of the
    // level and element `value`, is held raw and scored with the next run of
    // them (score_raw_hits).
    const auto hold = [&](std::uint32_t cell, std::uint32_t k, const unsigned char* value) {
      hit& h = spare_.emplace_back();
      h.candidate = offset + cell;
      h.class_index = k;
      h.score = fw::element_value(scores.format, value);
      h.objectness = 1.0f;
      if (spare_.size() - scored == raw_run) {
        scored = score_raw_hits(scored, threshold, lanes);
      }
    };
    const auto keep = [&](std::int64_t y, std::int64_t x, std::uint32_t k) {
      hold(static_cast<std::uint32_t>(y) * width + static_cast<std::uint32_t>(x), k,
           scores.address(b, y, x, k));
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
          // The run's element `at` is cell `at` of the level.
          const unsigned char* first = scores.address(b, 0, 0, k);
          for_each_element_passing(scores.format, first,
                                   static_cast<std::uint64_t>(level.height * level.width), 1, cut,
                                   passes, [&](std::uint64_t at) {
                                     hold(static_cast<std::uint32_t>(at), k,
                                          first + static_cast<std::int64_t>(at) * scores.bytes);
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
  score_raw_hits(scored, threshold, lanes);
  if (!bucket) {
    hits_.swap(spare_);
    return;
  }
  hits_in_candidate_order();
}

// Scores the hits of spare_ from `from` on (at most raw_run, holding raw
// values): their activated values, the logistics of a run computed
// together; the ones above `threshold` stay, in their order. Returns the
// new end.
std::size_t decoder::score_raw_hits(std::size_t from, float threshold, fw::exp_lanes lanes) {
  float values[raw_run];
  const std::size_t n = spare_.size() - from;
  for (std::size_t i = 0; i < n; ++i) {
    values[i] = spare_[from + i].score;
  }
  if (logits_) {
    fw::logistic_n(values, n, lanes);
  }
  std::size_t end = from;
  for (std::size_t i = 0; i < n; ++i) {
    if (values[i] > threshold) {
      spare_[end] = spare_[from + i];
      spare_[end].score = values[i];
      ++end;
    }
  }
  spare_.resize(end);
  return end;
}

// The box of every hit's cell: anchor point -/+ the distance of each side
// times the stride, the distance the expectation of the side's softmax over
// its bins (max subtracted first, sums in bin order), or the value itself
// with one bin. The cells' values are read a block of cells at a time,
// channel by channel where channels lie far apart (NCHW), so each channel's
// cells are read in address order rather than one cell's 4 x bins values
// from as many planes. They are stored one row per channel with the block's
// cells as lanes: each (cell, side) chain (exponentials, sums, expectation)
// then runs in a lane of its own, in its own fixed order. 8-bit maps keep
// their codes: a side's exponentials exp(v_k - max) depend only on the codes
// of v_k and of the max (the values never decrease with the code, so the
// max is the value of the top code; where -0 and +0 tie for it, only the
// sign of a zero difference changes, and exp gives 1 for both), so they
// come from code_exps_, each computed once per call.
void decoder::level_boxes(std::int64_t b, const quelt_levels& levels) {
  candidate_boxes_.resize(hits_.size());
  const fw::exp_lanes lanes = fw::widest_exp_lanes();
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
    cell_rows_.clear();
    cell_at_.clear();
    const auto columns = static_cast<std::uint32_t>(level.width);
    std::size_t last = i;
    for (; last < hits_.size() && hits_[last].candidate < end; ++last) {
      const std::uint32_t cell = hits_[last].candidate - offset;
      if (cells_.empty() || cells_.back() != cell) {
        const std::uint32_t y = cell / columns;
        cells_.push_back(cell);
        cell_rows_.push_back(y);
        cell_at_.push_back(static_cast<std::int64_t>(y) * level.boxes.row_stride +
                           static_cast<std::int64_t>(cell - y * columns) *
                               level.boxes.column_stride);
      }
    }
    // The kept exponentials pay once a level's cells look up more of them
    // than the 65,536 pairs there are; below that most lookups would miss,
    // and the codes go through the float softmax (the same bits either way).
    const bool by_code =
        bins > 1 && coded(boxes.format.type) && cells_.size() * channels >= std::size_t{1} << 17;
    if (coded(boxes.format.type)) {
      use_code_format(boxes.format);
    }
    if (by_code) {
      codes_.resize(block_cells * channels);
    }
    // Room for what a packed row spills past the last row.
    bins_.resize(block_cells * channels + 16);
    distances_.resize(cells_.size() * 4);
    const bool planes =
        magnitude(level.boxes.channel_stride) > magnitude(level.boxes.column_stride);
    // Offsets that grow with the cell, one element apart along a row, in
    // float32 or 8-bit planes.
    [[maybe_unused]] const bool packable =
        (boxes.format.type == QUELT_ELEMENT_FLOAT32 || coded(boxes.format.type)) &&
        level.boxes.column_stride == 1 && level.boxes.row_stride >= level.width;
    // Int8 codes are stored plus 128, so that they order as their values.
    const unsigned char flip = boxes.format.type == QUELT_ELEMENT_INT8 ? 0x80 : 0;
    float* rows = bins_.data();
    for (std::size_t first = 0; first < cells_.size(); first += block_cells) {
      const std::size_t count = std::min(block_cells, cells_.size() - first);
      float* distances = distances_.data() + first * 4;
      // Lanes past the block's cells hold zeros (or what a packed row
      // spilled): they are reduced with the others and never read.
      const std::size_t width = (count + 15) & ~std::size_t{15};
      const auto clear_tails = [&]() {
        if (count < block_cells) {
          for (std::size_t c = 0; c < channels; ++c) {
            std::fill(rows + c * block_cells + count, rows + c * block_cells + width, 0.0f);
          }
        }
      };
      // Planes with contiguous rows, where the block's cells are dense
      // enough that a chunk of 16 elements holds two or more on average, are
      // packed a chunk at a time (8-bit codes as their values, then the float
      // softmax: the same bits as the kept exponentials); the others are read
      // cell by cell.
      const auto pack = [&]() {
#if defined(QUELT_FRAMEWORK_EXP_AVX512)
        if (lanes != fw::exp_lanes::avx512 || !planes || !packable || !pack_lanes_available()) {
          return false;
        }
        const std::int64_t low = cell_at_[first];
        const auto chunks = static_cast<std::size_t>((cell_at_[first + count - 1] - low) / 16 + 1);
        if (2 * chunks > count) {
          return false;
        }
        std::uint16_t masks[block_cells] = {};
        for (std::size_t j = first; j < first + count; ++j) {
          const auto at = static_cast<std::size_t>(cell_at_[j] - low);
          masks[at / 16] = static_cast<std::uint16_t>(masks[at / 16] | (1u << (at % 16)));
        }
        const unsigned char* base = boxes.address(b, 0, 0, 0) + low * boxes.bytes;
        const std::int64_t channel_bytes =
            level.boxes.channel_stride * static_cast<std::int64_t>(boxes.bytes);
        pack_rows_avx512(base, channel_bytes, channels, masks, chunks, boxes.format, rows,
                         block_cells);
        return true;
#else
        return false;
#endif
      };
      const bool packed = pack();
      if (by_code && !packed) {
        // Cell by cell: the 4 x bins bytes of a cell, a channel stride apart.
        const unsigned char* base = boxes.address(b, 0, 0, 0);
        const std::int64_t step = level.boxes.channel_stride;
        for (std::size_t j = first; j < first + count; ++j) {
          const unsigned char* p = base + cell_at_[j];
          unsigned char* code = codes_.data() + (j - first) * channels;
          std::int64_t c = 0;
          for (std::size_t side = 0; side < 4; ++side) {
            for (std::size_t k = 0; k < static_cast<std::size_t>(bins); ++k, ++c) {
              code[4 * k + side] = static_cast<unsigned char>(p[c * step] ^ flip);
            }
          }
        }
        for (std::size_t j = 0; j < count; ++j) {
          const unsigned char* code = codes_.data() + j * channels;
          if (bins == 16) {
            code_expectations<16>(code, bins, rows + j, block_cells, lanes);
          } else {
            code_expectations<0>(code, bins, rows + j, block_cells, lanes);
          }
        }
        clear_tails();
        block_sums(rows, block_cells, count, bins, distances, lanes);
        continue;
      }
      // Channel c of block cell j goes to row c, lane j.
      const auto read_channel = [&](std::int64_t c, std::size_t from, std::size_t to) {
        const unsigned char* plane = boxes.address(b, 0, 0, c);
        float* value = rows + static_cast<std::size_t>(c) * block_cells - first;
        if (boxes.format.type == QUELT_ELEMENT_FLOAT32) {
          for (std::size_t j = from; j < to; ++j) {
            std::memcpy(value + j, plane + cell_at_[j] * 4, sizeof(float));
          }
          return;
        }
        if (coded(boxes.format.type)) {
          for (std::size_t j = from; j < to; ++j) {
            value[j] = code_exps_.values[plane[cell_at_[j]] ^ flip];
          }
          return;
        }
        for (std::size_t j = from; j < to; ++j) {
          value[j] = fw::element_value(boxes.format, plane + cell_at_[j] * boxes.bytes);
        }
      };
      if (!packed && planes) {
        for (std::size_t c = 0; c < channels; ++c) {
          read_channel(static_cast<std::int64_t>(c), first, first + count);
        }
      } else if (!planes) {
        for (std::size_t j = first; j < first + count; ++j) {
          for (std::size_t c = 0; c < channels; ++c) {
            read_channel(static_cast<std::int64_t>(c), j, j + 1);
          }
        }
      }
      if (bins == 1) {
        for (std::size_t j = 0; j < count; ++j) {
          for (std::size_t side = 0; side < 4; ++side) {
            distances[j * 4 + side] = rows[side * block_cells + j];
          }
        }
        continue;
      }
      clear_tails();
      block_differences(rows, block_cells, width, bins, lanes);
      if (count == block_cells) {
        fw::rounded_exp_n(rows, rows, channels * block_cells, lanes);
      } else {
        for (std::size_t c = 0; c < channels; ++c) {
          fw::rounded_exp_n(rows + c * block_cells, rows + c * block_cells, width, lanes);
        }
      }
      block_sums(rows, block_cells, count, bins, distances, lanes);
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
      const float* distance = distances_.data() + j * 4;
      const auto x = static_cast<float>(cells_[j] - cell_rows_[j] * columns);
      const auto y = static_cast<float>(cell_rows_[j]);
      const float ax = (x + 0.5f) * stride;
      const float ay = (y + 0.5f) * stride;
      candidate_boxes_[i] =
          fw::make_corner_box(ax - distance[0] * stride, ay - distance[1] * stride,
                              ax + distance[2] * stride, ay + distance[3] * stride);
    }
  }
}

// Makes code_exps_ describe `format`: the value of every code, no row yet.
// The rows stay valid from level to level and image to image while the
// format stays the same.
void decoder::use_code_format(const fw::element_format& format) {
  code_exponentials& t = code_exps_;
  if (t.format.type == format.type && t.format.zero_point == format.zero_point &&
      std::memcmp(&t.format.scale, &format.scale, sizeof(float)) == 0) {
    return;
  }
  t.format = format;
  // element_value of the integer each code stands for.
  const std::int32_t lowest = format.type == QUELT_ELEMENT_INT8 ? -128 : 0;
  for (std::int32_t u = 0; u < 256; ++u) {
    t.values[u] = fw::quantized_value(lowest + u, format.zero_point, format.scale);
    t.slot[u] = -1;
  }
  t.rows.clear();
}

// The exponentials exp(v_k - max) of one cell of 8-bit codes (bin, side),
// written to its lane of a block's rows (channel side x bins + k at
// lane[channel x stride]) for lane_sums; `Bins` is `bins` when known at
// compile time (16, the common case), 0 otherwise. Each exponential is
// looked up in the row of its side's top code; the ones not computed yet
// (the row holds -1 there, which no exponential is) are computed together
// and kept.
template <std::int64_t Bins>
void decoder::code_expectations(const unsigned char* codes, std::int64_t bins, float* lane,
                                std::size_t stride, fw::exp_lanes lanes) {
  const std::int64_t n = Bins != 0 ? Bins : bins;
  code_exponentials& t = code_exps_;
  std::uint32_t top[4];
  std::int64_t k = 0;
#if defined(__SSE2__)
  // Four bins at a time, then the four bins of the 16 bytes folded.
  if (n >= 4) {
    __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
    for (k = 4; k + 4 <= n; k += 4) {
      high = _mm_max_epu8(high, _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + 4 * k)));
    }
    high = _mm_max_epu8(high, _mm_srli_si128(high, 8));
    high = _mm_max_epu8(high, _mm_srli_si128(high, 4));
    const auto h = static_cast<std::uint32_t>(_mm_cvtsi128_si32(high));
    for (int side = 0; side < 4; ++side) {
      top[side] = (h >> (8 * side)) & 255;
    }
  }
#endif
  if (k == 0) {
    for (int side = 0; side < 4; ++side) {
      top[side] = codes[side];
    }
    k = 1;
  }
  for (; k < n; ++k) {
    for (int side = 0; side < 4; ++side) {
      top[side] = std::max(top[side], static_cast<std::uint32_t>(codes[4 * k + side]));
    }
  }
  for (int side = 0; side < 4; ++side) {
    if (t.slot[top[side]] < 0) {
      t.slot[top[side]] = static_cast<std::int32_t>(t.rows.size() / 256);
      t.rows.resize(t.rows.size() + 256, -1.0f);
    }
  }
  float* row[4];
  for (int side = 0; side < 4; ++side) {
    row[side] = t.rows.data() + static_cast<std::size_t>(t.slot[top[side]]) * 256;
  }
  // Where the exponential of code position at = 4k + side goes: channel
  // side x bins + k of the lane.
  const auto out = [&](std::uint32_t at) -> float& {
    return lane[(static_cast<std::size_t>(at % 4) * static_cast<std::size_t>(n) + at / 4) * stride];
  };
  // The positions (4k + side) whose exponential is missing.
  std::uint32_t missing[4 * 64];
  std::uint32_t* wanted = n <= 64 ? missing : nullptr;
  std::size_t count = 0;
  for (k = 0; k < n; ++k) {
    for (int side = 0; side < 4; ++side) {
      const auto at = static_cast<std::uint32_t>(4 * k + side);
      const float known = row[side][codes[at]];
      out(at) = known;
      if (wanted != nullptr) {
        wanted[count] = at;
        count += known < 0.0f ? 1 : 0;
      } else if (known < 0.0f) {
        // Beyond 64 bins: one at a time.
        const std::uint32_t u = codes[at];
        out(at) = row[side][u] = fw::rounded_exp(t.values[u] - t.values[top[side]]);
      }
    }
  }
  // The same subtraction and exponential as for float values.
  float d[4 * 64];
  for (std::size_t m = 0; m < count; ++m) {
    const std::uint32_t at = missing[m];
    d[m] = t.values[codes[at]] - t.values[top[at % 4]];
  }
  fw::rounded_exp_n(d, d, count, lanes);
  for (std::size_t m = 0; m < count; ++m) {
    const std::uint32_t at = missing[m];
    out(at) = row[at % 4][codes[at]] = d[m];
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
  if (layout.candidates > 0) {
    decoder images(layout, options);
    for (std::int64_t b = 0; b < levels.batch; ++b) {
      images.publish(b, images.image_levels(b, levels), result);
    }
  }
  add_extras(levels, result);
  return result;
}

}  // namespace quelt::heads
