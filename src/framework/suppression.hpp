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
#include <vector>

#include "box.hpp"

namespace sorvanta::framework {

// When an overlap suppresses. The two paths were defined apart and differ in
// both the comparison and the order of the overlap's operands (which only
// matters through NaN bounds).
enum class suppression_rule : unsigned char {
  at_least,  // overlap(box, kept) >= threshold
  above,     // overlap(kept, box) > threshold
};

// Scratch memory reused from call to call, so that steady-state decoding does
// not allocate. Its size stays proportional to the boxes of one call.
struct suppression_workspace {
  // A box as one cell of the grid holds it, with the first cell it enters.
  struct cell_entry {
    corner_box box;
    std::int32_t first_x;
    std::int32_t first_y;
  };
  // The cells a box covers, first and last in each direction.
  struct cell_span {
    std::int32_t x0;
    std::int32_t x1;
    std::int32_t y0;
    std::int32_t y1;
  };
  std::vector<std::uint32_t> kept;        // positions of the kept boxes that can matter
  std::vector<std::uint8_t> state;        // per position: left out or taking part
  std::vector<cell_span> spans;           // per position, for the boxes that can matter
  std::vector<std::uint32_t> cell_start;  // per cell: its first entry, then the end of all
  std::vector<std::uint32_t> cell_end;    // per cell: the end of its kept boxes so far
  std::vector<cell_entry> entries;        // room for every box that can matter, cell by cell
  std::vector<std::uint32_t> spanning;    // kept boxes covering too many cells to enter them
};

// Greedy suppression of `count` boxes given in rank order, best first:
// appends to `suppressed` the position of every box that a better-ranked box
// still kept overlaps as `rule` says, in increasing order.
void suppress_greedy(const corner_box* boxes, std::size_t count, float threshold,
                     suppression_rule rule, suppression_workspace& workspace,
                     std::vector<std::uint32_t>& suppressed);

}  // namespace sorvanta::framework

#endif
