/*
 * quelt: decode the outputs of YOLO object-detection networks into per-image
 * lists of detections.
 *
 * The host application runs the network; quelt takes its float outputs, the
 * network input size and per-image thresholds, decodes the boxes, suppresses
 * overlapping boxes class by class and hands back one list of 28-byte
 * `object_detection` records per image.
 *
 * Calling order:
 *   1. A decoding call (`process_yolo_detections`,
 *      `process_yolo_sealed_output_detections`, `quelt_decode` or
 *      `quelt_decode_levels`) fills an `object_handler`;
 *      `quelt_map_detections` may then map and cap it.
 *   2. `detections_batch_size` gives the number of images.
 *   3. For each image, `detections_batch_detections_count` gives the number of
 *      records; the caller provides an array of that many records and
 *      `detections_batch_detections_store` fills it.
 *   4. `object_handler_destroy` releases the batch.
 *
 * Every function that can fail returns a `return_status` by value. Its
 * `message` is released with `done_return_status`, which is harmless on a
 * success status. Nothing else the library allocates outlives a call.
 *
 * Failure texts of the quelt_ functions are one line, meant for a person:
 *   FUNCTION: FIELD: what was wrong; what is allowed
 * e.g. "quelt_decode: layout.batch: -1 is negative; 0 or more images". FIELD
 * names the argument as the caller wrote it (`options.geometry[2].scale_x`);
 * where no field is at fault it is the cause ("quelt_decode: out of memory").
 * Programs should test status_code, not the text.
 *
 * Threads: the library keeps no global state and starts no threads. Any
 * functions may run at the same time on different handles. Inputs the
 * library only reads (the tensors of quelt_decode, quelt_decode_levels and
 * process_yolo_detections, thresholds, layouts, levels, options, geometry)
 * may be shared by concurrent calls.
 * A sealed tensor is written by its call: one call at a time. A handle may
 * be read by several threads at once, but not while quelt_map_detections or
 * object_handler_destroy runs on it.
 *
 * Growing structs: every quelt_ struct that starts with `struct_size` is
 * versioned by it. Set it to sizeof the struct in the header you compile
 * with (the quelt_*_init macros do, see "The struct a program has" below). Fields are only ever
 * appended: a library newer than your header reads the fields your size covers and gives the later
 * ones their defaults (the values the init function sets), so programs keep working, unchanged,
 * with later versions of the library. A size smaller than the first published one, larger than the
 * library knows, or not a multiple of 8 is refused. `reserved` fields keep room in a record's
 * layout for later use and must be 0.
 *
 * The records below are laid out for 64-bit platforms; their sizes and
 * offsets are fixed and checked at compile time.
 */
#ifndef QUELT_QUELT_H
#define QUELT_QUELT_H

#include <stddef.h>
#include <stdint.h>

/* QUELT_VERSION_MAJOR, _MINOR, _PATCH, _STRING and _NUMBER. */
#include "quelt/version.h"

/* QUELT_STATIC: linked from the library's objects, not from the DLL. */
#if defined(_WIN32) && defined(QUELT_STATIC) && !defined(QUELT_BUILDING_LIBRARY)
#define QUELT_API
#elif defined(_WIN32)
#if defined(QUELT_BUILDING_LIBRARY)
#define QUELT_API __declspec(dllexport)
#else
#define QUELT_API __declspec(dllimport)
#endif
#else
#define QUELT_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define QUELT_STATIC_ASSERT(name, cond) static_assert(cond, #name)
#else
/* Works in C99, which lacks _Static_assert: a negative array size fails. */
#define QUELT_STATIC_ASSERT(name, cond) typedef char quelt_static_assert_##name[(cond) ? 1 : -1]
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Version                                                                   */
/* ------------------------------------------------------------------------ */

/*
 * Version of the library loaded at run time, as QUELT_VERSION_NUMBER codes it
 * (major * 10000 + minor * 100 + patch). It may differ from the header's
 * QUELT_VERSION_NUMBER when the program runs against another build.
 */
QUELT_API uint32_t quelt_version_number(void);

/*
 * Version of the library loaded at run time, as QUELT_VERSION_STRING spells
 * it ("major.minor.patch"). A constant the caller never frees. It may differ
 * from the header's QUELT_VERSION_STRING when the program runs against
 * another build.
 */
QUELT_API const char* quelt_version_string(void);

/* ------------------------------------------------------------------------ */
/* Status                                                                    */
/* ------------------------------------------------------------------------ */

/*
 * Outcome of a call. Three shapes occur:
 *   success: {1, NULL, 0}
 *   failure: {0, text owned by this record, 0}; release with done_return_status
 *   fatal:   {0, constant text, 1}; the library could not even build a text
 */
typedef struct return_status {
  int32_t status_code;       /* 1 = success, 0 = failure */
  const char* message;       /* NULL on success */
  int32_t message_is_static; /* 1 = constant text that is never released */
} return_status;

QUELT_STATIC_ASSERT(return_status_size, sizeof(return_status) == 24);
QUELT_STATIC_ASSERT(return_status_code, offsetof(return_status, status_code) == 0);
QUELT_STATIC_ASSERT(return_status_message, offsetof(return_status, message) == 8);
QUELT_STATIC_ASSERT(return_status_static, offsetof(return_status, message_is_static) == 16);

/*
 * Releases the text of a failure status. Does nothing for a success or fatal
 * status. Release each status at most once: the record itself is not changed.
 */
QUELT_API void done_return_status(return_status status);

/* ------------------------------------------------------------------------ */
/* Handles and the detections batch                                          */
/* ------------------------------------------------------------------------ */

/* Kind of the object behind a handle, stored as int32. Any int32 value may
 * arrive from a caller; detections_batch and quelt_details_batch name kinds.
 * A quelt_details_batch is a detections batch that also keeps, per record,
 * what the decoding call was asked to keep (quelt_batch_describe says what):
 * every function that reads or changes a detections batch takes it too. A
 * handle's type must be the kind of its object, as the decoding call set
 * it: the library cannot tell a batch of one kind handed over as the other. */
#ifdef __cplusplus
typedef enum object_type : int32_t {
  detections_batch = 1,
  quelt_details_batch = 0x5144
} object_type;
#else
typedef enum object_type { detections_batch = 1, quelt_details_batch = 0x5144 } object_type;
#endif

QUELT_STATIC_ASSERT(object_type_size, sizeof(object_type) == 4);

/* A heap object and its kind. The handle owns nothing by itself. */
typedef struct object_handler {
  void* object; /* NULL when no object is attached */
  object_type type;
} object_handler;

QUELT_STATIC_ASSERT(object_handler_size, sizeof(object_handler) == 16);
QUELT_STATIC_ASSERT(object_handler_object, offsetof(object_handler, object) == 0);
QUELT_STATIC_ASSERT(object_handler_type, offsetof(object_handler, type) == 8);

/*
 * One detection. Edges are fractions of the network input width and height,
 * not clipped to [0, 1]. `probability` is objectness times the class score
 * that passed the detection threshold and survived suppression; it is never 0.
 * Of several classes with the best score, `class_id` is the lowest.
 */
typedef struct object_detection {
  float x_min;
  float y_min;
  float x_max;
  float y_max;
  int32_t class_id;
  float objectness;
  float probability;
} object_detection;

QUELT_STATIC_ASSERT(object_detection_size, sizeof(object_detection) == 28);
QUELT_STATIC_ASSERT(object_detection_x_min, offsetof(object_detection, x_min) == 0);
QUELT_STATIC_ASSERT(object_detection_y_min, offsetof(object_detection, y_min) == 4);
QUELT_STATIC_ASSERT(object_detection_x_max, offsetof(object_detection, x_max) == 8);
QUELT_STATIC_ASSERT(object_detection_y_max, offsetof(object_detection, y_max) == 12);
QUELT_STATIC_ASSERT(object_detection_class_id, offsetof(object_detection, class_id) == 16);
QUELT_STATIC_ASSERT(object_detection_objectness, offsetof(object_detection, objectness) == 20);
QUELT_STATIC_ASSERT(object_detection_probability, offsetof(object_detection, probability) == 24);

/*
 * Number of images in the batch behind `handler`.
 * On success writes *out_size; on failure leaves it alone.
 * Fails for a handle of another kind, or one without a batch.
 */
QUELT_API return_status detections_batch_size(object_handler handler, uint64_t* out_size);

/*
 * Number of records of image `batch_idx`.
 * On success writes *out_count; on failure leaves it alone.
 * Fails for a handle of another kind, one without a batch, or an index that is
 * not below the batch size.
 */
QUELT_API return_status detections_batch_detections_count(object_handler handler,
                                                          uint64_t batch_idx, uint64_t* out_count);

/*
 * Copies the records of image `batch_idx`, in order, to the start of
 * `out_detections`, which must have room for the count that
 * detections_batch_detections_count reports. Writes nothing for an image
 * without records, and nothing on failure. Fails as the count does.
 */
QUELT_API return_status detections_batch_detections_store(object_handler handler,
                                                          uint64_t batch_idx,
                                                          object_detection* out_detections);

/*
 * Releases the batch behind `handler`. Does nothing for a NULL object or a
 * handle of another kind. Pass a handle here at most once; the handle record
 * itself is not changed.
 */
QUELT_API void object_handler_destroy(object_handler handler);

/* ------------------------------------------------------------------------ */
/* Darknet-style YOLO layers                                                 */
/* ------------------------------------------------------------------------ */

/*
 * The values of one layer: `batch` images of `height` x `width` cells, each
 * cell `channels` floats (mask_size records of classes + 5 floats: centre-x,
 * centre-y, width and height terms, objectness, one score per class).
 */
typedef struct output_tensor {
  float* data;
  uint64_t batch;
  uint64_t width;
  uint64_t height;
  uint64_t channels;
} output_tensor;

QUELT_STATIC_ASSERT(output_tensor_size, sizeof(output_tensor) == 40);
QUELT_STATIC_ASSERT(output_tensor_data, offsetof(output_tensor, data) == 0);
QUELT_STATIC_ASSERT(output_tensor_batch, offsetof(output_tensor, batch) == 8);
QUELT_STATIC_ASSERT(output_tensor_width, offsetof(output_tensor, width) == 16);
QUELT_STATIC_ASSERT(output_tensor_height, offsetof(output_tensor, height) == 24);
QUELT_STATIC_ASSERT(output_tensor_channels, offsetof(output_tensor, channels) == 32);

/*
 * One YOLO output layer. Callers pass arrays of these (stride 152 bytes).
 * The library never writes through `output.data`, `mask` or `anchors`.
 * Reserved bytes are ignored.
 */
typedef struct yolo_output {
  output_tensor output;
  int32_t classes;
  uint8_t reserved_44[4];
  int32_t* mask;      /* anchor pair used by each anchor slot of a cell */
  uint64_t mask_size; /* anchor slots per cell */
  uint8_t reserved_64[4];
  float xy_scale;       /* scale of the centre offsets, 1 for none */
  int32_t preactivated; /* nonzero: values already went through the logistic */
  uint8_t reserved_76[60];
  float* anchors; /* (width, height) pairs in network-input pixels */
  uint8_t reserved_144[8];
} yolo_output;

QUELT_STATIC_ASSERT(yolo_output_size, sizeof(yolo_output) == 152);
QUELT_STATIC_ASSERT(yolo_output_output, offsetof(yolo_output, output) == 0);
QUELT_STATIC_ASSERT(yolo_output_classes, offsetof(yolo_output, classes) == 40);
QUELT_STATIC_ASSERT(yolo_output_mask, offsetof(yolo_output, mask) == 48);
QUELT_STATIC_ASSERT(yolo_output_mask_size, offsetof(yolo_output, mask_size) == 56);
QUELT_STATIC_ASSERT(yolo_output_xy_scale, offsetof(yolo_output, xy_scale) == 68);
QUELT_STATIC_ASSERT(yolo_output_preactivated, offsetof(yolo_output, preactivated) == 72);
QUELT_STATIC_ASSERT(yolo_output_anchors, offsetof(yolo_output, anchors) == 136);

/* Network input size in pixels. */
typedef struct net_params {
  int32_t width;
  int32_t height;
} net_params;

QUELT_STATIC_ASSERT(net_params_size, sizeof(net_params) == 8);
QUELT_STATIC_ASSERT(net_params_width, offsetof(net_params, width) == 0);
QUELT_STATIC_ASSERT(net_params_height, offsetof(net_params, height) == 4);

/*
 * Decodes Darknet-style YOLO layers: `outputs_count` descriptors starting at
 * `outputs`, all with the same `classes` (>= 1) and `output.batch`, and
 * `output.channels` = mask_size x (classes + 5). Image i uses detection
 * threshold conf_thresholds[i] and overlap threshold nms_thresholds[i]; both
 * arrays hold one entry per image. Only reads the caller's buffers, masks,
 * anchors and thresholds, and keeps none of them after returning.
 * Sets *out_handler to {NULL, detections_batch} first; on success it holds a
 * new batch with one record list per image, which the caller owns until
 * object_handler_destroy. Fails, before decoding anything, for descriptors
 * that contradict these rules, null pointers that would be read, a negative
 * mask entry or a NULL out_handler; the handle then holds no batch.
 */
QUELT_API return_status process_yolo_detections(const yolo_output* outputs, uint64_t outputs_count,
                                                net_params net, const float* conf_thresholds,
                                                const float* nms_thresholds,
                                                object_handler* out_handler);

/* ------------------------------------------------------------------------ */
/* Sealed outputs                                                            */
/* ------------------------------------------------------------------------ */

/*
 * Decodes a sealed output: `batch_size` images of `boxes_count` rows, each row
 * classes + 5 floats (centre x, centre y, width, height in network-input
 * pixels, objectness, one score per class), image after image without gaps.
 * Image i uses detection threshold conf_thresholds[i] and overlap threshold
 * nms_thresholds[i]; both arrays hold one entry per image.
 * Rewrites the caller's tensor in place: in every row whose objectness passes,
 * the class scores become objectness x score, or 0 where that product does
 * not pass or suppression removed the class. Positions 0 to 4, and the rows
 * that did not pass, are left as they were. The tensor is not kept after the
 * call, and only one call at a time may use it.
 * Within an image, records come in descending order of objectness; rows of
 * equal objectness keep their row order, on every run and platform.
 * Sets *out_handler to {NULL, detections_batch} first; on success it holds a
 * new batch with one record list per image, which the caller owns until
 * object_handler_destroy. Fails, with the tensor untouched, for negative
 * counts, `classes` below 1, null pointers that would be read or a NULL
 * out_handler; the handle then holds no batch. Running out of memory fails
 * too, and may leave the tensor partly rewritten.
 */
QUELT_API return_status process_yolo_sealed_output_detections(
    float* sealed_output, int64_t boxes_count, int64_t batch_size, int32_t classes,
    const float* conf_thresholds, const float* nms_thresholds, int32_t width, int32_t height,
    object_handler* out_handler);

/*
 * process_yolo_detections and process_yolo_sealed_output_detections (same
 * arguments, same records, same in-place rewriting of the sealed tensor) into
 * a details batch whose records also carry their source:
 * quelt_batch_sources_store gives, per record, the index of its anchor
 * record (quelt_decode_darknet: the layers in order, within a layer cell
 * row-major, then anchor slot: (y x width + x) x mask_size + slot) or of its
 * row (quelt_decode_sealed). Failures are one line naming the field, as for
 * quelt_decode; negative counts are refused too. The handle is set to {NULL,
 * detections_batch} first and holds no batch after a failure.
 */
QUELT_API return_status quelt_decode_darknet(const yolo_output* outputs, uint64_t outputs_count,
                                             net_params net, const float* conf_thresholds,
                                             const float* nms_thresholds,
                                             object_handler* out_handler);
QUELT_API return_status quelt_decode_sealed(float* sealed_output, int64_t boxes_count,
                                            int64_t batch_size, int32_t classes,
                                            const float* conf_thresholds,
                                            const float* nms_thresholds, int32_t width,
                                            int32_t height, object_handler* out_handler);

/* ------------------------------------------------------------------------ */
/* Box predictions described by strides (anchor-free, rows, end-to-end, ...) */
/* ------------------------------------------------------------------------ */

/*
 * Where one kind of value sits, like a numpy view counted in elements (floats unless the
 * layout gives the view another element type): value
 * `c` (a box coordinate, a class score) of candidate `n` of image `b` is
 * data[b * image_stride + n * candidate_stride + c * component_stride].
 * Strides may be 0 or negative, and views may share memory: the library only
 * reads them. `data` is NULL only for an absent part, or when nothing of the
 * part is read (a batch of 0 images, or 0 candidates).
 */
typedef struct quelt_view {
  const float* data;
  int64_t image_stride;
  int64_t candidate_stride;
  int64_t component_stride;
} quelt_view;

QUELT_STATIC_ASSERT(quelt_view_size, sizeof(quelt_view) == 32);
QUELT_STATIC_ASSERT(quelt_view_data, offsetof(quelt_view, data) == 0);
QUELT_STATIC_ASSERT(quelt_view_image_stride, offsetof(quelt_view, image_stride) == 8);
QUELT_STATIC_ASSERT(quelt_view_candidate_stride, offsetof(quelt_view, candidate_stride) == 16);
QUELT_STATIC_ASSERT(quelt_view_component_stride, offsetof(quelt_view, component_stride) == 24);

/*
 * How the values of a view are stored. `data` of a quelt_view stays a
 * `const float*`: for another element type pass the address of its first
 * element cast to it; strides then count elements of that type. Each value is
 * turned into a float before anything else is done with it, exactly as:
 *   FLOAT32   the float itself (the default: a zeroed quelt_element)
 *   FLOAT16   IEEE binary16, converted exactly (infinities and NaN included)
 *   BFLOAT16  the upper 16 bits of a float32, converted exactly
 *   INT8, UINT8, INT16, UINT16 (quantized): (float)(q - zero_point) * scale,
 *             one single-precision product
 * so a call gives the same records, byte for byte, as the same call over a
 * float32 copy converted that way. Elements are read in the host's byte
 * order. Quantized values below a cut found once per threshold (the first
 * integer whose value passes, after the logistic for logits) are skipped
 * without being converted.
 */
#define QUELT_ELEMENT_FLOAT32 0
#define QUELT_ELEMENT_FLOAT16 1
#define QUELT_ELEMENT_BFLOAT16 2
#define QUELT_ELEMENT_INT8 3
#define QUELT_ELEMENT_UINT8 4
#define QUELT_ELEMENT_INT16 5
#define QUELT_ELEMENT_UINT16 6

/*
 * The element type of one view. For quantized types `scale` must be finite
 * and above 0 and `zero_point` within the type's range; for the floating
 * types both are ignored. `reserved` must be 0.
 */
typedef struct quelt_element {
  int32_t type; /* QUELT_ELEMENT_* */
  int32_t zero_point;
  float scale;
  int32_t reserved;
} quelt_element;

QUELT_STATIC_ASSERT(quelt_element_size, sizeof(quelt_element) == 16);
QUELT_STATIC_ASSERT(quelt_element_type, offsetof(quelt_element, type) == 0);
QUELT_STATIC_ASSERT(quelt_element_zero_point, offsetof(quelt_element, zero_point) == 4);
QUELT_STATIC_ASSERT(quelt_element_scale, offsetof(quelt_element, scale) == 8);
QUELT_STATIC_ASSERT(quelt_element_reserved, offsetof(quelt_element, reserved) == 12);

/* How the four box values are coded, in network-input pixels. */
#define QUELT_BOX_CENTRE_SIZE 0 /* centre x, centre y, width, height */
#define QUELT_BOX_CORNERS 1     /* x_min, y_min, x_max, y_max */
#define QUELT_BOX_ROTATED 2     /* centre x, centre y, width, height; the angle in `angles` */

/* How the angles of rotated boxes are given (angle_flags, bits that combine).
 * By default in radians, a positive angle turning the width from the x axis
 * toward the y axis: clockwise on an image whose y grows downwards (the
 * convention of the usual OBB exports). */
#define QUELT_ANGLE_DEGREES 1          /* degrees instead of radians */
#define QUELT_ANGLE_COUNTERCLOCKWISE 2 /* positive turns counter-clockwise on the image */

/* Which overlap suppresses rotated boxes (rotated_overlap). */
#define QUELT_OVERLAP_EXACT 0         /* intersection over union of the rectangles */
#define QUELT_OVERLAP_PROBABILISTIC 1 /* the Gaussian approximation of OBB post-processing */

/* What the class scores (and the objectness) hold. */
#define QUELT_SCORES_PROBABILITIES 0 /* used as they are */
#define QUELT_SCORES_LOGITS 1        /* raw values: the library applies the logistic */

/* Where a keypoint's x and y come from (quelt_layout, quelt_levels). */
#define QUELT_KEYPOINTS_PIXELS 0 /* network-input pixels as they are */
#define QUELT_KEYPOINTS_GRID 1   /* per-level terms: x = (raw_x * 2 + gx) * stride, likewise y */

/* What a candidate is. */
#define QUELT_CANDIDATES_RAW 0        /* boxes to threshold and suppress */
#define QUELT_CANDIDATES_END_TO_END 1 /* already suppressed: score and class in `scores` */

/*
 * A batch of box predictions: `batch` images of `candidates` candidates each.
 * `struct_size` is sizeof(quelt_layout) of the header the caller was compiled
 * with (see "Growing structs" above); the library refuses codes it does not
 * know. quelt_layout_init, or a quelt_layout_* helper below, fills one.
 *   boxes:      4 components, coded as `box_coding` says
 *   objectness: 1 component, or data NULL for layouts without one
 *   scores:     raw candidates: `classes` (1 or more) components, one score
 *               per class; end-to-end candidates: component 0 is the score
 *               and component 1 the class index, stored as a float
 * For end-to-end candidates `classes` is 0 (class indices unchecked) or the
 * number of classes (rows naming a class outside [0, classes) are dropped).
 * `reserved` must be 0.
 * boxes_element, objectness_element, scores_element: the element type of
 * each view (appended after the first published size, 136 bytes; callers of
 * that size, and zeroed fields, read float32 everywhere).
 * Extras and keypoints (appended; zeroed fields, and callers of a size that
 * ends before them, ask for none):
 *   extras:          extras_count components per candidate (e.g. the 51
 *                    keypoint values of a pose export, mask coefficients),
 *                    read only for the records that survive, and handed
 *                    back per record by quelt_batch_extras_store
 *   extras_element:  the element type of the extras view
 *   extras_count:    E, 0 (none) or more; data may be NULL only for 0
 *   keypoint_count:  K, 0 (none) or more: keypoint k is extras components
 *                    k * keypoint_values + 0, 1 (x, y) [+ 2 (visibility)],
 *                    so K x keypoint_values may not exceed E; handed back
 *                    by quelt_batch_keypoints_store
 *   keypoint_values: 2 (x, y) or 3 (x, y, visibility), with keypoints
 *   keypoint_coding: QUELT_SCORES_* of the visibility
 *   keypoint_form:   QUELT_KEYPOINTS_PIXELS (the only form a layout has)
 * Any extras or keypoints make the batch a details batch. `reserved_extras`
 * must be 0.
 * Rotated boxes (appended at 256 bytes; callers of a smaller size, and
 * zeroed fields, have none): with box_coding QUELT_BOX_ROTATED,
 *   angles:          1 component, the angle of each candidate's box
 *   angles_element:  its element type
 *   angle_flags:     QUELT_ANGLE_* bits, 0 for radians turning clockwise
 *   rotated_overlap: QUELT_OVERLAP_*, 0 for the exact overlap
 * and for other codings angles.data NULL and the other three 0. See
 * quelt_decode for what rotated boxes give.
 */
typedef struct quelt_layout {
  uint32_t struct_size;
  int32_t box_coding;     /* QUELT_BOX_* */
  int32_t score_coding;   /* QUELT_SCORES_*, for the scores and the objectness */
  int32_t candidate_kind; /* QUELT_CANDIDATES_* */
  int64_t batch;          /* images, 0 or more */
  int64_t candidates;     /* candidates per image, 0 or more */
  int32_t classes;
  int32_t reserved;
  quelt_view boxes;
  quelt_view objectness;
  quelt_view scores;
  quelt_element boxes_element;
  quelt_element objectness_element;
  quelt_element scores_element;
  quelt_view extras;
  quelt_element extras_element;
  int32_t extras_count;
  int32_t keypoint_count;
  int32_t keypoint_values;
  int32_t keypoint_coding; /* QUELT_SCORES_* */
  int32_t keypoint_form;   /* QUELT_KEYPOINTS_* */
  int32_t reserved_extras;
  /* rotated boxes */
  quelt_view angles;
  quelt_element angles_element;
  int32_t angle_flags;     /* QUELT_ANGLE_* */
  int32_t rotated_overlap; /* QUELT_OVERLAP_* */
} quelt_layout;

QUELT_STATIC_ASSERT(quelt_layout_size, sizeof(quelt_layout) == 312);
QUELT_STATIC_ASSERT(quelt_layout_struct_size, offsetof(quelt_layout, struct_size) == 0);
QUELT_STATIC_ASSERT(quelt_layout_box_coding, offsetof(quelt_layout, box_coding) == 4);
QUELT_STATIC_ASSERT(quelt_layout_score_coding, offsetof(quelt_layout, score_coding) == 8);
QUELT_STATIC_ASSERT(quelt_layout_candidate_kind, offsetof(quelt_layout, candidate_kind) == 12);
QUELT_STATIC_ASSERT(quelt_layout_batch, offsetof(quelt_layout, batch) == 16);
QUELT_STATIC_ASSERT(quelt_layout_candidates, offsetof(quelt_layout, candidates) == 24);
QUELT_STATIC_ASSERT(quelt_layout_classes, offsetof(quelt_layout, classes) == 32);
QUELT_STATIC_ASSERT(quelt_layout_reserved, offsetof(quelt_layout, reserved) == 36);
QUELT_STATIC_ASSERT(quelt_layout_boxes, offsetof(quelt_layout, boxes) == 40);
QUELT_STATIC_ASSERT(quelt_layout_objectness, offsetof(quelt_layout, objectness) == 72);
QUELT_STATIC_ASSERT(quelt_layout_scores, offsetof(quelt_layout, scores) == 104);
QUELT_STATIC_ASSERT(quelt_layout_boxes_element, offsetof(quelt_layout, boxes_element) == 136);
QUELT_STATIC_ASSERT(quelt_layout_objectness_element,
                    offsetof(quelt_layout, objectness_element) == 152);
QUELT_STATIC_ASSERT(quelt_layout_scores_element, offsetof(quelt_layout, scores_element) == 168);
/* extras and keypoints */
QUELT_STATIC_ASSERT(quelt_layout_extras, offsetof(quelt_layout, extras) == 184);
QUELT_STATIC_ASSERT(quelt_layout_extras_element, offsetof(quelt_layout, extras_element) == 216);
QUELT_STATIC_ASSERT(quelt_layout_extras_count, offsetof(quelt_layout, extras_count) == 232);
QUELT_STATIC_ASSERT(quelt_layout_keypoint_count, offsetof(quelt_layout, keypoint_count) == 236);
QUELT_STATIC_ASSERT(quelt_layout_keypoint_values, offsetof(quelt_layout, keypoint_values) == 240);
QUELT_STATIC_ASSERT(quelt_layout_keypoint_coding, offsetof(quelt_layout, keypoint_coding) == 244);
QUELT_STATIC_ASSERT(quelt_layout_keypoint_form, offsetof(quelt_layout, keypoint_form) == 248);
QUELT_STATIC_ASSERT(quelt_layout_reserved_extras, offsetof(quelt_layout, reserved_extras) == 252);
/* rotated boxes */
QUELT_STATIC_ASSERT(quelt_layout_angles, offsetof(quelt_layout, angles) == 256);
QUELT_STATIC_ASSERT(quelt_layout_angles_element, offsetof(quelt_layout, angles_element) == 288);
QUELT_STATIC_ASSERT(quelt_layout_angle_flags, offsetof(quelt_layout, angle_flags) == 304);
QUELT_STATIC_ASSERT(quelt_layout_rotated_overlap, offsetof(quelt_layout, rotated_overlap) == 308);

/*
 * How an image was fitted to the network input: network-input pixel x came
 * from original pixel (x - pad_x) / scale_x, likewise for y. Sizes and scales
 * must be above 0 and every value finite. Boxes mapped back are clipped to
 * [0, original_width] x [0, original_height].
 */
typedef struct quelt_image_geometry {
  float original_width; /* pixels of the original image */
  float original_height;
  float scale_x; /* network-input pixels per original pixel */
  float scale_y;
  float pad_x; /* network-input pixels added on the left */
  float pad_y; /* and on the top */
} quelt_image_geometry;

QUELT_STATIC_ASSERT(quelt_image_geometry_size, sizeof(quelt_image_geometry) == 24);
QUELT_STATIC_ASSERT(quelt_image_geometry_original_width,
                    offsetof(quelt_image_geometry, original_width) == 0);
QUELT_STATIC_ASSERT(quelt_image_geometry_original_height,
                    offsetof(quelt_image_geometry, original_height) == 4);
QUELT_STATIC_ASSERT(quelt_image_geometry_scale_x, offsetof(quelt_image_geometry, scale_x) == 8);
QUELT_STATIC_ASSERT(quelt_image_geometry_scale_y, offsetof(quelt_image_geometry, scale_y) == 12);
QUELT_STATIC_ASSERT(quelt_image_geometry_pad_x, offsetof(quelt_image_geometry, pad_x) == 16);
QUELT_STATIC_ASSERT(quelt_image_geometry_pad_y, offsetof(quelt_image_geometry, pad_y) == 20);

/*
 * Thresholds and options of quelt_decode. `struct_size` as for quelt_layout;
 * quelt_decode_options_init fills the defaults. A threshold may be any value
 * but NaN: a score threshold below 0 lets every score pass (NaN scores
 * never), an IoU threshold of 1 or more suppresses nothing, and one below 0
 * keeps only the best record of each class (of all, when agnostic) besides
 * the boxes with a NaN bound.
 */
typedef struct quelt_decode_options {
  uint32_t struct_size;
  int32_t network_width; /* network input in pixels, 1 or more */
  int32_t network_height;
  int32_t agnostic;       /* 0: suppress class by class (default); 1: across classes */
  int32_t multi_label;    /* 0: each candidate's best class (default); 1: every passing class */
  int32_t max_detections; /* per image, the highest scores after suppression; 0: no cap */
  const float* score_thresholds;  /* one per image */
  const float* iou_thresholds;    /* one per image; not read for end-to-end candidates */
  const int32_t* classes_allowed; /* NULL: every class */
  int64_t classes_allowed_count;
  const quelt_image_geometry* geometry; /* NULL, or one per image */
  int32_t details;                      /* 0: a detections_batch; 1: a quelt_details_batch */
  int32_t reserved_details;             /* 0 */
} quelt_decode_options;

QUELT_STATIC_ASSERT(quelt_decode_options_size, sizeof(quelt_decode_options) == 72);
QUELT_STATIC_ASSERT(quelt_decode_options_network_width,
                    offsetof(quelt_decode_options, network_width) == 4);
QUELT_STATIC_ASSERT(quelt_decode_options_network_height,
                    offsetof(quelt_decode_options, network_height) == 8);
QUELT_STATIC_ASSERT(quelt_decode_options_agnostic, offsetof(quelt_decode_options, agnostic) == 12);
QUELT_STATIC_ASSERT(quelt_decode_options_multi_label,
                    offsetof(quelt_decode_options, multi_label) == 16);
QUELT_STATIC_ASSERT(quelt_decode_options_max, offsetof(quelt_decode_options, max_detections) == 20);
QUELT_STATIC_ASSERT(quelt_decode_options_scores,
                    offsetof(quelt_decode_options, score_thresholds) == 24);
QUELT_STATIC_ASSERT(quelt_decode_options_ious,
                    offsetof(quelt_decode_options, iou_thresholds) == 32);
QUELT_STATIC_ASSERT(quelt_decode_options_allowed,
                    offsetof(quelt_decode_options, classes_allowed) == 40);
QUELT_STATIC_ASSERT(quelt_decode_options_allowed_count,
                    offsetof(quelt_decode_options, classes_allowed_count) == 48);
QUELT_STATIC_ASSERT(quelt_decode_options_geometry, offsetof(quelt_decode_options, geometry) == 56);
QUELT_STATIC_ASSERT(quelt_decode_options_details, offsetof(quelt_decode_options, details) == 64);
QUELT_STATIC_ASSERT(quelt_decode_options_reserved_details,
                    offsetof(quelt_decode_options, reserved_details) == 68);

/*
 * Decodes the candidates `layout` describes into a batch with one record list
 * per image, read through the detections_batch_* functions. Only reads the
 * caller's buffers, and keeps none of them after returning.
 *
 * Scores. With logits, the objectness and the class scores go through the
 * logistic first. The score of candidate n for class k is objectness x class
 * score, with objectness 1 for layouts without one. A raw candidate with an
 * objectness is considered only when its objectness is strictly above the
 * image's score threshold. A class passes when its score is strictly above
 * the threshold (NaN never passes) and the class is allowed (classes_allowed
 * lists the allowed indices; duplicates and indices naming no class are
 * harmless, a non-NULL list of 0 entries allows none).
 *   best class only: a candidate yields one record, for the first allowed
 *     class of largest score, when that score passes;
 *   multi-label: one record per allowed class that passes.
 * End-to-end rows yield one record when their score passes and their class
 * value is a whole number in [0, 2^31 - 1] that is allowed (and below
 * `classes` when that is not 0); they are not suppressed.
 *
 * Suppression. Records are ranked by descending score; equal scores (-0 and
 * +0 are equal) keep candidate order, then class order. Going down the
 * ranking, a record is removed when its IoU with a record kept before it, of
 * the same class (any class when agnostic), is strictly above the image's IoU
 * threshold. IoU is intersection / union of the boxes in network-input
 * pixels; boxes that only touch, or of zero area, have an IoU of 0, so they
 * remove nothing and are removed by nothing unless the threshold is below 0.
 * A box with a NaN bound has a NaN IoU with every box: it is never removed
 * and removes nothing.
 *
 * Rotated boxes (box_coding QUELT_BOX_ROTATED): each candidate's box is
 * centre x, centre y, width, height in network-input pixels and an angle
 * from `angles`, taken as radians turning the width from the x axis toward
 * the y axis (clockwise on the image), or as angle_flags says: degrees are
 * turned into radians by one single-precision product with
 * 0.017453292f, and QUELT_ANGLE_COUNTERCLOCKWISE negates the angle. They are
 * suppressed as above with the overlap rotated_overlap names:
 *   exact: the intersection over union of the two rectangles, the
 *     intersection found by clipping one rectangle by the other (a convex
 *     polygon clip) in double precision in the frame of one of them, the
 *     ratio rounded once to float and compared with the threshold. It is
 *     symmetric, in [0, 1], 1 for identical boxes, 0 for boxes that are apart,
 *     only touch, or have no area (a width or height of 0), and never above
 *     the smaller area over the larger. An intersection within 2^-24 of the
 *     smaller box's area of 0, or of that area, counts as exactly that
 *     (nested and touching boxes then give their exact ratios). Boxes whose
 *     axis-aligned bounds are apart are never clipped.
 *   probabilistic: the overlap of the usual OBB post-processing, an
 *     approximation: each box a Gaussian with variances w^2 / 12 and
 *     h^2 / 12 along its sides, their Bhattacharyya distance d clamped to
 *     [1e-7, 100], overlap 1 - sqrt(1 - exp(-d) + 1e-7), in double. It is
 *     never exactly 0 and not 1 for identical boxes; suppression then tests
 *     every kept box of the class, without culling.
 * Sines and cosines are the library's own, in double, the same bits on every
 * platform.
 * A rotated box with a value that is not finite, a negative width or height,
 * or bounds beyond the float range neither suppresses nor is suppressed.
 * Its 28-byte record holds the box's axis-aligned bounds: centre -+
 * (|w cos a| + |h sin a|) / 2 across x and (|w sin a| + |h cos a|) / 2
 * across y, in double, rounded outwards to float, then as any other edges.
 *
 * Output. Each image's records come in ranking order, on every run and
 * platform; with max_detections above 0 only the first max_detections stay.
 * A record's objectness is the candidate's objectness (1 without one), its
 * probability its score. Without geometry, edges are fractions of the network
 * input (x / network_width, ...), not clipped, as the other entries give them;
 * with geometry, edges are in original-image pixels, clipped to the image.
 * 0 candidates give every image an empty list; a batch of 0 images gives an
 * empty batch.
 *
 * Details. With options.details 1 the batch is a quelt_details_batch, which
 * also keeps each record's candidate (quelt_batch_sources_store) and, after
 * quelt_map_detections, stays in step with its records. Extras (extras_count
 * above 0) always give a quelt_details_batch: only the kept records' extras
 * are read, after suppression, and handed out by quelt_batch_extras_store;
 * their keypoints by quelt_batch_keypoints_store. Rotated boxes always
 * give a quelt_details_batch, which also keeps each record's rotated box
 * (quelt_batch_rotated_store; network-input pixels without geometry).
 *
 * Sets *out_handler to {NULL, detections_batch} first; on success it holds
 * the new batch, which the caller owns until object_handler_destroy. Fails,
 * before reading any score, with a text naming the field, for: a NULL layout,
 * options or out_handler; an unknown struct_size, coding, kind, or agnostic /
 * multi_label or details other than 0 or 1, a nonzero reserved_details;
 * negative counts or max_detections; raw
 * candidates with `classes` below 1; a nonzero `reserved`; sizes and strides
 * that reach further than a pointer can, or more records per image than 32
 * bits count; a NULL data pointer that would be read; network sizes below 1;
 * NULL or NaN thresholds; a NULL allow-list with entries, or a negative count;
 * geometry with a size or scale not above 0, or a value that is not finite;
 * an unknown element type, a quantized scale that is not finite and above 0,
 * a zero point outside its type, or a nonzero element `reserved`; a negative
 * extras_count or keypoint_count, keypoint_values other than 2 or 3 with
 * keypoints, more keypoint values than extras, an unknown keypoint_coding or
 * keypoint_form (the grid form on a layout), a nonzero reserved_extras, or a
 * NULL extras view that would be read; rotated boxes without angles (angles.data NULL), unknown
 * angle_flags bits or rotated_overlap, and angles, angle flags or an overlap given for boxes that
 * are not rotated. The handle then holds no batch.
 */
QUELT_API return_status quelt_decode(const quelt_layout* layout,
                                     const quelt_decode_options* options,
                                     object_handler* out_handler);

/* ------------------------------------------------------------------------ */
/* Raw per-level heads (box distributions and class maps per stride)        */
/* ------------------------------------------------------------------------ */

/*
 * Where the values of one map of a level sit: channel `c` of grid cell
 * (row y, column x) of image `b` is
 *   data[b * image_stride + y * row_stride + x * column_stride + c * channel_stride]
 * counted in elements of `element` (NCHW (batch, C, H, W): strides (C*H*W,
 * W, 1, H*W); NHWC: (H*W*C, W*C, C, 1); padded rows: a larger row_stride).
 * Strides may be 0 or negative; the library only reads the data.
 */
typedef struct quelt_grid_view {
  const float* data; /* the first element, cast; NULL only where nothing is read */
  int64_t image_stride;
  int64_t row_stride;
  int64_t column_stride;
  int64_t channel_stride;
  quelt_element element;
} quelt_grid_view;

QUELT_STATIC_ASSERT(quelt_grid_view_size, sizeof(quelt_grid_view) == 56);
QUELT_STATIC_ASSERT(quelt_grid_view_data, offsetof(quelt_grid_view, data) == 0);
QUELT_STATIC_ASSERT(quelt_grid_view_image_stride, offsetof(quelt_grid_view, image_stride) == 8);
QUELT_STATIC_ASSERT(quelt_grid_view_row_stride, offsetof(quelt_grid_view, row_stride) == 16);
QUELT_STATIC_ASSERT(quelt_grid_view_column_stride, offsetof(quelt_grid_view, column_stride) == 24);
QUELT_STATIC_ASSERT(quelt_grid_view_channel_stride,
                    offsetof(quelt_grid_view, channel_stride) == 32);
QUELT_STATIC_ASSERT(quelt_grid_view_element, offsetof(quelt_grid_view, element) == 40);

/*
 * One level of a head: a grid of `height` x `width` cells, `stride`
 * network-input pixels apart.
 *   boxes:     4 x bins channels, side-major: channel side * bins + bin, the
 *              sides left, top, right, bottom
 *   scores:    `classes` channels, probabilities or logits (score_coding)
 *   score_sum: data NULL, or 1 channel: a probability per cell (e.g. the
 *              clipped sum of its class scores) that only screens: a cell is
 *              looked at only when it is above the image's score threshold
 * `reserved` must be 0.
 */
typedef struct quelt_level {
  int64_t height;
  int64_t width;
  int32_t stride; /* 1 or more */
  int32_t reserved;
  quelt_grid_view boxes;
  quelt_grid_view scores;
  quelt_grid_view score_sum;
} quelt_level;

QUELT_STATIC_ASSERT(quelt_level_size, sizeof(quelt_level) == 192);
QUELT_STATIC_ASSERT(quelt_level_height, offsetof(quelt_level, height) == 0);
QUELT_STATIC_ASSERT(quelt_level_width, offsetof(quelt_level, width) == 8);
QUELT_STATIC_ASSERT(quelt_level_stride, offsetof(quelt_level, stride) == 16);
QUELT_STATIC_ASSERT(quelt_level_reserved, offsetof(quelt_level, reserved) == 20);
QUELT_STATIC_ASSERT(quelt_level_boxes, offsetof(quelt_level, boxes) == 24);
QUELT_STATIC_ASSERT(quelt_level_scores, offsetof(quelt_level, scores) == 80);
QUELT_STATIC_ASSERT(quelt_level_score_sum, offsetof(quelt_level, score_sum) == 136);

/*
 * The levels of a raw head: `batch` images, `level_count` levels starting at
 * `levels` (an array, 192 bytes apart), `classes` (1 or more) class channels
 * and `bins` (1 or more) box channels per side in every level. `bins` = 1
 * means the box channels are the four distances themselves. `struct_size`
 * as for quelt_layout; quelt_levels_init fills one.
 * Extras and keypoints (appended after the first published size, 40 bytes;
 * zeroed, none) as quelt_layout's, a grid view per level in place of the
 * extras view: extras[l] holds extras_count channels per cell of level l.
 * keypoint_form QUELT_KEYPOINTS_GRID reads the raw terms of a pose head
 * (cell (gy, gx) of a level of stride s): x = (raw_x * 2 + gx) * s, y =
 * (raw_y * 2 + gy) * s, in single precision in that order;
 * QUELT_KEYPOINTS_PIXELS takes x and y as network-input pixels.
 */
typedef struct quelt_levels {
  uint32_t struct_size;
  int32_t score_coding; /* QUELT_SCORES_* */
  int64_t batch;
  int32_t classes;
  int32_t bins;
  int64_t level_count;
  const quelt_level* levels;
  const quelt_grid_view* extras; /* NULL, or one per level: extras_count channels */
  int32_t extras_count;
  int32_t keypoint_count;
  int32_t keypoint_values;
  int32_t keypoint_coding; /* QUELT_SCORES_* */
  int32_t keypoint_form;   /* QUELT_KEYPOINTS_* */
  int32_t reserved_extras;
} quelt_levels;

QUELT_STATIC_ASSERT(quelt_levels_size, sizeof(quelt_levels) == 72);
QUELT_STATIC_ASSERT(quelt_levels_struct_size, offsetof(quelt_levels, struct_size) == 0);
QUELT_STATIC_ASSERT(quelt_levels_score_coding, offsetof(quelt_levels, score_coding) == 4);
QUELT_STATIC_ASSERT(quelt_levels_batch, offsetof(quelt_levels, batch) == 8);
QUELT_STATIC_ASSERT(quelt_levels_classes, offsetof(quelt_levels, classes) == 16);
QUELT_STATIC_ASSERT(quelt_levels_bins, offsetof(quelt_levels, bins) == 20);
QUELT_STATIC_ASSERT(quelt_levels_level_count, offsetof(quelt_levels, level_count) == 24);
QUELT_STATIC_ASSERT(quelt_levels_levels, offsetof(quelt_levels, levels) == 32);
/* extras and keypoints */
QUELT_STATIC_ASSERT(quelt_levels_extras, offsetof(quelt_levels, extras) == 40);
QUELT_STATIC_ASSERT(quelt_levels_extras_count, offsetof(quelt_levels, extras_count) == 48);
QUELT_STATIC_ASSERT(quelt_levels_keypoint_count, offsetof(quelt_levels, keypoint_count) == 52);
QUELT_STATIC_ASSERT(quelt_levels_keypoint_values, offsetof(quelt_levels, keypoint_values) == 56);
QUELT_STATIC_ASSERT(quelt_levels_keypoint_coding, offsetof(quelt_levels, keypoint_coding) == 60);
QUELT_STATIC_ASSERT(quelt_levels_keypoint_form, offsetof(quelt_levels, keypoint_form) == 64);
QUELT_STATIC_ASSERT(quelt_levels_reserved_extras, offsetof(quelt_levels, reserved_extras) == 68);

/*
 * Decodes raw per-level heads as quelt_decode decodes raw candidates
 * without objectness: the candidates are the cells, level after level, row
 * by row within a level (that order breaks ties), each with the box below
 * and its class scores (after the logistic for logits); `options` as for
 * quelt_decode (thresholds, best class or multi-label, allow-list,
 * class-wise or agnostic suppression, cap, geometry).
 *
 * The box of cell (y, x) of a level of stride s, in single precision:
 * anchor ax = ((float)x + 0.5f) * s, ay likewise; for each side, with bins
 * above 1, m = the largest of its values v_k (the first of them, raised by
 * each later value above it), e_k = exp(v_k - m) (correctly rounded), t =
 * e_0 + e_1 + ... in bin order, and distance d = 0 * (e_0 / t) + 1 * (e_1 /
 * t) + ... in bin order; with bins 1, d = v_0. Corners: x_min = ax - d_left
 * * s, y_min = ay - d_top * s, x_max = ax + d_right * s, y_max = ay +
 * d_bottom * s. Only cells with a passing class have their box computed.
 *
 * Fails like quelt_decode, naming the field (`levels.levels[1].boxes.
 * row_stride`), for: a NULL levels, options or out_handler; an unknown
 * struct_size or score_coding; a negative batch or level_count; classes or
 * bins below 1; a NULL levels array with levels; a level with a height,
 * width or stride below 1, a nonzero reserved, a bad element description,
 * a NULL map that would be read, or strides that reach further than a
 * pointer can; more cells (times classes for multi-label) than 32 bits
 * count; the extras and keypoint fields quelt_decode refuses, a NULL
 * extras array with extras, or an extras map as a level's maps are refused;
 * and every option quelt_decode refuses. The handle then holds no batch.
 */
QUELT_API return_status quelt_decode_levels(const quelt_levels* levels,
                                            const quelt_decode_options* options,
                                            object_handler* out_handler);

/* Fills `levels` with struct_size set and every other field 0. Does nothing
 * for NULL. */
QUELT_API void quelt_levels_init(quelt_levels* levels);

/*
 * Fills `layout` with struct_size set and every other field 0 (no parts;
 * centre-size boxes, probabilities, raw candidates), to be described by the
 * caller. Does nothing for NULL. The quelt_layout_* helpers below fill one
 * for the usual exports.
 */
QUELT_API void quelt_layout_init(quelt_layout* layout);

/*
 * Fills `options` with the defaults: struct_size set, network size 0 (to be
 * set), class by class, best class only, no cap, no thresholds (to be set), no
 * class filter, no geometry. Does nothing for NULL.
 */
QUELT_API void quelt_decode_options_init(quelt_decode_options* options);

/*
 * Layout helpers for the usual exports of contiguous float tensors, centre-size
 * boxes and probabilities unless said otherwise. Each fills every field of
 * `layout` (nothing for NULL); change box_coding or score_coding afterwards for
 * other codings. They check nothing: quelt_decode does. They describe float32
 * (the element fields 0): the parts they place after the first, e.g. the
 * scores of quelt_layout_columns at data + 4 x candidates, are offset in
 * floats, so for other element types set each view's data yourself.
 */

/*
 * (batch, candidates, 4 [+ 1] + classes): a row per candidate, the box, then
 * the objectness when has_objectness is not 0, then one score per class.
 */
QUELT_API void quelt_layout_rows(quelt_layout* layout, const float* data, int64_t batch,
                                 int64_t candidates, int32_t classes, int32_t has_objectness);

/*
 * (batch, 4 + classes, candidates): the raw anchor-free export, read as it is,
 * without a transpose.
 */
QUELT_API void quelt_layout_columns(quelt_layout* layout, const float* data, int64_t batch,
                                    int64_t candidates, int32_t classes);

/*
 * Boxes (batch, candidates, 4) with scores (batch, candidates, classes), or
 * (batch, classes, candidates) when scores_by_class is not 0. No objectness.
 */
QUELT_API void quelt_layout_separate(quelt_layout* layout, const float* boxes, const float* scores,
                                     int64_t batch, int64_t candidates, int32_t classes,
                                     int32_t scores_by_class);

/*
 * (batch, candidates, 6): x_min, y_min, x_max, y_max, score, class; end-to-end
 * candidates, corner boxes, classes 0.
 */
QUELT_API void quelt_layout_end_to_end(quelt_layout* layout, const float* data, int64_t batch,
                                       int64_t candidates);

/*
 * The struct a program has is the one of the header it was compiled with.
 * The fill functions above (quelt_levels_init to quelt_layout_end_to_end)
 * write the struct as they first published it (quelt_layout 184 bytes,
 * quelt_decode_options 64, quelt_levels 40, struct_size that size), so a
 * program built against that header never gets more written than it has room
 * for. A program compiled with this header reaches them through the macros
 * below instead, which pass sizeof the struct of its header: the _sized
 * functions zero `size` bytes, set struct_size to `size`, and fill the
 * fields as the function of the same name does. A size below 8 writes
 * nothing; a size the decoding calls do not read is refused by them.
 */
QUELT_API void quelt_levels_init_sized(quelt_levels* levels, uint32_t size);
QUELT_API void quelt_layout_init_sized(quelt_layout* layout, uint32_t size);
QUELT_API void quelt_decode_options_init_sized(quelt_decode_options* options, uint32_t size);
QUELT_API void quelt_layout_rows_sized(quelt_layout* layout, const float* data, int64_t batch,
                                       int64_t candidates, int32_t classes, int32_t has_objectness,
                                       uint32_t size);
QUELT_API void quelt_layout_columns_sized(quelt_layout* layout, const float* data, int64_t batch,
                                          int64_t candidates, int32_t classes, uint32_t size);
QUELT_API void quelt_layout_separate_sized(quelt_layout* layout, const float* boxes,
                                           const float* scores, int64_t batch, int64_t candidates,
                                           int32_t classes, int32_t scores_by_class, uint32_t size);
QUELT_API void quelt_layout_end_to_end_sized(quelt_layout* layout, const float* data, int64_t batch,
                                             int64_t candidates, uint32_t size);

/* clang-format off */
#define quelt_levels_init(levels) \
  quelt_levels_init_sized((levels), (uint32_t)sizeof(quelt_levels))
#define quelt_layout_init(layout) \
  quelt_layout_init_sized((layout), (uint32_t)sizeof(quelt_layout))
#define quelt_decode_options_init(options) \
  quelt_decode_options_init_sized((options), (uint32_t)sizeof(quelt_decode_options))
#define quelt_layout_rows(layout, data, batch, candidates, classes, has_objectness) \
  quelt_layout_rows_sized((layout), (data), (batch), (candidates), (classes), \
                          (has_objectness), (uint32_t)sizeof(quelt_layout))
#define quelt_layout_columns(layout, data, batch, candidates, classes) \
  quelt_layout_columns_sized((layout), (data), (batch), (candidates), (classes), \
                             (uint32_t)sizeof(quelt_layout))
#define quelt_layout_separate(layout, boxes, scores, batch, candidates, classes, by_class) \
  quelt_layout_separate_sized((layout), (boxes), (scores), (batch), (candidates), (classes), \
                              (by_class), (uint32_t)sizeof(quelt_layout))
#define quelt_layout_end_to_end(layout, data, batch, candidates) \
  quelt_layout_end_to_end_sized((layout), (data), (batch), (candidates), \
                                (uint32_t)sizeof(quelt_layout))
/* clang-format on */

/*
 * Geometry of an image stretched to the network input: scales network size /
 * original size, no padding. Computed as given, unchecked.
 */
QUELT_API quelt_image_geometry quelt_geometry_stretch(int32_t network_width, int32_t network_height,
                                                      float original_width, float original_height);

/*
 * Geometry of an image scaled to fit, keeping its aspect, and padded equally
 * on both sides, as the common letterbox preprocessing does it: one scale
 * r = min(network_width / original_width, network_height / original_height)
 * for both axes; the resized size round(original x r); the padding on the
 * left round((network_width - resized width) / 2 - 0.1), likewise on the top.
 * Computed as given, unchecked.
 */
QUELT_API quelt_image_geometry quelt_geometry_letterbox(int32_t network_width,
                                                        int32_t network_height,
                                                        float original_width,
                                                        float original_height);

/*
 * Maps the records of a batch to original-image pixels, and caps the records
 * per image. Changes the batch in place. It takes edges as fractions of the
 * network input: the batches of process_yolo_detections,
 * process_yolo_sealed_output_detections, and quelt_decode without geometry.
 * A batch quelt_decode made with geometry is in original-image pixels
 * already: pass geometry NULL to only cap it (mapping it again would take its
 * pixels for fractions; a detections_batch does not record which entry made
 * it; a quelt_details_batch does, and refuses the geometry). The details of a
 * quelt_details_batch stay with the records the cap keeps; its rotated
 * boxes (quelt_batch_rotated_store) are mapped with the geometry as
 * quelt_rotated_detection describes.
 *   geometry: NULL to leave the edges alone, or one per image; an edge x
 *     becomes (x x network_width - pad_x) / scale_x, clipped to the image.
 *   max_detections: 0 for no cap, or the number of records each image keeps:
 *     those of highest probability (equal ones: the earlier; NaN lowest).
 * Records keep their order. Fails, leaving the batch as it was, for a handle
 * without a batch, a negative max_detections, or, with geometry, network
 * sizes below 1 or a geometry quelt_decode would refuse.
 */
QUELT_API return_status quelt_map_detections(object_handler handler, int32_t network_width,
                                             int32_t network_height,
                                             const quelt_image_geometry* geometry,
                                             int32_t max_detections);

/* ------------------------------------------------------------------------ */
/* Details of a batch                                                        */
/* ------------------------------------------------------------------------ */

/*
 * What a batch holds besides its records, filled by quelt_batch_describe.
 * `struct_size` as for quelt_layout: set it (quelt_batch_info_init does)
 * before the call; the library writes only the fields that size covers.
 */
typedef struct quelt_batch_info {
  uint32_t struct_size;
  object_type type;        /* detections_batch or quelt_details_batch */
  int32_t has_sources;     /* 1: quelt_batch_sources_store gives each record's candidate */
  int32_t original_pixels; /* 1: edges are original-image pixels; 0: fractions of the input */
  /* extras and keypoints */
  int32_t extras_per_record;    /* E: quelt_batch_extras_store's floats a record */
  int32_t keypoints_per_record; /* K: quelt_batch_keypoints_store gives K x 3 floats a record */
  /* rotated boxes */
  int32_t rotated;          /* 1: quelt_batch_rotated_store gives each record's rotated box */
  int32_t reserved_rotated; /* written as 0 */
} quelt_batch_info;

QUELT_STATIC_ASSERT(quelt_batch_info_size, sizeof(quelt_batch_info) == 32);
QUELT_STATIC_ASSERT(quelt_batch_info_struct_size, offsetof(quelt_batch_info, struct_size) == 0);
QUELT_STATIC_ASSERT(quelt_batch_info_type, offsetof(quelt_batch_info, type) == 4);
QUELT_STATIC_ASSERT(quelt_batch_info_has_sources, offsetof(quelt_batch_info, has_sources) == 8);
QUELT_STATIC_ASSERT(quelt_batch_info_original_pixels,
                    offsetof(quelt_batch_info, original_pixels) == 12);
/* extras and keypoints */
QUELT_STATIC_ASSERT(quelt_batch_info_extras_per_record,
                    offsetof(quelt_batch_info, extras_per_record) == 16);
QUELT_STATIC_ASSERT(quelt_batch_info_keypoints_per_record,
                    offsetof(quelt_batch_info, keypoints_per_record) == 20);
/* rotated boxes */
QUELT_STATIC_ASSERT(quelt_batch_info_rotated, offsetof(quelt_batch_info, rotated) == 24);
QUELT_STATIC_ASSERT(quelt_batch_info_reserved_rotated,
                    offsetof(quelt_batch_info, reserved_rotated) == 28);

/* Fills `info` with struct_size `size` and every other field 0; nothing for
 * NULL or a size below 8. quelt_batch_info_init passes the size of this
 * header's struct. */
QUELT_API void quelt_batch_info_init_sized(quelt_batch_info* info, uint32_t size);
#define quelt_batch_info_init(info) \
  quelt_batch_info_init_sized((info), (uint32_t)sizeof(quelt_batch_info))

/*
 * Describes the batch behind `handler` into *info, at the caller's
 * struct_size. A detections_batch has nothing but its records; which
 * entry made it is unknown, so its original_pixels is 0. Fails, writing
 * nothing, for a NULL info, an unknown struct_size, or a handle without a
 * batch.
 */
QUELT_API return_status quelt_batch_describe(object_handler handler, quelt_batch_info* info);

/*
 * Copies, for each record of image `batch_idx` in record order, the index of
 * the candidate it came from: the candidate n of quelt_decode's views, and
 * for quelt_decode_levels the cell's position counting every cell of the
 * earlier levels first, then row by row within its level (y x width + x).
 * `out_sources` must have room for the count detections_batch_detections_count
 * reports. Writes nothing for an image without records, and nothing on
 * failure. Fails as that count does, and for a batch without sources (a
 * detections_batch: ask the decoding call for details).
 */
QUELT_API return_status quelt_batch_sources_store(object_handler handler, uint64_t batch_idx,
                                                  int64_t* out_sources);

/*
 * Copies the extras of image `batch_idx`'s records, in record order, E
 * floats a record (E: the call's extras_count, as quelt_batch_describe
 * reports it), to the start of `out_values`, which must have room for the
 * count detections_batch_detections_count reports times E. The values are
 * those of the extras view converted to float (quelt_element), unmapped.
 * Writes nothing for an image without records or a batch without extras,
 * and nothing on failure. Fails, with one line naming the argument, for a
 * handle without a batch or one that is not a details batch, or an index
 * not below the batch size.
 */
QUELT_API return_status quelt_batch_extras_store(object_handler handler, uint64_t batch_idx,
                                                 float* out_values);

/*
 * Copies the keypoints of image `batch_idx`'s records, in record order, K x
 * (x, y, visibility) floats a record (K: the call's keypoint_count), as the
 * extras store does. x and y are given as the records' edges are: fractions
 * of the network input, or, with geometry (of the decoding call or of
 * quelt_map_detections since), original-image pixels clipped to the image.
 * The visibility is that of the network (after the logistic for logits),
 * never mapped; keypoints of 2 values read visibility 1. Fails as the
 * extras store does.
 */
QUELT_API return_status quelt_batch_keypoints_store(object_handler handler, uint64_t batch_idx,
                                                    float* out_values);

/* ------------------------------------------------------------------------ */
/* Instance masks                                                            */
/* ------------------------------------------------------------------------ */

/*
 * Instance masks of a details batch (options.details = 1) whose extras hold
 * each record's mask coefficients, against the prototypes of each image.
 * The three forms a mask comes in:
 *   PROTOTYPE_PROBABILITIES  float probabilities on the prototype grid
 *   INPUT_BINARY             bytes 0 or 1 on the network-input grid
 *   ORIGINAL_BINARY          bytes 0 or 1 on the original image's grid (the
 *                            batch must have been decoded with geometry)
 * A mask holds only the pixels of its grid whose centres lie in the
 * record's box (in network-input pixels, as decoded), half-open: x_min <=
 * centre < x_max, likewise for y. On the prototype grid the box's edges are
 * multiplied by (float)prototype_width / network_width (height likewise)
 * and centres are u + 0.5; on the network-input grid centres are x + 0.5;
 * on the original grid (x + 0.5) x scale_x + pad_x, so the letterbox
 * padding is never part of a mask, and only pixels whose centre lies in
 * [0, original_width) are. Boxes that only touch share no pixel; a box of
 * zero area has an empty mask; a box narrower than a pixel holds one pixel
 * or none. The pixels of a mask are therefore a rectangle: its region.
 *
 * Values, in single precision, operation by operation: the logit of
 * prototype pixel (u, v) is 0 + k_0 x proto[0, v, u] + k_1 x proto[1, v, u]
 * + ... in channel order (k the record's coefficients), its probability
 * 1 / (exp(-logit) + 1) as the decoding's logistic. A binary pixel samples
 * the probabilities bilinearly at its centre mapped to the prototype grid,
 * p = centre_in_network_pixels x prototype_width / network_width - 0.5 (half-
 * pixel centres; below 0 counts as 0, beyond the last pixel as the last),
 * and is 1 when the sample is above 0.5 (NaN never is). The prototype
 * pixels next to a box are read as they are (no crop before sampling).
 * Work grows with the area of the boxes, not with the grids.
 */
#define QUELT_MASK_PROTOTYPE_PROBABILITIES 0
#define QUELT_MASK_INPUT_BINARY 1
#define QUELT_MASK_ORIGINAL_BINARY 2

/*
 * Where one record's mask sits: its width x height values, row after row,
 * start at value `offset` of the request's `values` (in values: floats or
 * bytes), and cover columns x .. x + width - 1 and rows y .. y + height - 1
 * of the mask's grid. An empty mask has width and height 0.
 */
typedef struct quelt_mask_region {
  int64_t offset;
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
} quelt_mask_region;

QUELT_STATIC_ASSERT(quelt_mask_region_size, sizeof(quelt_mask_region) == 24);
QUELT_STATIC_ASSERT(quelt_mask_region_offset, offsetof(quelt_mask_region, offset) == 0);
QUELT_STATIC_ASSERT(quelt_mask_region_x, offsetof(quelt_mask_region, x) == 8);
QUELT_STATIC_ASSERT(quelt_mask_region_y, offsetof(quelt_mask_region, y) == 12);
QUELT_STATIC_ASSERT(quelt_mask_region_width, offsetof(quelt_mask_region, width) == 16);
QUELT_STATIC_ASSERT(quelt_mask_region_height, offsetof(quelt_mask_region, height) == 20);

/*
 * What masks to make and where to put them. `struct_size` as for
 * quelt_layout; quelt_mask_request_init fills one.
 *   kind:        QUELT_MASK_*
 *   prototypes:  channel c of prototype pixel (row v, column u) of image b
 *                (the batch's images, in order), any element type; for the
 *                usual (batch, C, Hp, Wp) float tensor the strides are
 *                (C*Hp*Wp, Wp, 1, Hp*Wp)
 *   prototype_channels, prototype_height, prototype_width: C, Hp, Wp (1 or
 *                more each); C must equal the number of coefficients
 *   coefficients_first, coefficients_count: the coefficients are extras
 *                coefficients_first .. + count - 1 of each record; count 0
 *                means every extra from coefficients_first on
 *   values:      the caller's buffer of values_size bytes, for every mask of
 *                the image (floats for PROTOTYPE_PROBABILITIES, bytes
 *                otherwise); read by quelt_batch_masks_store only
 *   regions:     one quelt_mask_region per record of the image; read by
 *                quelt_batch_masks_store only
 * `reserved` must be 0.
 */
typedef struct quelt_mask_request {
  uint32_t struct_size;
  int32_t kind;
  quelt_grid_view prototypes;
  int32_t prototype_channels;
  int32_t prototype_height;
  int32_t prototype_width;
  int32_t coefficients_first;
  int32_t coefficients_count;
  int32_t reserved;
  void* values;
  uint64_t values_size;
  quelt_mask_region* regions;
} quelt_mask_request;

QUELT_STATIC_ASSERT(quelt_mask_request_size, sizeof(quelt_mask_request) == 112);
QUELT_STATIC_ASSERT(quelt_mask_request_struct_size, offsetof(quelt_mask_request, struct_size) == 0);
QUELT_STATIC_ASSERT(quelt_mask_request_kind, offsetof(quelt_mask_request, kind) == 4);
QUELT_STATIC_ASSERT(quelt_mask_request_prototypes, offsetof(quelt_mask_request, prototypes) == 8);
QUELT_STATIC_ASSERT(quelt_mask_request_prototype_channels,
                    offsetof(quelt_mask_request, prototype_channels) == 64);
QUELT_STATIC_ASSERT(quelt_mask_request_prototype_height,
                    offsetof(quelt_mask_request, prototype_height) == 68);
QUELT_STATIC_ASSERT(quelt_mask_request_prototype_width,
                    offsetof(quelt_mask_request, prototype_width) == 72);
QUELT_STATIC_ASSERT(quelt_mask_request_coefficients_first,
                    offsetof(quelt_mask_request, coefficients_first) == 76);
QUELT_STATIC_ASSERT(quelt_mask_request_coefficients_count,
                    offsetof(quelt_mask_request, coefficients_count) == 80);
QUELT_STATIC_ASSERT(quelt_mask_request_reserved, offsetof(quelt_mask_request, reserved) == 84);
QUELT_STATIC_ASSERT(quelt_mask_request_values, offsetof(quelt_mask_request, values) == 88);
QUELT_STATIC_ASSERT(quelt_mask_request_values_size,
                    offsetof(quelt_mask_request, values_size) == 96);
QUELT_STATIC_ASSERT(quelt_mask_request_regions, offsetof(quelt_mask_request, regions) == 104);

/* Fills `request` with struct_size set and every other field 0. Does nothing
 * for NULL. */
QUELT_API void quelt_mask_request_init(quelt_mask_request* request);

/*
 * Bytes the masks of image `batch_idx` take in `values` (the sum over its
 * records of width x height x 4 for probabilities, x 1 for bytes).
 * Reads no prototype or coefficient value. On success writes *out_bytes;
 * on failure leaves it alone. Fails as quelt_batch_masks_store does, except
 * for the buffers.
 */
QUELT_API return_status quelt_batch_masks_size(object_handler handler, uint64_t batch_idx,
                                               const quelt_mask_request* request,
                                               uint64_t* out_bytes);

/*
 * Computes the masks of image `batch_idx`, record after record, into
 * request->values (each mask right after the one before, from offset 0) and
 * writes each record's region to request->regions. Fails, writing nothing,
 * with a text naming the field, for: a handle that holds no details batch;
 * an index not below the batch size; a NULL request or an unknown
 * struct_size; an unknown kind; ORIGINAL_BINARY for a batch decoded without
 * geometry; prototype sizes below 1; coefficients outside the record's
 * extras, or prototypes whose channel count differs from the number of
 * coefficients; a prototype view the checks of quelt_decode_levels would
 * refuse; a nonzero reserved; a NULL regions with records, or NULL values,
 * or a values_size below quelt_batch_masks_size's answer.
 */
QUELT_API return_status quelt_batch_masks_store(object_handler handler, uint64_t batch_idx,
                                                const quelt_mask_request* request);
/* ------------------------------------------------------------------------ */
/* Rotated records                                                           */
/* ------------------------------------------------------------------------ */

/*
 * A rotated detection, as quelt_batch_rotated_store gives it: the rotated box
 * of a record of the same position, in network-input pixels (original-image
 * pixels once the batch is mapped with geometry, at decoding or by
 * quelt_map_detections), with the longer side as `width` (equal sides as
 * decoded) and `angle` in [0, pi) radians, turning the width from the x axis
 * toward the y axis (clockwise on the image), whatever angle_flags the layout
 * had. With geometry of equal scales the centre maps as an edge does and the
 * sizes are divided by the scale; with different scales the rectangle's four
 * corners map to a parallelogram and the record is the minimum-area
 * rectangle around it (a side along one of the parallelogram's, the first on
 * a tie), centred on the mapped centre. Not clipped to the image. A box with
 * a value that is not finite, or a negative size, keeps what the arithmetic
 * gives it (NaN where it spreads).
 */
typedef struct quelt_rotated_detection {
  float cx;
  float cy;
  float width;
  float height;
  float angle;
  int32_t class_id;
  float probability;
} quelt_rotated_detection;

QUELT_STATIC_ASSERT(quelt_rotated_detection_size, sizeof(quelt_rotated_detection) == 28);
QUELT_STATIC_ASSERT(quelt_rotated_detection_cx, offsetof(quelt_rotated_detection, cx) == 0);
QUELT_STATIC_ASSERT(quelt_rotated_detection_cy, offsetof(quelt_rotated_detection, cy) == 4);
QUELT_STATIC_ASSERT(quelt_rotated_detection_width, offsetof(quelt_rotated_detection, width) == 8);
QUELT_STATIC_ASSERT(quelt_rotated_detection_height,
                    offsetof(quelt_rotated_detection, height) == 12);
QUELT_STATIC_ASSERT(quelt_rotated_detection_angle, offsetof(quelt_rotated_detection, angle) == 16);
QUELT_STATIC_ASSERT(quelt_rotated_detection_class_id,
                    offsetof(quelt_rotated_detection, class_id) == 20);
QUELT_STATIC_ASSERT(quelt_rotated_detection_probability,
                    offsetof(quelt_rotated_detection, probability) == 24);

/*
 * Copies the rotated records of image `batch_idx`, one per record and in
 * record order, to the start of `out_records`, which must have room for the
 * count detections_batch_detections_count reports. Writes nothing for an
 * image without records, and nothing on failure. Fails as the count does,
 * and for a batch without rotated boxes (one not decoded from
 * QUELT_BOX_ROTATED boxes).
 */
QUELT_API return_status quelt_batch_rotated_store(object_handler handler, uint64_t batch_idx,
                                                  quelt_rotated_detection* out_records);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUELT_QUELT_H */
