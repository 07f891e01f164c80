/* Decodes the output of an anchor-free detector, shape (1, 84, 8400): for each
 * of 8400 candidates, 4 box values (centre x, centre y, width, height in
 * network-input pixels) and 80 class scores, stored as columns. The photo was
 * 1280 x 720, letterboxed into the 640 x 640 input, and the boxes come back in
 * its pixels. Exits with 1 if quelt does not find the expected boxes. */
#include <stdio.h>
#include <stdlib.h>

#include <quelt/quelt.h>

enum { CLASSES = 80, CANDIDATES = 8400 };

/* Candidate n of the (4 + CLASSES, CANDIDATES) output: a box and one score. */
static void put(float* output, int n, const float box[4], int class_id, float score) {
  for (int c = 0; c < 4; ++c) {
    output[c * CANDIDATES + n] = box[c];
  }
  output[(4 + class_id) * CANDIDATES + n] = score;
}

int main(void) {
  float* output = calloc((size_t)(4 + CLASSES) * CANDIDATES, sizeof *output);
  if (output == NULL) {
    return 1;
  }
  const float person[4] = {320, 320, 100, 300};
  const float person_again[4] = {322, 318, 98, 296};
  const float car[4] = {500, 400, 160, 80};
  put(output, 100, person, 0, 0.90f);
  put(output, 101, person_again, 0, 0.80f); /* suppression removes it */
  put(output, 5000, car, 2, 0.75f);

  quelt_layout layout;
  quelt_layout_columns(&layout, output, 1, CANDIDATES, CLASSES);
  float score[] = {0.25f}; /* one threshold of each kind per image */
  float iou[] = {0.45f};
  quelt_image_geometry photo = quelt_geometry_letterbox(640, 640, 1280, 720);
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = 640;
  options.network_height = 640;
  options.score_thresholds = score;
  options.iou_thresholds = iou;
  options.max_detections = 100;
  options.geometry = &photo; /* NULL: fractions of the network input */

  object_handler handler;
  return_status status = quelt_decode(&layout, &options, &handler);
  free(output); /* quelt keeps no pointer into it */
  if (status.status_code != 1) {
    fprintf(stderr, "quelt: %s\n", status.message);
    done_return_status(status);
    return 1;
  }
  uint64_t count = 0;
  object_detection found[100];
  status = detections_batch_detections_count(handler, 0, &count);
  if (status.status_code == 1) {
    status = detections_batch_detections_store(handler, 0, found);
  }
  if (status.status_code != 1) {
    fprintf(stderr, "quelt: %s\n", status.message);
    count = 0;
  }
  done_return_status(status); /* harmless on success */
  object_handler_destroy(handler);

  for (uint64_t i = 0; i < count; ++i) {
    printf("class %d  p %.2f  (%.0f, %.0f)-(%.0f, %.0f) in photo pixels\n", (int)found[i].class_id,
           found[i].probability, found[i].x_min, found[i].y_min, found[i].x_max, found[i].y_max);
  }
  /* 640 x 360 after scaling by 0.5, so 140 rows of padding above. */
  return count == 2 && found[0].class_id == 0 && found[0].x_min == 540 && found[0].y_min == 60 &&
                 found[1].class_id == 2
             ? 0
             : 1;
}
