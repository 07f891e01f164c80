/* The public header as plain C: record layouts and calls through the shared
 * library. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "quelt/quelt.h"

#define CHECK(cond)                                                \
  do {                                                             \
    if (!(cond)) {                                                 \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                    \
    }                                                              \
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

int main(void) {
  object_handler zeroed;
  uint64_t size = 77;
  return_status status;

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
  puts("c_abi_test: 1 passed, 0 failed");
  return 0;
}
