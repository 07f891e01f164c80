// Class-wise suppression of sealed-path candidates, once they are ranked.
//
// Every class pass sorts the same list by the same key (objectness), so one
// stable sort gives every pass its order, and each class's suppression only
// involves the candidates that hold that class.
#ifndef QUELT_SEALED_CANDIDATE_NMS_HPP
#define QUELT_SEALED_CANDIDATE_NMS_HPP

#include <cstdint>
#include <vector>

namespace quelt::detail {

// A candidate's row in the caller's tensor with its corner form and area,
// computed once exactly as the overlap measure computes them.
struct ranked_candidate {
  float* row;
  float x_min;
  float y_min;
  float x_max;
  float y_max;
  float area;
};

ranked_candidate make_ranked_candidate(float* row);

// A candidate (by rank) that holds class `class_index` (its score is not 0).
struct class_holder {
  std::uint32_t class_index;
  std::uint32_t rank;
};

struct candidate_nms_workspace {
  std::vector<ranked_candidate> candidates;  // input: in rank order
  std::vector<class_holder> holders;         // input: in rank order
  std::vector<std::uint32_t> class_start;
  std::vector<std::uint32_t> by_class;
  std::vector<std::uint32_t> kept;
};

// For every class: a holder loses its score (written through its row) when a
// better-ranked holder that kept it overlaps it by more than `threshold`.
void suppress_ranked_candidates(int classes, float threshold, candidate_nms_workspace& workspace);

// Fills `order` with 0 .. keys.size() - 1 by descending key, equal keys (-0
// and +0 among them) in index order: the order a stable sort by "greater
// than" gives. NaN keys go last, in index order. A radix sort, so ranking
// thousands of candidates costs a few passes over them.
void order_by_descending_key(const std::vector<float>& keys, std::vector<std::uint32_t>& order,
                             std::vector<std::uint64_t>& scratch);

}  // namespace quelt::detail

#endif
