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
 *   1. A decoding call (`process_yolo_detections` or
 *      `process_yolo_sealed_output_detections`) fills an `object_handler`.
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
 * arrive from a caller; only detections_batch names a kind. */
#ifdef __cplusplus
typedef enum object_type : int32_t { detections_batch = 1 } object_type;
#else
typedef enum object_type { detections_batch = 1 } object_type;
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
                                                           uint64_t batch_idx,
                                                           uint64_t* out_count);

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
  int32_t* mask;     /* anchor pair used by each anchor slot of a cell */
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
QUELT_API return_status process_yolo_detections(const yolo_output* outputs,
                                                 uint64_t outputs_count, net_params net,
                                                 const float* conf_thresholds,
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

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUELT_QUELT_H */
