// Seeded random calls for differential testing, biased toward what breaks
// decoders: NaN, infinities, signed zeros, ties, thresholds equal to values,
// touching, identical and degenerate boxes, empty batches and layers.
#ifndef QUELT_TESTS_REFERENCE_RANDOM_CALLS_HPP
#define QUELT_TESTS_REFERENCE_RANDOM_CALLS_HPP

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "quelt/quelt.h"

namespace quelt_reference {

class awkward_random {
 public:
  explicit awkward_random(std::uint64_t seed) : engine_(seed) {}

  int integer(int low, int high);  // inclusive
  bool chance(double p);
  float uniform(float low, float high);
  // Mostly uniform in [low, high]; sometimes NaN, an infinity, a signed zero,
  // or a value from `palette` (to make exact ties).
  float awkward(float low, float high, const std::vector<float>& palette, double special = 0.05);
  // A detection or overlap threshold: typical values, 0, 1, above 1, below 0,
  // and now and then a value from `palette` (values present in the data).
  float threshold(const std::vector<float>& palette);

 private:
  std::mt19937_64 engine_;
};

// A self-contained call of the Darknet entry: descriptors point into the
// vectors held here, so copies of the object must refresh them.
struct darknet_call {
  std::vector<std::vector<float>> values;
  std::vector<std::vector<std::int32_t>> masks;
  std::vector<float> anchors;
  std::vector<yolo_output> layers;
  net_params net{};
  std::vector<float> conf;
  std::vector<float> nms;

  void point_descriptors();
};

struct sealed_call {
  std::vector<float> tensor;
  std::int64_t boxes_count = 0;
  std::int64_t batch_size = 0;
  std::int32_t classes = 1;
  std::vector<float> conf;
  std::vector<float> nms;
  std::int32_t width = 1;
  std::int32_t height = 1;
};

// A call of quelt_decode (and of quelt_map_detections on its result) over
// storage held here: rows, columns, separate and end-to-end helpers, or views
// with permuted, negative and zero strides. `fault` is empty for a call the
// library must accept, else a field its failure text must name. The object
// must not be copied: the structs point into its vectors.
struct heads_call {
  std::vector<std::vector<float>> storage;
  quelt_layout layout{};
  quelt_decode_options options{};
  std::vector<float> scores;
  std::vector<float> ious;
  std::vector<std::int32_t> allowed;
  std::vector<quelt_image_geometry> geometry;
  std::string fault;
  // Views of other element types (random_element_call): one buffer a view.
  std::vector<std::vector<unsigned char>> element_storage;
  // quelt_map_detections afterwards
  std::vector<quelt_image_geometry> map_geometry;
  std::int32_t map_cap = 0;
  std::int32_t map_width = 1;
  std::int32_t map_height = 1;

  heads_call() = default;
  heads_call(const heads_call&) = delete;
  heads_call& operator=(const heads_call&) = delete;
};

void random_heads_call(awkward_random& random, heads_call& call);
// Gives a call random_heads_call made an extras view (one more storage
// vector) and mostly a keypoint description over it: keypoints around and
// beyond the network input's border, NaN now and then, 2 or 3 values,
// visibility as probabilities or logits, sometimes stored as another element
// type; and, when the call had no fault, one call in ten a bad extras field
// as its fault.
void random_extras(awkward_random& random, heads_call& call);
// A call of rotated boxes (centre, size, angle) in rows of 5 + classes, the
// angles inside the rows or in a tensor of their own, in radians or degrees
// either way round: identical, nested, corner-touching and edge-sharing
// boxes, slivers, angles near multiples of a quarter turn, huge coordinates,
// non-finite angles and negative sizes; one call in ten has a layout
// contradiction as its fault.
void random_rotated_call(awkward_random& random, heads_call& call);
// A random_heads_call whose views are stored, each with a chance, as
// float16, bfloat16 or quantized integers of random scale and zero point
// (coarse scales that tie values, saturated integers, NaN and infinities in
// the 16-bit floats), and now and then one bad element field as the fault.
void random_element_call(awkward_random& random, heads_call& call);

// A call of quelt_decode_levels over maps held here: 0 to 3 levels of small
// grids, NCHW or NHWC maps with padded or reversed rows, any element type,
// 1 to 16 bins, logits or probabilities, sometimes a score-sum screen, and
// one call in ten with one bad field (`fault`, as for heads_call).
struct levels_case {
  std::vector<std::vector<unsigned char>> maps;  // boxes, scores, score sum per level
  std::vector<quelt_level> level_list;
  quelt_levels levels{};
  quelt_decode_options options{};
  std::vector<float> scores;
  std::vector<float> ious;
  std::vector<std::int32_t> allowed;
  std::vector<quelt_image_geometry> geometry;
  std::string fault;
  // random_level_extras: one extras map a level
  std::vector<std::vector<unsigned char>> extra_maps;
  std::vector<quelt_grid_view> extra_views;

  levels_case() = default;
  levels_case(const levels_case&) = delete;
  levels_case& operator=(const levels_case&) = delete;
};

void random_levels_call(awkward_random& random, levels_case& call);
// random_extras for per-level heads: an extras map per level, any element
// type, keypoints mostly in the grid form of pose heads.
void random_level_extras(awkward_random& random, levels_case& call);

// A call of quelt_decode over columns (batch, 4 + 1 + E, candidates): corner
// boxes in network pixels, one class, and extras of which `request`'s
// coefficients are a run, with a mask request over its batch: boxes that
// touch or cross the network border, boxes narrower than a prototype pixel,
// boxes of zero area or a NaN edge, edges on pixel centres, NaN and infinite
// coefficients, prototypes of any element type as NCHW or NHWC, each mask
// kind, geometry for original-image masks and sometimes besides. One call in
// ten has one bad request field (`fault`, as for heads_call;
// "request.values_size" asks the test to offer one byte too few).
struct masks_case {
  std::vector<float> columns;
  quelt_layout layout{};
  quelt_decode_options options{};
  std::vector<float> scores;
  std::vector<float> ious;
  std::vector<quelt_image_geometry> geometry;
  std::vector<unsigned char> prototype_bytes;
  quelt_mask_request request{};
  std::string fault;

  masks_case() = default;
  masks_case(const masks_case&) = delete;
  masks_case& operator=(const masks_case&) = delete;
};

void random_masks_call(awkward_random& random, masks_case& call);

darknet_call random_darknet_call(awkward_random& random);
sealed_call random_sealed_call(awkward_random& random);

// Box rows of `classes` + 5 floats (corners, objectness, probabilities) with
// ties, signed zeros, negative probabilities and, when `with_nan`, NaN keys;
// sometimes a few trailing floats that do not make a whole row.
std::vector<float> random_box_rows(awkward_random& random, int classes, bool with_nan);

// Bitwise equality, except that any two NaNs are equal.
bool same_float(float a, float b);
bool same_floats(const std::vector<float>& a, const std::vector<float>& b);
bool same_records(const std::vector<object_detection>& a, const std::vector<object_detection>& b);

}  // namespace quelt_reference

#endif
