// Greedy suppression, the one core every decoding path runs its boxes
// through once they are in rank order.
//
// A box is suppressed when a better-ranked box that was itself kept overlaps
// it enough. Which kept box does it makes no difference, so the kept boxes
// may be visited in any order: the core visits only those whose bounds can
// intersect the box (a uniform grid over the kept boxes), and every overlap
// it does compute is the same float expression the all-pairs walk computes.
#ifndef QUELT_FRAMEWORK_SUPPRESSION_HPP
#define QUELT_FRAMEWORK_SUPPRESSION_HPP

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "box.hpp"
#include "ranking.hpp"
#include "rotated.hpp"

namespace sorvanta::framework {

// When an overlap suppresses. The two paths were defined apart and differ in
// both the comparison and the order of the overlap's operands (which only
// matters through NaN bounds).
enum class suppression_rule : unsigned char {
  at_least,  // overlap(box, kept) >= threshold
  above,     // overlap(kept, box) > threshold
};

// Whether any pair of boxes can meet `threshold` under `rule`. The computed
// overlap of any two boxes is in [0, 1] or NaN (HACKING.md, "How the fast
// paths stay exact"), so "above" never holds from 1 on, "at least" never
// above 1, and neither with a NaN threshold: then there is nothing to do.
inline bool can_suppress(float threshold, suppression_rule rule) {
  return rule == suppression_rule::above ? threshold < 1.0f : threshold <= 1.0f;
}

// Boxes held lane by lane, each bound in its own array, so that one box is
// tested against four of them at once. Every array keeps three spare floats
// past its end, so the last group of four may be loaded whole; lanes beyond
// the boxes held are masked off.
struct box_lanes {
  std::vector<float> x_min;
  std::vector<float> y_min;
  std::vector<float> x_max;
  std::vector<float> y_max;
  std::vector<float> area;
  // For rotated boxes (whose lanes hold their bounds): each one's position.
  std::vector<std::uint32_t> position;

  // Room for `count` boxes; what was held before is left as it was.
  void make_room(std::size_t count) {
    if (x_min.size() < count + 3) {
      for (std::vector<float>* bound : {&x_min, &y_min, &x_max, &y_max, &area}) {
        bound->resize(count + 3);
      }
      position.resize(count + 3);
    }
  }
  void set(std::size_t at, const corner_box& box) {
    x_min[at] = box.x_min;
    y_min[at] = box.y_min;
    x_max[at] = box.x_max;
    y_max[at] = box.y_max;
    area[at] = box.area;
  }
};

// Scratch memory reused from call to call, so that steady-state decoding does
// not allocate. Its size stays proportional to the boxes of one call.
struct suppression_workspace {
  // The cells a box covers, first and last in each direction; x0 < 0 for a
  // box left out.
  struct cell_span {
    std::int32_t x0;
    std::int32_t x1;
    std::int32_t y0;
    std::int32_t y1;
  };
  box_lanes kept;                         // the kept boxes, in rank order
  box_lanes entries;                      // room for every box that can matter, cell by cell
  box_lanes spanning;                     // kept boxes covering too many cells to enter them
  std::vector<cell_span> spans;           // per position
  std::vector<std::uint32_t> walked;      // positions kept before the grid was built
  std::vector<std::uint32_t> cell_start;  // per cell: its first entry, then the end of all
  std::vector<std::uint32_t> cell_end;    // per cell: the end of its kept boxes so far
  std::vector<corner_box> bounds;         // rotated boxes: their axis-aligned bounds
  std::vector<rotated_turn> turns;        // and the cosine and sine of their angles
};

// Greedy suppression of `count` boxes given in rank order, best first:
// appends to `suppressed` the position of every box that a better-ranked box
// still kept overlaps as `rule` says, in increasing order.
void suppress_greedy(const corner_box* boxes, std::size_t count, float threshold,
                     suppression_rule rule, suppression_workspace& workspace,
                     std::vector<std::uint32_t>& suppressed);

// Greedy suppression of rotated boxes, as above under the rule "above":
// `measure` decides. With the exact overlap, whose value is 0 for boxes whose
// bounds are apart, the bounds cull first, on the same grid; the
// probabilistic overlap is never 0, so it tests every kept box. Every box
// must be rotated_valid.
void suppress_greedy(const rotated_box* boxes, std::size_t count, float threshold,
                     rotated_measure measure, suppression_workspace& workspace,
                     std::vector<std::uint32_t>& suppressed);

// Scratch memory of suppress_by_class, reused from call to call.
struct class_suppression_workspace {
  std::vector<std::uint32_t> class_start;  // bucket offsets, one per class and the end
  std::vector<class_member> by_class;      // the members bucketed by class
  std::vector<corner_box> class_boxes;     // one class's boxes, in its order
  std::vector<rotated_box> class_rotated;  // or its rotated boxes
  std::vector<std::uint32_t> suppressed;   // their positions suppressed
  suppression_workspace core;
};

// The reorder for classes whose members already come in rank order.
struct keep_order {
  void operator()(std::size_t /*class_index*/, class_member* /*begin*/,
                  class_member* /*end*/) const {}
};

// Class-wise greedy suppression, the one loop every class-aware path runs.
// `members` lists each (class, item) pair in rank order; every class index is
// below `classes`. Class by class, ascending: `reorder(class, begin, end)`
// may put the class's members into an order of the path's own, the boxes
// `box_of(member)` gives go through suppress_greedy, and every member it
// strikes goes to `on_suppressed(member)`, in the class's order. A class with
// fewer than two members has nothing to suppress and is skipped, and so is
// everything (reorder included) when the threshold cannot suppress.
// When `box_of` gives rotated boxes, `measure` compares them, under the rule
// "above" (the only one rotated boxes have).
template <typename BoxOf, typename Reorder, typename OnSuppressed>
void suppress_by_class(const std::vector<class_member>& members, std::size_t classes,
                       float threshold, suppression_rule rule, class_suppression_workspace& ws,
                       BoxOf&& box_of, Reorder&& reorder, OnSuppressed&& on_suppressed,
                       rotated_measure measure = rotated_measure::exact) {
  using box_type = std::decay_t<decltype(box_of(std::declval<const class_member&>()))>;
  constexpr bool rotated = std::is_same_v<box_type, rotated_box>;
  if (!can_suppress(threshold, rule)) {
    return;
  }
  bucket_by_class(members, classes, ws.class_start, ws.by_class);
  for (std::size_t k = 0; k < classes; ++k) {
    class_member* begin = ws.by_class.data() + ws.class_start[k];
    class_member* end = ws.by_class.data() + ws.class_start[k + 1];
    if (end - begin < 2) {
      continue;
    }
    reorder(k, begin, end);
    ws.suppressed.clear();
    if constexpr (rotated) {
      ws.class_rotated.clear();
      for (const class_member* member = begin; member != end; ++member) {
        ws.class_rotated.push_back(box_of(*member));
      }
      suppress_greedy(ws.class_rotated.data(), ws.class_rotated.size(), threshold, measure, ws.core,
                      ws.suppressed);
    } else {
      ws.class_boxes.clear();
      for (const class_member* member = begin; member != end; ++member) {
        ws.class_boxes.push_back(box_of(*member));
      }
      suppress_greedy(ws.class_boxes.data(), ws.class_boxes.size(), threshold, rule, ws.core,
                      ws.suppressed);
    }
    for (std::uint32_t position : ws.suppressed) {
      on_suppressed(begin[position]);
    }
  }
}

}  // namespace sorvanta::framework

#endif
