#include "box_provider_nms.hpp"

#include <algorithm>
#include <cstddef>

#include "../sealed/candidate_nms.hpp"

namespace quelt {

void darknet_box_nms_sort(std::vector<std::vector<darknet_box_provider>>& lists, int classes,
                          float* nms_thresholds) {
  if (classes <= 0) {
    return;
  }
  detail::candidate_nms_workspace workspace;
  std::vector<float> keys;
  std::vector<std::uint32_t> order;
  std::vector<std::uint64_t> scratch;
  std::vector<darknet_box_provider> ranked;
  for (std::size_t i = 0; i < lists.size(); ++i) {
    auto& list = lists[i];
    // Candidates of equal objectness keep their order, so repeated calls
    // give the same lists.
    keys.clear();
    for (const darknet_box_provider& provider : list) {
      keys.push_back(provider.row[4]);
    }
    sorvanta::framework::rank_descending(keys, order, scratch);
    ranked.clear();
    for (std::uint32_t index : order) {
      ranked.push_back(list[index]);
    }
    std::copy(ranked.begin(), ranked.end(), list.begin());

    workspace.rows.clear();
    workspace.holders.clear();
    for (std::size_t rank = 0; rank < list.size(); ++rank) {
      float* row = list[rank].row;
      workspace.rows.push_back(row);
      for (int j = 0; j < classes; ++j) {
        if (row[5 + j] != 0.0f) {
          workspace.holders.push_back(sorvanta::framework::class_member{
              static_cast<std::uint32_t>(j), static_cast<std::uint32_t>(rank)});
        }
      }
    }
    detail::suppress_ranked_candidates(classes, nms_thresholds[i], workspace);
  }
}

}  // namespace quelt
