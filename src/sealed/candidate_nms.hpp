// Class-wise suppression of sealed-path candidates, once they are ranked.
//
// Every class pass sorts the same list by the same key (objectness), so one
// stable ranking gives every pass its order, and each class's suppression
// only involves the candidates that hold that class.
#ifndef QUELT_SEALED_CANDIDATE_NMS_HPP
#define QUELT_SEALED_CANDIDATE_NMS_HPP

#include <cstdint>
#include <vector>

#include "../framework/box.hpp"
#include "../framework/ranking.hpp"
#include "../framework/suppression.hpp"

namespace quelt::detail {

struct candidate_nms_workspace {
  std::vector<float*> rows;                                // input: in rank order
  std::vector<sorvanta::framework::class_member> holders;  // input: (class, rank), in rank order
  std::vector<sorvanta::framework::corner_box> boxes;  // output: the rows' corners, in rank order
  sorvanta::framework::class_suppression_workspace nms;
};

// For every class: a holder loses its score (written through its row) when a
// better-ranked holder that kept it overlaps it by more than `threshold`.
void suppress_ranked_candidates(int classes, float threshold, candidate_nms_workspace& workspace);

}  // namespace quelt::detail

#endif
