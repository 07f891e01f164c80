// Orders and buckets shared by the decoding paths.
#ifndef QUELT_FRAMEWORK_RANKING_HPP
#define QUELT_FRAMEWORK_RANKING_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sorvanta::framework {

// Fills `order` with 0 .. keys.size() - 1 by descending key, equal keys (-0
// and +0 among them) in index order: the order a stable sort by "greater
// than" gives. NaN keys go last, in index order. A radix sort, so ranking
// thousands of candidates costs a few passes over them.
void rank_descending(const std::vector<float>& keys, std::vector<std::uint32_t>& order,
                     std::vector<std::uint64_t>& scratch);

// Fills `order` with 0 .. keys.size() - 1 by ascending key, equal keys in
// index order (a stable sort), with the same radix sort.
void order_ascending(const std::vector<std::uint32_t>& keys, std::vector<std::uint32_t>& order,
                     std::vector<std::uint64_t>& scratch);

// An item (a row, a rank, ...) that holds a class.
struct class_member {
  std::uint32_t class_index;
  std::uint32_t item;
};

// Groups `members` by class, keeping their given order within a class:
// afterwards the members of class k are by_class[start[k] .. start[k + 1]).
// Every class index must be below `classes`.
void bucket_by_class(const std::vector<class_member>& members, std::size_t classes,
                     std::vector<std::uint32_t>& start, std::vector<class_member>& by_class);

}  // namespace sorvanta::framework

#endif
