"""Raw per-level heads as an NPU returns them: for strides 8, 16 and 32 an
int8 box-distribution map (4 sides x 16 bins) and an int8 class map (80
classes, logits), NHWC, each tensor with its own scale and zero point. quelt
compares the integers with a precomputed cut where they lie, runs the softmax
only for the cells whose class passes, and maps the boxes to the photo
(1280 x 720, letterboxed into the 320 x 320 input)."""
import numpy as np

import quelt

boxes, scores = [], []
for grid in (40, 20, 10):
    boxes.append(np.full((1, grid, grid, 64), -20, dtype=np.int8))  # every bin logit 0
    scores.append(np.full((1, grid, grid, 80), -128, dtype=np.int8))  # class logits -18.8
quant = {
    "boxes": [(0.125, -20)] * 3,  # value = (q - zero_point) * scale
    "scores": [(0.1, 60)] * 3,
}

# A person at cell (x 20, y 12) of the stride-8 level: class 0 logit
# (90 - 60) x 0.1 = 3, and each side's distribution peaked at bin 3 (logit 10),
# about 3 cells from the anchor point (164, 100).
scores[0][0, 12, 20, 0] = 90
for side in range(4):
    boxes[0][0, 12, 20, side * 16 + 3] = 60

photo = quelt.letterbox(320, (1280, 720))  # scale 0.25, 70 rows of padding above
(found,) = quelt.decode_levels(boxes, scores, 320, channels_last=True, quant=quant,
                               score=0.25, iou=0.45, geometry=photo)
for d in found:
    print(f"class {d['class_id']}  p {d['probability']:.3f}  "
          f"({d['x_min']:.1f}, {d['y_min']:.1f})-({d['x_max']:.1f}, {d['y_max']:.1f}) px")
assert list(found["class_id"]) == [0]
assert [round(float(found[0][k])) for k in ("x_min", "y_min", "x_max", "y_max")] == [560, 24, 752, 216]
