#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../framework/class_scores.hpp"
#include "decoder.hpp"

namespace quelt::heads {

namespace {

std::uint64_t magnitude(std::int64_t stride) {
  return stride < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(stride)
                    : static_cast<std::uint64_t>(stride);
}

}  // namespace

decoder::decoder(const quelt_layout& layout, const quelt_decode_options& options)
    : layout_(layout),
      options_(options),
      logits_(layout.score_coding == QUELT_SCORES_LOGITS),
      // Rotated boxes hand back their rotated records beside the records.
      details_(options.details != 0 || layout.box_coding == QUELT_BOX_ROTATED),
      elements_(layout.scores_element.type != QUELT_ELEMENT_FLOAT32 ||
                (layout.objectness.data != nullptr &&
                 layout.objectness_element.type != QUELT_ELEMENT_FLOAT32)),
      is_rotated_(layout.box_coding == QUELT_BOX_ROTATED) {
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

std::vector<object_detection> decoder::image(std::int64_t b) {
  hits_.clear();
  const float threshold = options_.score_thresholds[b];
  if (elements_) {
    gather_elements(b, threshold);
  } else if (layout_.candidate_kind == QUELT_CANDIDATES_END_TO_END) {
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
  read_boxes(b);
  return finish(b);
}

void decoder::gather_end_to_end(std::int64_t b, float threshold) {
  const bool has_objectness = layout_.objectness.data != nullptr;
  for (std::int64_t n = 0; n < layout_.candidates; ++n) {
    const float objectness = has_objectness ? activate(*at(layout_.objectness, b, n, 0)) : 1.0f;
    const float* s = at(layout_.scores, b, n, 0);
    const float score = objectness * activate(s[0]);
    if (score > threshold) {
      add_end_to_end_hit(n, score, objectness, s[layout_.scores.component_stride]);
    }
  }
}

void decoder::add_end_to_end_hit(std::int64_t n, float score, float objectness, float value) {
  // Whole numbers in [0, 2^31): 2^31 itself is the first float beyond.
  if (!(value >= 0.0f && value < 2147483648.0f) || std::floor(value) != value) {
    return;
  }
  const auto k = static_cast<std::int32_t>(value);
  if (layout_.classes > 0 && k >= layout_.classes) {
    return;
  }
  if (options_.classes_allowed != nullptr &&
      !std::binary_search(allowed_.begin(), allowed_.end(), k)) {
    return;
  }
  hits_.push_back(
      hit{static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(k), score, objectness});
}

void decoder::gather_with_objectness(std::int64_t b, float threshold) {
  const screen passes = make_screen(threshold);
  if (passes.closed()) {
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
              hits_.push_back(hit{static_cast<std::uint32_t>(n), k, probabilities_[k], objectness});
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
void decoder::gather_class_major(std::int64_t b, float threshold) {
  const screen passes = make_screen(threshold);
  if (passes.closed()) {
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
      for_each_screened(first, candidates, step, passes, visit);
    }
    hits_.resize(candidates);
    std::size_t found = 0;
    for (std::uint64_t n = 0; n < candidates; ++n) {
      hits_[found] = hit{static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(best_class_[n]),
                         best_score_[n], 1.0f};
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
    for_each_screened(first, candidates, step, passes, visit);
  }
  hits_in_candidate_order();
}

void decoder::gather_candidate_major(std::int64_t b, float threshold) {
  const screen passes = make_screen(threshold);
  if (passes.closed()) {
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

// Scores or objectness of another element type: values whose rank is below
// the threshold's cut are skipped unread; the others are converted and
// decided exactly as the float path decides them, in the same order
// (candidates ascending, classes ascending within one).
void decoder::gather_elements(std::int64_t b, float threshold) {
  const element_view scores(layout_.scores, layout_.scores_element);
  const auto candidates = static_cast<std::uint64_t>(layout_.candidates);
  if (layout_.candidate_kind == QUELT_CANDIDATES_END_TO_END) {
    const bool has_objectness = layout_.objectness.data != nullptr;
    const element_view objectness_values(layout_.objectness, layout_.objectness_element);
    for (std::int64_t n = 0; n < layout_.candidates; ++n) {
      const float objectness = has_objectness ? activate(objectness_values.value(b, n, 0)) : 1.0f;
      const float score = objectness * activate(scores.value(b, n, 0));
      if (score > threshold) {
        add_end_to_end_hit(n, score, objectness, scores.value(b, n, 1));
      }
    }
    return;
  }
  const screen passes = make_screen(threshold);
  if (passes.closed()) {
    return;  // no logistic exceeds the threshold
  }
  if (layout_.objectness.data != nullptr) {
    const element_view objectness_values(layout_.objectness, layout_.objectness_element);
    const std::int32_t cut = rank_cut_for(objectness_values.format, logits_, threshold);
    for_each_element_passing(
        objectness_values.format, objectness_values.address(b, 0, 0), candidates,
        layout_.objectness.candidate_stride, cut, passes, [&](std::uint64_t i) {
          const auto n = static_cast<std::int64_t>(i);
          const float objectness = activate(objectness_values.value(b, n, 0));
          if (!(objectness > threshold)) {
            return;
          }
          for (std::uint32_t k : walk_) {
            const float score = objectness * activate(scores.value(b, n, k));
            if (score > threshold) {
              hits_.push_back(hit{static_cast<std::uint32_t>(n), k, score, objectness});
            }
          }
        });
    return;
  }
  const std::int32_t cut = rank_cut_for(scores.format, logits_, threshold);
  if (magnitude(layout_.scores.component_stride) > magnitude(layout_.scores.candidate_stride)) {
    // Class by class along the candidates, then bucketed by candidate, which
    // keeps the class order within one.
    spare_.clear();
    for (std::uint32_t k : walk_) {
      for_each_element_passing(
          scores.format, scores.address(b, 0, k), candidates, layout_.scores.candidate_stride, cut,
          passes, [&](std::uint64_t n) {
            const float score = activate(scores.value(b, static_cast<std::int64_t>(n), k));
            if (score > threshold) {
              spare_.push_back(hit{static_cast<std::uint32_t>(n), k, score, 1.0f});
            }
          });
    }
    hits_in_candidate_order();
    return;
  }
  for (std::int64_t n = 0; n < layout_.candidates; ++n) {
    for (std::uint32_t k : walk_) {
      const unsigned char* p = scores.address(b, n, k);
      const bool may_pass = scores.format.type == QUELT_ELEMENT_FLOAT32
                                ? passes(fw::element_value(scores.format, p))
                                : fw::element_rank(scores.format.type, p) >= cut;
      if (!may_pass) {
        continue;
      }
      const float score = activate(fw::element_value(scores.format, p));
      if (score > threshold) {
        hits_.push_back(hit{static_cast<std::uint32_t>(n), k, score, 1.0f});
      }
    }
  }
}

// hits_ = the class-by-class hits of spare_ in candidate order, classes
// ascending within a candidate: a stable order by candidate keeps the order
// they were found in within one.
void decoder::hits_in_candidate_order() {
  candidate_keys_.resize(spare_.size());
  for (std::size_t i = 0; i < spare_.size(); ++i) {
    candidate_keys_[i] = spare_[i].candidate;
  }
  fw::order_ascending(candidate_keys_, order_, scratch_);
  hits_.resize(spare_.size());
  for (std::size_t i = 0; i < spare_.size(); ++i) {
    hits_[i] = spare_[order_[i]];
  }
}

// Of each candidate's passing classes (in class order), the first of
// largest score.
void decoder::keep_best_classes() {
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

}  // namespace quelt::heads
