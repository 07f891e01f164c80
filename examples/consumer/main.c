/* Decodes a tiny sealed tensor with quelt's C interface and prints what it
 * finds. Exits with 1 if the library does not find the expected boxes. */
#include <stdio.h>
#include <stdlib.h>

#include <quelt/quelt.h>

#if QUELT_VERSION_NUMBER < 100
#error "needs quelt 0.1 or later"
#endif

int main(void) {
  /* One image, four rows of two classes from a 320 x 320 network: centre x,
   * centre y, width, height (pixels), objectness, then one score per class. */
  float rows[] = {
      100, 120, 60,  180, 0.90f, 0.95f, 0.02f, /* a person */
      104, 118, 58,  176, 0.80f, 0.90f, 0.03f, /* the same person again */
      240, 200, 110, 70,  0.85f, 0.02f, 0.93f, /* a car */
      40,  40,  20,  20,  0.10f, 0.90f, 0.05f, /* too faint */
  };
  float conf[] = {0.25f}; /* one detection threshold per image */
  float nms[] = {0.45f};  /* one overlap threshold per image */
  object_handler handler;
  return_status status =
      process_yolo_sealed_output_detections(rows, 4, 1, 2, conf, nms, 320, 320, &handler);
  if (status.status_code != 1) {
    fprintf(stderr, "quelt: %s\n", status.message);
    done_return_status(status);
    return 1;
  }
  uint64_t count = 0;
  object_detection* found = NULL;
  status = detections_batch_detections_count(handler, 0, &count);
  if (status.status_code == 1 && count > 0) {
    found = malloc(count * sizeof *found);
    status = found ? detections_batch_detections_store(handler, 0, found) : status;
  }
  if (status.status_code != 1) {
    fprintf(stderr, "quelt: %s\n", status.message);
  }
  done_return_status(status); /* harmless on success */
  object_handler_destroy(handler);

  printf("quelt %s found %d boxes\n", QUELT_VERSION_STRING, (int)count);
  for (uint64_t i = 0; found != NULL && i < count; ++i) {
    printf("  class %d  p %.3f  (%.3f, %.3f)-(%.3f, %.3f)\n", (int)found[i].class_id,
           found[i].probability, found[i].x_min, found[i].y_min, found[i].x_max, found[i].y_max);
  }
  const int expected = count == 2 && found[0].class_id == 0 && found[1].class_id == 1;
  free(found);
  return expected ? 0 : 1;
}
