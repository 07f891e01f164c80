/* The public header as plain C: record layouts and calls through the shared
 * library. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "quelt/quelt.h"

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                                \
    }                                                                          \
  } while (0)

_Static_assert(sizeof(return_status) == 24, "return_status size");
_Static_assert(offsetof(return_status, status_code) == 0, "status_code");
_Static_assert(offsetof(return_status, message) == 8, "message");
_Static_assert(offsetof(return_status, message_is_static) == 16, "message_is_static");
_Static_assert(sizeof(object_type) == 4, "object_type size");
_Static_assert(sizeof(object_handler) == 16, "object_handler size");
_Static_assert(offsetof(object_handler, object) == 0, "object");
_Static_assert(offsetof(object_handler, type) == 8, "type");
_Static_assert(sizeof(object_detection) == 28, "object_detection size");
_Static_assert(offsetof(object_detection, x_min) == 0, "x_min");
_Static_assert(offsetof(object_detection, y_min) == 4, "y_min");
_Static_assert(offsetof(object_detection, x_max) == 8, "x_max");
_Static_assert(offsetof(object_detection, y_max) == 12, "y_max");
_Static_assert(offsetof(object_detection, class_id) == 16, "class_id");
_Static_assert(offsetof(object_detection, objectness) == 20, "objectness");
_Static_assert(offsetof(object_detection, probability) == 24, "probability");
_Static_assert(sizeof(output_tensor) == 40, "output_tensor size");
_Static_assert(offsetof(output_tensor, data) == 0, "data");
_Static_assert(offsetof(output_tensor, batch) == 8, "batch");
_Static_assert(offsetof(output_tensor, width) == 16, "width");
_Static_assert(offsetof(output_tensor, height) == 24, "height");
_Static_assert(offsetof(output_tensor, channels) == 32, "channels");
_Static_assert(sizeof(yolo_output) == 152, "yolo_output size");
_Static_assert(offsetof(yolo_output, output) == 0, "output");
_Static_assert(offsetof(yolo_output, classes) == 40, "classes");
_Static_assert(offsetof(yolo_output, mask) == 48, "mask");
_Static_assert(offsetof(yolo_output, mask_size) == 56, "mask_size");
_Static_assert(offsetof(yolo_output, xy_scale) == 68, "xy_scale");
_Static_assert(offsetof(yolo_output, preactivated) == 72, "preactivated");
_Static_assert(offsetof(yolo_output, anchors) == 136, "anchors");
_Static_assert(sizeof(net_params) == 8, "net_params size");
_Static_assert(offsetof(net_params, width) == 0, "net width");
_Static_assert(offsetof(net_params, height) == 4, "net height");

_Static_assert(sizeof(quelt_layout) == 312, "quelt_layout size");
_Static_assert(offsetof(quelt_layout, angles) == 256, "quelt_layout angles");
_Static_assert(offsetof(quelt_layout, scores_element) == 168, "quelt_layout scores_element");
_Static_assert(sizeof(quelt_element) == 16, "quelt_element size");
_Static_assert(sizeof(quelt_decode_options) == 72, "quelt_decode_options size");
_Static_assert(sizeof(quelt_image_geometry) == 24, "quelt_image_geometry size");

/* The worked example of the heads entry: an anchor-free export (1, 4 + 2, 3)
 * read as columns, a 1280 x 720 picture letterboxed into 640 x 640. */
static int heads_worked_example(void) {
  /* clang-format off */
  static const float columns[6 * 3] = {
      320, 330, 100,  /* centre x of candidates 0, 1, 2 */
      320, 320, 200,  /* centre y */
      100, 100, 40,   /* width */
      50,  50,  40,   /* height */
      0.9f, 0.8f, 0.2f, /* class 0 */
      0.05f, 0.1f, 0.7f /* class 1 */
  };
  /* clang-format on */
  const float scores[1] = {0.25f};
  const float ious[1] = {0.45f};
  quelt_layout layout;
  quelt_decode_options options;
  quelt_image_geometry fitting = quelt_geometry_letterbox(640, 640, 1280, 720);
  object_handler handler;
  object_detection found[3];
  uint64_t count = 0;
  return_status status;

  CHECK(fitting.scale_x == 0.5f && fitting.scale_y == 0.5f);
  CHECK(fitting.pad_x == 0.0f && fitting.pad_y == 140.0f);
  quelt_layout_columns(&layout, columns, 1, 3, 2);
  quelt_decode_options_init(&options);
  options.network_width = 640;
  options.network_height = 640;
  options.score_thresholds = scores;
  options.iou_thresholds = ious;
  options.geometry = &fitting;
  status = quelt_decode(&layout, &options, &handler);
  CHECK(status.status_code == 1);
  status = detections_batch_detections_count(handler, 0, &count);
  CHECK(status.status_code == 1 && count == 2);
  status = detections_batch_detections_store(handler, 0, found);
  CHECK(status.status_code == 1);
  /* Candidate 1 overlaps candidate 0 of the same class by IoU 0.82: gone. */
  CHECK(found[0].class_id == 0 && found[0].probability == 0.9f && found[0].objectness == 1.0f);
  CHECK(found[0].x_min == 540 && found[0].y_min == 310 && found[0].x_max == 740 &&
        found[0].y_max == 410);
  CHECK(found[1].class_id == 1 && found[1].probability == 0.7f);
  CHECK(found[1].x_min == 160 && found[1].y_min == 80 && found[1].x_max == 240 &&
        found[1].y_max == 160);
  object_handler_destroy(handler);

  layout.struct_size = 0;
  status = quelt_decode(&layout, &options, &handler);
  CHECK(status.status_code == 0 && strstr(status.message, "layout.struct_size") != NULL);
  CHECK(handler.object == NULL);
  done_return_status(status);
  return 0;
}

/* A program built against the first published header (0.1): its structs,
 * frozen here. A library whose structs have grown since reads the fields
 * these sizes cover and defaults the rest, so the program keeps decoding. */
typedef struct layout_0_1 {
  uint32_t struct_size;
  int32_t box_coding, score_coding, candidate_kind;
  int64_t batch, candidates;
  int32_t classes, reserved;
  quelt_view boxes, objectness, scores;
} layout_0_1;

typedef struct options_0_1 {
  uint32_t struct_size;
  int32_t network_width, network_height, agnostic, multi_label, max_detections;
  const float* score_thresholds;
  const float* iou_thresholds;
  const int32_t* classes_allowed;
  int64_t classes_allowed_count;
  const quelt_image_geometry* geometry;
} options_0_1;

static int frozen_caller(void) {
  /* One row: centre (50, 50), size 20 x 10, objectness 0.9, classes 0.2, 0.8. */
  static const float row[7] = {50, 50, 20, 10, 0.9f, 0.2f, 0.8f};
  const float scores[1] = {0.5f};
  const float ious[1] = {0.5f};
  layout_0_1 layout;
  options_0_1 options;
  object_handler handler;
  object_detection found;
  uint64_t count = 0;
  return_status status;

  memset(&layout, 0, sizeof layout);
  layout.struct_size = sizeof layout;
  layout.batch = 1;
  layout.candidates = 1;
  layout.classes = 2;
  layout.boxes.data = row;
  layout.boxes.component_stride = 1;
  layout.objectness.data = row + 4;
  layout.scores.data = row + 5;
  layout.scores.component_stride = 1;
  /* Its options filled by the library's unsized init (the name in parentheses
   * is the exported function, not this header's macro), which must write
   * only the size that program has: the guard behind it stays untouched. */
  {
    struct {
      options_0_1 options;
      unsigned char guard[16];
    } guarded;
    size_t i;
    memset(&guarded, 0xAB, sizeof guarded);
    (quelt_decode_options_init)((quelt_decode_options*)(void*)&guarded.options);
    CHECK(guarded.options.struct_size == sizeof(options_0_1));
    for (i = 0; i < sizeof guarded.guard; ++i) {
      CHECK(guarded.guard[i] == 0xAB);
    }
    options = guarded.options;
  }
  options.network_width = 100;
  options.network_height = 100;
  options.score_thresholds = scores;
  options.iou_thresholds = ious;
  status = quelt_decode((const quelt_layout*)(const void*)&layout,
                        (const quelt_decode_options*)(const void*)&options, &handler);
  CHECK(status.status_code == 1);
  status = detections_batch_detections_count(handler, 0, &count);
  CHECK(status.status_code == 1 && count == 1);
  status = detections_batch_detections_store(handler, 0, &found);
  CHECK(status.status_code == 1);
  CHECK(found.class_id == 1 && found.probability == 0.9f * 0.8f && found.x_min == 0.4f);
  object_handler_destroy(handler);
  return 0;
}

int main(void) {
  object_handler zeroed;
  uint64_t size = 77;
  return_status status;

  /* The loaded library is the one these headers came with. */
  CHECK(quelt_version_number() == QUELT_VERSION_NUMBER);
  CHECK(strcmp(quelt_version_string(), QUELT_VERSION_STRING) == 0);

  memset(&zeroed, 0, sizeof zeroed);
  status = detections_batch_size(zeroed, &size);
  CHECK(status.status_code == 0);
  CHECK(status.message != NULL);
  CHECK(status.message_is_static == 0);
  CHECK(strstr(status.message,
               "Failed to check object_handler type, expected:detections_batch, got:unknown") !=
        NULL);
  CHECK(size == 77);
  done_return_status(status);

  status = detections_batch_detections_count(zeroed, 0, &size);
  CHECK(status.status_code == 0);
  done_return_status(status);

  status = detections_batch_detections_store(zeroed, 0, NULL);
  CHECK(status.status_code == 0);
  done_return_status(status);

  object_handler_destroy(zeroed);
  if (heads_worked_example() != 0 || frozen_caller() != 0) {
    return 1;
  }
  puts("c_abi_test: 3 passed, 0 failed");
  return 0;
}
