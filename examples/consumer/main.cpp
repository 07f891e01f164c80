// C++ callers may use the namespaced functions the library exports too, from
// the headers installed under quelt/detail/. Exits with 1 on a wrong answer.
#include <cstdio>
#include <vector>

#include <quelt/detail/step_api/max_index.hpp>
#include <quelt/detail/step_api/darknet_box_provider.hpp>
#include <quelt/quelt.h>

int main() {
  // Index of the first largest score: of equal ones, the first.
  std::vector<float> scores = {0.1f, 0.7f, 0.2f, 0.7f};
  const boost::beast::span<float> view(scores.data(), scores.size());
  const std::int64_t best = sorvanta::framework::max_index(view);

  // Overlap of two sealed rows (centre x, centre y, width, height, ...).
  float row_a[] = {10, 10, 20, 20, 0.9f, 1};
  float row_b[] = {20, 10, 20, 20, 0.9f, 1};
  const quelt::darknet_box_provider a{row_a, 1};
  const quelt::darknet_box_provider b{row_b, 1};
  const double overlap = a.iou(b);  // 200 shared of 600 covered

  std::printf("quelt %s: best class %lld, overlap %.4f\n", QUELT_VERSION_STRING,
              static_cast<long long>(best), overlap);
  return best == 1 && overlap > 0.3333 && overlap < 0.3334 ? 0 : 1;
}
