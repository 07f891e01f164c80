#include "heads_decode.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "../framework/box.hpp"
#include "../framework/class_scores.hpp"
#include "../framework/exception.hpp"
#include "../framework/logistic.hpp"
#include "../framework/ranking.hpp"
#include "../framework/screen.hpp"
#include "../framework/string_builder.hpp"
#include "../framework/suppression.hpp"

namespace quelt::heads {

namespace fw = sorvanta::framework;
using fw::_bs;
using fw::reject;

namespace {

// ---------------------------------------------------------------- checks --

constexpr std::uint64_t max_float_offset =
    static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(float);
constexpr std::uint64_t max_records = std::numeric_limits<std::uint32_t>::max();

std::uint64_t magnitude(std::int64_t stride) {
  return stride < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(stride)
                    : static_cast<std::uint64_t>(stride);
}

// total += (count - 1) x |stride|, false when it leaves the addressable range.
bool add_extent(std::uint64_t count, std::int64_t stride, std::uint64_t& total) {
  const std::uint64_t steps = count - 1;
  const std::uint64_t step = magnitude(stride);
  if (step != 0 && steps > (max_float_offset - total) / step) {
    return false;
  }
  total += steps * step;
  return true;
}

void validate_view(const char* name, const quelt_view& view, std::uint64_t images,
                   std::uint64_t candidates, std::uint64_t components) {
  if (images == 0 || candidates == 0) {
    return;  // nothing of the view is read
  }
  if (view.data == nullptr) {
    reject(_bs("quelt_decode: layout.", name, ".data is null, but ", images, " x ", candidates,
               " candidates are to be read"));
  }
  std::uint64_t extent = 0;
  if (!add_extent(images, view.image_stride, extent) ||
      !add_extent(candidates, view.candidate_stride, extent) ||
      !add_extent(components, view.component_stride, extent)) {
    reject(_bs("quelt_decode: layout.", name, " strides (", view.image_stride, ", ",
               view.candidate_stride, ", ", view.component_stride, ") over ", images, " x ",
               candidates, " x ", components, " values reach beyond the addressable range"));
  }
}

void validate_code(const char* name, std::int32_t value, std::int32_t last) {
  if (value < 0 || value > last) {
    reject(_bs("quelt_decode: ", name, " = ", value, " is not a known value (0 to ", last, ")"));
  }
}

void validate_thresholds(const char* name, const float* values, std::uint64_t images) {
  if (images == 0) {
    return;
  }
  if (values == nullptr) {
    reject(_bs("quelt_decode: options.", name, " is null, but the batch has ", images, " images"));
  }
  for (std::uint64_t i = 0; i < images; ++i) {
    if (std::isnan(values[i])) {
      reject(_bs("quelt_decode: options.", name, "[", i, "] is NaN"));
    }
  }
}

// ------------------------------------------------------------- decoding --

// A class of a candidate whose score passed.
struct hit {
  std::uint32_t candidate;
  std::uint32_t class_index;
  float score;
  float objectness;
};

// Calls visit(i) for every i < count with passes(first[i * stride]), in
// increasing order. Positive strides of moderate size go through the shared
// screen, whose prefetch of a row's rest only pays for rows of that size.
template <class Passes, class Visit>
void for_each_passing(const float* first, std::uint64_t count, std::int64_t stride, Passes&& passes,
                      Visit&& visit) {
  if (stride > 0 && stride <= 4096) {
    fw::screen_rows(first, count, static_cast<std::size_t>(stride), passes, visit);
    return;
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    if (passes(first[static_cast<std::int64_t>(i) * stride])) {
      visit(i);
    }
  }
}

// for_each_passing over contiguous values, sixteen at a time: in the column
// layout this pass is the whole cost of a call, and most groups hold no value
// that passes. `logits` screens with "not below the cut", which lets NaN
// through to the exact test.
template <bool logits, class Visit>
void for_each_passing_contiguous(const float* first, std::uint64_t count, float limit,
                                 Visit&& visit) {
  std::uint64_t i = 0;
#if defined(__SSE2__)
  const __m128 edge = _mm_set1_ps(limit);
  const auto test = [&](std::uint64_t at) {
    const __m128 v = _mm_loadu_ps(first + at);
    return logits ? _mm_cmpnlt_ps(v, edge) : _mm_cmpgt_ps(v, edge);
  };
  for (; i + 16 <= count; i += 16) {
    const __m128 m0 = test(i);
    const __m128 m1 = test(i + 4);
    const __m128 m2 = test(i + 8);
    const __m128 m3 = test(i + 12);
    if (_mm_movemask_ps(_mm_or_ps(_mm_or_ps(m0, m1), _mm_or_ps(m2, m3))) == 0) {
      continue;
    }
    auto open = static_cast<unsigned>(_mm_movemask_ps(m0)) |
                (static_cast<unsigned>(_mm_movemask_ps(m1)) << 4) |
                (static_cast<unsigned>(_mm_movemask_ps(m2)) << 8) |
                (static_cast<unsigned>(_mm_movemask_ps(m3)) << 12);
    while (open != 0) {
      visit(i + static_cast<std::uint64_t>(__builtin_ctz(open)));
      open &= open - 1;
    }
  }
#endif
  for (; i < count; ++i) {
    if (logits ? !(first[i] < limit) : first[i] > limit) {
      visit(i);
    }
  }
}

// best[i], best_class[i] = scores[i], k where scores[i] > best[i], for class
// k and then, when `next` is given, class k_next: the best-class pass without
// a branch, for classes where many scores pass and the screen would
// mispredict. Two classes share one load and store of the running best.
// Returns how many scores of the last class exceed `threshold`.
std::uint64_t raise_best(const float* scores, const float* next, std::uint64_t count,
                         std::int32_t k, std::int32_t k_next, float threshold, float* best,
                         std::int32_t* best_class) {
  std::uint64_t i = 0;
  std::uint64_t passed = 0;
  const float* last = next != nullptr ? next : scores;
#if defined(__SSE2__)
  const __m128i klass = _mm_set1_epi32(k);
  const __m128i next_klass = _mm_set1_epi32(k_next);
  const __m128 limit = _mm_set1_ps(threshold);
  __m128i counted = _mm_setzero_si128();
  // maxps(v, b) is "v > b ? v : b", NaN included: exactly the update rule.
  const auto raise = [](__m128 v, __m128& b, __m128i& c, __m128i klass_of_v) {
    const __m128i higher = _mm_castps_si128(_mm_cmpgt_ps(v, b));
    b = _mm_max_ps(v, b);
    c = _mm_or_si128(_mm_and_si128(higher, klass_of_v), _mm_andnot_si128(higher, c));
  };
  for (; i + 4 <= count; i += 4) {
    __m128 b = _mm_loadu_ps(best + i);
    auto* c_at = reinterpret_cast<__m128i*>(best_class + i);
    __m128i c = _mm_loadu_si128(c_at);
    raise(_mm_loadu_ps(scores + i), b, c, klass);
    if (next != nullptr) {
      raise(_mm_loadu_ps(next + i), b, c, next_klass);
    }
    // A true lane is -1: subtracting counts it.
    counted = _mm_sub_epi32(counted, _mm_castps_si128(_mm_cmpgt_ps(_mm_loadu_ps(last + i), limit)));
    _mm_storeu_ps(best + i, b);
    _mm_storeu_si128(c_at, c);
  }
  std::uint32_t lanes[4];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), counted);
  passed = std::uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
#endif
  for (; i < count; ++i) {
    if (scores[i] > best[i]) {
      best[i] = scores[i];
      best_class[i] = k;
    }
    if (next != nullptr && next[i] > best[i]) {
      best[i] = next[i];
      best_class[i] = k_next;
    }
    passed += last[i] > threshold ? 1 : 0;
  }
  return passed;
}

const float* at(const quelt_view& view, std::int64_t image, std::int64_t candidate,
                std::int64_t component) {
  return view.data + image * view.image_stride + candidate * view.candidate_stride +
         component * view.component_stride;
}

fw::corner_box box_of(const quelt_layout& layout, std::int64_t image, std::int64_t candidate) {
  const float* v = at(layout.boxes, image, candidate, 0);
  const std::int64_t s = layout.boxes.component_stride;
  if (layout.box_coding == QUELT_BOX_CENTRE_SIZE) {
    return fw::centre_to_corners(v[0], v[s], v[2 * s], v[3 * s]);
  }
  return fw::make_corner_box(v[0], v[s], v[2 * s], v[3 * s]);
}

class decoder {
 public:
  decoder(const quelt_layout& layout, const quelt_decode_options& options)
      : layout_(layout), options_(options), logits_(layout.score_coding == QUELT_SCORES_LOGITS) {
    const std::int32_t classes = layout.candidate_kind == QUELT_CANDIDATES_RAW ? layout.classes : 0;
    if (options.classes_allowed != nullptr) {
      for (std::int64_t i = 0; i < options.classes_allowed_count; ++i) {
        const std::int32_t k = options.classes_allowed[i];
        allowed_.push_back(k);
        if (k >= 0 && k < classes) {
          walk_.push_back(static_cast<std::uint32_t>(k));
        }
      }
      std::sort(allowed_.begin(), allowed_.end());
      std::sort(walk_.begin(), walk_.end());
      walk_.erase(std::unique(walk_.begin(), walk_.end()), walk_.end());
    } else {
      for (std::int32_t k = 0; k < classes; ++k) {
        walk_.push_back(static_cast<std::uint32_t>(k));
      }
    }
    allowed_mask_.assign(static_cast<std::size_t>(classes), 0);
    for (std::uint32_t k : walk_) {
      allowed_mask_[k] = 1;
    }
  }

  std::vector<object_detection> image(std::int64_t b) {
    hits_.clear();
    const float threshold = options_.score_thresholds[b];
    if (layout_.candidate_kind == QUELT_CANDIDATES_END_TO_END) {
      gather_end_to_end(b, threshold);
    } else if (layout_.objectness.data != nullptr) {
      gather_with_objectness(b, threshold);
    } else if (magnitude(layout_.scores.component_stride) >
               magnitude(layout_.scores.candidate_stride)) {
      gather_class_major(b, threshold);
    } else {
      gather_candidate_major(b, threshold);
    }
    if (layout_.candidate_kind == QUELT_CANDIDATES_RAW && options_.multi_label == 0) {
      keep_best_classes();
    }
    return finish(b);
  }

 private:
  float activate(float value) const { return logits_ ? fw::logistic(value) : value; }

  // Screens raw values: with logits, the cut lets through every value whose
  // logistic may pass (and NaN), and the exact test follows.
  struct screen {
    bool logits;
    float threshold;
    float cut;
    bool operator()(float value) const { return logits ? !(value < cut) : value > threshold; }
  };

  screen make_screen(float threshold) const {
    return screen{logits_, threshold, logits_ ? fw::raw_logistic_cut(threshold) : 0.0f};
  }

  void gather_end_to_end(std::int64_t b, float threshold) {
    const bool has_objectness = layout_.objectness.data != nullptr;
    for (std::int64_t n = 0; n < layout_.candidates; ++n) {
      const float objectness = has_objectness ? activate(*at(layout_.objectness, b, n, 0)) : 1.0f;
      const float* s = at(layout_.scores, b, n, 0);
      const float score = objectness * activate(s[0]);
      if (!(score > threshold)) {
        continue;
      }
      const float value = s[layout_.scores.component_stride];
      // Whole numbers in [0, 2^31): 2^31 itself is the first float beyond.
      if (!(value >= 0.0f && value < 2147483648.0f) || std::floor(value) != value) {
        continue;
      }
      const auto k = static_cast<std::int32_t>(value);
      if (layout_.classes > 0 && k >= layout_.classes) {
        continue;
      }
      if (options_.classes_allowed != nullptr &&
          !std::binary_search(allowed_.begin(), allowed_.end(), k)) {
        continue;
      }
      hits_.push_back(
          hit{static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(k), score, objectness});
    }
  }

  void gather_with_objectness(std::int64_t b, float threshold) {
    const screen passes = make_screen(threshold);
    if (logits_ && std::isnan(passes.cut)) {
      return;  // no logistic exceeds the threshold
    }
    const quelt_view& scores = layout_.scores;
    const std::int32_t classes = layout_.classes;
    const bool contiguous = scores.component_stride == 1;
    probabilities_.resize(static_cast<std::size_t>(classes));
    held_.resize(static_cast<std::size_t>(classes));
    for_each_passing(
        at(layout_.objectness, b, 0, 0), static_cast<std::uint64_t>(layout_.candidates),
        layout_.objectness.candidate_stride, passes, [&](std::uint64_t n) {
          const auto candidate = static_cast<std::int64_t>(n);
          const float objectness = activate(*at(layout_.objectness, b, candidate, 0));
          if (!(objectness > threshold)) {
            return;
          }
          const float* s = at(scores, b, candidate, 0);
          if (contiguous && (logits_ || threshold >= 0.0f)) {
            // A passing product is then never 0, so the shared routines list
            // every passing class.
            const std::size_t count =
                logits_ ? fw::threshold_logistic_products(s, probabilities_.data(), classes,
                                                          objectness, threshold, held_.data())
                        : fw::threshold_products(s, probabilities_.data(), classes, objectness,
                                                 threshold, held_.data());
            for (std::size_t h = 0; h < count; ++h) {
              const std::uint32_t k = held_[h];
              if (allowed_mask_[k] != 0) {
                hits_.push_back(
                    hit{static_cast<std::uint32_t>(n), k, probabilities_[k], objectness});
              }
            }
            return;
          }
          for (std::uint32_t k : walk_) {
            const float score = objectness * activate(s[k * scores.component_stride]);
            if (score > threshold) {
              hits_.push_back(hit{static_cast<std::uint32_t>(n), k, score, objectness});
            }
          }
        });
  }

  // Scores without objectness, one class after the other along the
  // candidates: the layout where candidates sit next to each other.
  void gather_class_major(std::int64_t b, float threshold) {
    const screen passes = make_screen(threshold);
    if (logits_ && std::isnan(passes.cut)) {
      return;
    }
    const quelt_view& scores = layout_.scores;
    const auto candidates = static_cast<std::uint64_t>(layout_.candidates);
    if (options_.multi_label == 0) {
      // Each candidate's best class so far; classes come in ascending order,
      // so a later class takes over only with a strictly larger score.
      // Starting from the threshold, "above the best so far" is "passes and
      // beats the earlier classes".
      best_class_.assign(candidates, -1);
      best_score_.assign(candidates, threshold);
      hits_.reserve(candidates);
      const std::int64_t step = scores.candidate_stride;
      // Classes go without the screen's branches when the two classes before
      // had more than about one passing score in 64 each: past that the
      // branches cost more than a plain pass. Two in a row tell scores dense
      // everywhere (a low threshold) from one class crowded by its objects.
      // Probabilities only: with logits the logistic decides ties.
      const std::uint64_t dense_from = candidates / 64;
      std::uint64_t passed = 0;
      std::uint64_t passed_before = 0;
      for (std::size_t w = 0; w < walk_.size(); ++w) {
        const std::uint32_t k = walk_[w];
        const float* first = at(scores, b, 0, k);
        if (step == 1 && !logits_ && passed > dense_from && passed_before > dense_from) {
          const bool pair = w + 1 < walk_.size();
          const std::uint32_t k_next = pair ? walk_[w + 1] : k;
          passed = raise_best(first, pair ? at(scores, b, 0, k_next) : nullptr, candidates,
                              static_cast<std::int32_t>(k), static_cast<std::int32_t>(k_next),
                              threshold, best_score_.data(), best_class_.data());
          w += pair ? 1 : 0;
          continue;
        }
        passed_before = passed;
        passed = 0;
        auto visit = [&](std::uint64_t n) {
          const float score = activate(first[static_cast<std::int64_t>(n) * step]);
          ++passed;
          if (score > best_score_[n]) {
            best_class_[n] = static_cast<std::int32_t>(k);
            best_score_[n] = score;
          }
        };
        if (step != 1) {
          for_each_passing(first, candidates, step, passes, visit);
        } else if (logits_) {
          for_each_passing_contiguous<true>(first, candidates, passes.cut, visit);
        } else {
          for_each_passing_contiguous<false>(first, candidates, threshold, visit);
        }
      }
      hits_.resize(candidates);
      std::size_t found = 0;
      for (std::uint64_t n = 0; n < candidates; ++n) {
        hits_[found] = hit{static_cast<std::uint32_t>(n),
                           static_cast<std::uint32_t>(best_class_[n]), best_score_[n], 1.0f};
        found += best_class_[n] >= 0 ? 1 : 0;
      }
      hits_.resize(found);
      return;
    }
    spare_.clear();
    for (std::uint32_t k : walk_) {
      const float* first = at(scores, b, 0, k);
      const std::int64_t step = scores.candidate_stride;
      auto visit = [&](std::uint64_t n) {
        const float score = activate(first[static_cast<std::int64_t>(n) * step]);
        if (score > threshold) {
          spare_.push_back(hit{static_cast<std::uint32_t>(n), k, score, 1.0f});
        }
      };
      if (step != 1) {
        for_each_passing(first, candidates, step, passes, visit);
      } else if (logits_) {
        for_each_passing_contiguous<true>(first, candidates, passes.cut, visit);
      } else {
        for_each_passing_contiguous<false>(first, candidates, threshold, visit);
      }
    }
    // Candidate order, classes ascending within a candidate (a stable
    // counting sort of the class-by-class hits).
    counts_.assign(candidates + 1, 0);
    for (const hit& h : spare_) {
      ++counts_[h.candidate + 1];
    }
    for (std::uint64_t n = 0; n < candidates; ++n) {
      counts_[n + 1] += counts_[n];
    }
    hits_.resize(spare_.size());
    for (const hit& h : spare_) {
      hits_[counts_[h.candidate]++] = h;
    }
  }

  void gather_candidate_major(std::int64_t b, float threshold) {
    const screen passes = make_screen(threshold);
    if (logits_ && std::isnan(passes.cut)) {
      return;
    }
    const quelt_view& scores = layout_.scores;
    const bool every_class = walk_.size() == static_cast<std::size_t>(layout_.classes);
    for (std::int64_t n = 0; n < layout_.candidates; ++n) {
      const float* s = at(scores, b, n, 0);
      auto visit = [&](std::uint64_t k) {
        const float score = activate(s[static_cast<std::int64_t>(k) * scores.component_stride]);
        if (score > threshold) {
          hits_.push_back(
              hit{static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(k), score, 1.0f});
        }
      };
      if (every_class) {
        for_each_passing(s, static_cast<std::uint64_t>(layout_.classes), scores.component_stride,
                         passes, visit);
      } else {
        for (std::uint32_t k : walk_) {
          if (passes(s[static_cast<std::int64_t>(k) * scores.component_stride])) {
            visit(k);
          }
        }
      }
    }
  }

  // Of each candidate's passing classes (in class order), the first of
  // largest score.
  void keep_best_classes() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < hits_.size();) {
      std::size_t best = i;
      std::size_t j = i + 1;
      for (; j < hits_.size() && hits_[j].candidate == hits_[i].candidate; ++j) {
        if (hits_[j].score > hits_[best].score) {
          best = j;
        }
      }
      hits_[kept++] = hits_[best];
      i = j;
    }
    hits_.resize(kept);
  }

  std::vector<object_detection> finish(std::int64_t b) {
    const std::size_t count = hits_.size();
    keys_.resize(count);
    boxes_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      keys_[i] = hits_[i].score;
    }
    fw::rank_descending(keys_, order_, scratch_);
    // Read in candidate order, which walks the tensor forwards, then ranked.
    candidate_boxes_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      candidate_boxes_[i] = box_of(layout_, b, hits_[i].candidate);
    }
    for (std::size_t i = 0; i < count; ++i) {
      boxes_[i] = candidate_boxes_[order_[i]];
    }
    const std::size_t cap =
        options_.max_detections > 0 ? static_cast<std::size_t>(options_.max_detections) : count;
    // Whether a record survives depends only on the records ranked above it,
    // so with a cap the suppression runs on a prefix of the ranking, doubled
    // until it keeps `cap` records or holds them all.
    std::size_t prefix = cap < count ? std::max<std::size_t>(2 * cap, 64) : count;
    std::size_t kept = 0;
    for (;;) {
      prefix = std::min(prefix, count);
      removed_.assign(prefix, 0);
      if (layout_.candidate_kind == QUELT_CANDIDATES_RAW && prefix > 1) {
        suppress(options_.iou_thresholds[b], prefix);
      }
      kept = 0;
      for (std::size_t i = 0; i < prefix; ++i) {
        kept += removed_[i] == 0 ? 1 : 0;
      }
      if (kept >= cap || prefix == count) {
        break;
      }
      prefix *= 2;
    }
    std::vector<object_detection> records;
    records.reserve(std::min(kept, cap));
    for (std::size_t i = 0; i < prefix && records.size() < cap; ++i) {
      if (removed_[i] == 0) {
        records.push_back(record(b, hits_[order_[i]], boxes_[i]));
      }
    }
    return records;
  }

  // Suppression among the first `count` records of the ranking; agnostic
  // suppression is the class-wise one with every record in one class.
  void suppress(float threshold, std::size_t count) {
    const bool agnostic = options_.agnostic != 0;
    members_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      members_[i] = fw::class_member{agnostic ? 0u : hits_[order_[i]].class_index,
                                     static_cast<std::uint32_t>(i)};
    }
    fw::suppress_by_class(
        members_, agnostic ? 1 : static_cast<std::size_t>(layout_.classes), threshold,
        fw::suppression_rule::above, nms_,
        [this](const fw::class_member& m) { return boxes_[m.item]; }, fw::keep_order{},
        [this](const fw::class_member& m) { removed_[m.item] = 1; });
  }

  object_detection record(std::int64_t b, const hit& h, const fw::corner_box& box) const {
    object_detection r{};
    if (options_.geometry == nullptr) {
      const auto width = static_cast<float>(options_.network_width);
      const auto height = static_cast<float>(options_.network_height);
      r.x_min = box.x_min / width;
      r.y_min = box.y_min / height;
      r.x_max = box.x_max / width;
      r.y_max = box.y_max / height;
    } else {
      const quelt_image_geometry& g = options_.geometry[b];
      r.x_min = to_original(box.x_min, g.pad_x, g.scale_x, g.original_width);
      r.y_min = to_original(box.y_min, g.pad_y, g.scale_y, g.original_height);
      r.x_max = to_original(box.x_max, g.pad_x, g.scale_x, g.original_width);
      r.y_max = to_original(box.y_max, g.pad_y, g.scale_y, g.original_height);
    }
    r.class_id = static_cast<std::int32_t>(h.class_index);
    r.objectness = h.objectness;
    r.probability = h.score;
    return r;
  }

  const quelt_layout& layout_;
  const quelt_decode_options& options_;
  const bool logits_;
  std::vector<std::int32_t> allowed_;  // the allow-list, sorted
  std::vector<std::uint32_t> walk_;    // allowed classes below `classes`, ascending
  std::vector<unsigned char> allowed_mask_;
  std::vector<hit> hits_;
  std::vector<hit> spare_;
  std::vector<std::uint64_t> counts_;
  std::vector<float> probabilities_;
  std::vector<std::uint32_t> held_;
  std::vector<float> keys_;
  std::vector<std::uint32_t> order_;
  std::vector<std::uint64_t> scratch_;
  std::vector<std::int32_t> best_class_;  // per candidate, -1 for none
  std::vector<float> best_score_;
  std::vector<fw::corner_box> candidate_boxes_;  // in candidate order
  std::vector<fw::corner_box> boxes_;            // in rank order
  std::vector<unsigned char> removed_;
  std::vector<fw::class_member> members_;
  fw::class_suppression_workspace nms_;
};

}  // namespace

void validate_geometry(const quelt_image_geometry* geometry, std::uint64_t images,
                       const char* name) {
  if (images == 0 || geometry == nullptr) {
    return;
  }
  for (std::uint64_t i = 0; i < images; ++i) {
    const quelt_image_geometry& g = geometry[i];
    const float values[] = {g.original_width, g.original_height, g.scale_x,
                            g.scale_y,        g.pad_x,           g.pad_y};
    const char* fields[] = {"original_width", "original_height", "scale_x",
                            "scale_y",        "pad_x",           "pad_y"};
    for (int f = 0; f < 6; ++f) {
      if (!std::isfinite(values[f])) {
        reject(_bs(name, "[", i, "].", fields[f], " = ", values[f], ": must be finite"));
      }
      if (f < 4 && !(values[f] > 0.0f)) {
        reject(_bs(name, "[", i, "].", fields[f], " = ", values[f], ": must be above 0"));
      }
    }
  }
}

void validate_decode_call(const quelt_layout* layout, const quelt_decode_options* options) {
  if (layout == nullptr) {
    reject("quelt_decode: layout is null");
  }
  if (options == nullptr) {
    reject("quelt_decode: options is null (quelt_decode_options_init fills the defaults)");
  }
  if (layout->struct_size != sizeof(quelt_layout)) {
    reject(_bs("quelt_decode: layout.struct_size = ", layout->struct_size,
               " is not a size this library knows (", sizeof(quelt_layout), ")"));
  }
  if (options->struct_size != sizeof(quelt_decode_options)) {
    reject(_bs("quelt_decode: options.struct_size = ", options->struct_size,
               " is not a size this library knows (", sizeof(quelt_decode_options), ")"));
  }
  validate_code("layout.box_coding", layout->box_coding, QUELT_BOX_CORNERS);
  validate_code("layout.score_coding", layout->score_coding, QUELT_SCORES_LOGITS);
  validate_code("layout.candidate_kind", layout->candidate_kind, QUELT_CANDIDATES_END_TO_END);
  validate_code("options.agnostic", options->agnostic, 1);
  validate_code("options.multi_label", options->multi_label, 1);
  if (layout->reserved != 0) {
    reject(_bs("quelt_decode: layout.reserved = ", layout->reserved, ": must be 0"));
  }
  if (layout->batch < 0) {
    reject(_bs("quelt_decode: layout.batch = ", layout->batch, ": must be 0 or more"));
  }
  if (layout->candidates < 0) {
    reject(_bs("quelt_decode: layout.candidates = ", layout->candidates, ": must be 0 or more"));
  }
  const bool raw = layout->candidate_kind == QUELT_CANDIDATES_RAW;
  if (raw && layout->classes < 1) {
    reject(_bs("quelt_decode: layout.classes = ", layout->classes,
               ": raw candidates need at least 1 class"));
  }
  if (!raw && layout->classes < 0) {
    reject(_bs("quelt_decode: layout.classes = ", layout->classes, ": must be 0 or more"));
  }
  if (options->network_width < 1 || options->network_height < 1) {
    reject(_bs("quelt_decode: options.network_width x network_height = ", options->network_width,
               " x ", options->network_height, ": both must be 1 or more"));
  }
  if (options->max_detections < 0) {
    reject(_bs("quelt_decode: options.max_detections = ", options->max_detections,
               ": must be 0 (no cap) or more"));
  }
  if (options->classes_allowed_count < 0) {
    reject(_bs("quelt_decode: options.classes_allowed_count = ", options->classes_allowed_count,
               ": must be 0 or more"));
  }
  if (options->classes_allowed == nullptr && options->classes_allowed_count > 0) {
    reject(_bs("quelt_decode: options.classes_allowed is null, but classes_allowed_count = ",
               options->classes_allowed_count));
  }
  const auto images = static_cast<std::uint64_t>(layout->batch);
  const auto candidates = static_cast<std::uint64_t>(layout->candidates);
  const std::uint64_t per_candidate =
      raw && options->multi_label != 0 ? static_cast<std::uint64_t>(layout->classes) : 1;
  if (candidates > max_records / per_candidate) {
    reject(_bs("quelt_decode: layout.candidates = ", candidates, " with ", per_candidate,
               " records each is more than one image can hold (", max_records, ")"));
  }
  validate_view("boxes", layout->boxes, images, candidates, 4);
  if (layout->objectness.data != nullptr) {
    validate_view("objectness", layout->objectness, images, candidates, 1);
  }
  validate_view("scores", layout->scores, images, candidates,
                raw ? static_cast<std::uint64_t>(layout->classes) : 2);
  validate_thresholds("score_thresholds", options->score_thresholds, images);
  if (raw) {
    validate_thresholds("iou_thresholds", options->iou_thresholds, images);
  }
  validate_geometry(options->geometry, images, "quelt_decode: options.geometry");
}

detections_list decode(const quelt_layout& layout, const quelt_decode_options& options) {
  detections_list result(static_cast<std::size_t>(layout.batch));
  if (layout.candidates == 0) {
    return result;
  }
  decoder images(layout, options);
  for (std::int64_t b = 0; b < layout.batch; ++b) {
    result[static_cast<std::size_t>(b)] = images.image(b);
  }
  return result;
}

}  // namespace quelt::heads
