// The checks of the quelt_decode and quelt_map_detections arguments: every
// argument is refused here, naming its field, before any tensor value is
// read; the decoding behind them trusts what passed.
#ifndef QUELT_API_HEADS_CHECKS_HPP
#define QUELT_API_HEADS_CHECKS_HPP

#include <cstdint>
#include <string>

#include "quelt/quelt.h"

namespace quelt::api {

// The caller's structs at this library's version (see versioned.hpp).
struct decode_call {
  quelt_layout layout;
  quelt_decode_options options;
};

struct levels_call {
  quelt_levels levels;
  quelt_decode_options options;
};

// Refuses what quelt_decode_levels documents as bad input; reads the level
// descriptions and the per-image arrays of the options but no tensor value.
levels_call checked_levels_call(const quelt_levels* levels, const quelt_decode_options* options);

// Refuses what quelt_decode documents as bad input; reads the per-image
// arrays of the options but no tensor value.
decode_call checked_decode_call(const quelt_layout* layout, const quelt_decode_options* options);

// Refuses an element description quelt_decode would refuse; `field` names it
// ("layout.scores_element").
void check_element(const char* field, const quelt_element& element);

// Refuses geometry quelt_decode would refuse (none for NULL); `field` names
// the array in the texts.
void check_geometry(const quelt_image_geometry* geometry, std::uint64_t images, const char* field);

// Refuses a grid view quelt_decode_levels would refuse: its element, a NULL
// data with images to read, strides beyond reach over images x height x
// width x channels; `name` names the view ("levels.levels[0].boxes").
void check_grid_view(const std::string& name, const quelt_grid_view& view, std::uint64_t images,
                     std::uint64_t height, std::uint64_t width, std::uint64_t channels);

}  // namespace quelt::api

#endif
