/* Instance masks from a segmentation export: outputs (1, 116, 8400) (for each
 * of 8400 candidates a box, 80 class scores and 32 mask coefficients, stored
 * as columns) and prototypes (1, 32, 160, 160). The photo was 1280 x 720,
 * letterboxed into the 640 x 640 input; each detection's mask comes back as
 * bytes 0 or 1 over the photo's pixels inside its box. Exits with 1 if the
 * mask is not the ellipse the prototypes hold. */
#include <stdio.h>
#include <stdlib.h>

#include <quelt/quelt.h>

enum { CLASSES = 80, COEFFICIENTS = 32, CANDIDATES = 8400, GRID = 160 };

int main(void) {
  float* output = calloc((size_t)(4 + CLASSES + COEFFICIENTS) * CANDIDATES, sizeof *output);
  float* prototypes = calloc((size_t)COEFFICIENTS * GRID * GRID, sizeof *prototypes);
  if (output == NULL || prototypes == NULL) {
    return 1;
  }
  /* One person, centre (320, 320), 100 x 300 input pixels; its mask logits
   * are prototype 0 alone (coefficient 1): 5 inside an ellipse filling the
   * box, -5 outside. */
  const int n = 4000;
  const float box[4] = {320, 320, 100, 300};
  for (int c = 0; c < 4; ++c) {
    output[c * CANDIDATES + n] = box[c];
  }
  output[(4 + 0) * CANDIDATES + n] = 0.9f;
  output[(4 + CLASSES + 0) * CANDIDATES + n] = 1.0f;
  for (int v = 0; v < GRID; ++v) {
    for (int u = 0; u < GRID; ++u) {
      const float dx = ((u + 0.5f) * 4 - 320) / 50, dy = ((v + 0.5f) * 4 - 320) / 150;
      prototypes[v * GRID + u] = dx * dx + dy * dy < 1 ? 5.0f : -5.0f;
    }
  }

  quelt_layout layout;
  quelt_layout_columns(&layout, output, 1, CANDIDATES, CLASSES);
  /* The coefficients ride along as extras: rows 84 to 115 of the columns. */
  quelt_view extras = {output + (4 + CLASSES) * CANDIDATES, 0, 1, CANDIDATES};
  layout.extras = extras;
  layout.extras_count = COEFFICIENTS;
  float score[] = {0.25f};
  float iou[] = {0.45f};
  quelt_image_geometry photo = quelt_geometry_letterbox(640, 640, 1280, 720);
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = 640;
  options.network_height = 640;
  options.score_thresholds = score;
  options.iou_thresholds = iou;
  options.geometry = &photo; /* masks in photo pixels need it */
  options.details = 1;       /* keep each record's coefficients and box */

  object_handler handler;
  return_status status = quelt_decode(&layout, &options, &handler);
  free(output);
  if (status.status_code != 1) {
    fprintf(stderr, "quelt: %s\n", status.message);
    done_return_status(status);
    free(prototypes);
    return 1;
  }

  /* Prototypes (1, 32, 160, 160): channel c, row v, column u of image b at
   * b * 32*160*160 + v * 160 + u + c * 160*160. */
  quelt_mask_request request;
  quelt_mask_request_init(&request);
  request.kind = QUELT_MASK_ORIGINAL_BINARY;
  quelt_grid_view view = {prototypes,  COEFFICIENTS * GRID * GRID, GRID, 1, GRID * GRID,
                          {0, 0, 0, 0}};
  request.prototypes = view;
  request.prototype_channels = COEFFICIENTS;
  request.prototype_height = GRID;
  request.prototype_width = GRID;
  request.coefficients_first = 0; /* extras 0 to 31 */

  uint64_t count = 0;
  uint64_t bytes = 0;
  unsigned char* values = NULL;
  quelt_mask_region* regions = NULL;
  status = detections_batch_detections_count(handler, 0, &count);
  if (status.status_code == 1) {
    status = quelt_batch_masks_size(handler, 0, &request, &bytes);
  }
  if (status.status_code == 1) {
    values = malloc(bytes + 1);
    regions = malloc((count + 1) * sizeof *regions);
    request.values = values;
    request.values_size = bytes;
    request.regions = regions;
    if (values == NULL || regions == NULL) {
      count = 0;
    } else {
      status = quelt_batch_masks_store(handler, 0, &request);
    }
  }
  if (status.status_code != 1) {
    fprintf(stderr, "quelt: %s\n", status.message);
    count = 0;
  }
  done_return_status(status);
  object_handler_destroy(handler);
  free(prototypes);

  long area = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const quelt_mask_region* r = &regions[i];
    for (int64_t k = 0; k < (int64_t)r->width * r->height; ++k) {
      area += values[r->offset + k];
    }
    printf("mask %d: columns %d to %d, rows %d to %d of the photo, %ld pixels set\n", (int)i,
           (int)r->x, (int)(r->x + r->width - 1), (int)r->y, (int)(r->y + r->height - 1), area);
  }
  free(values);
  free(regions);
  /* The ellipse of semi-axes 100 and 300 photo pixels: about 94,250 pixels,
   * in the box (540, 60)-(740, 660). */
  return count == 1 && area > 93000 && area < 95500 ? 0 : 1;
}
