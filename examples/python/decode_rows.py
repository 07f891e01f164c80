"""Rows with objectness, (batch, candidates, 5 + classes): each row a box
(centre x, centre y, width, height in network-input pixels), an objectness and
one score per class. quelt only reads the array."""
import numpy as np

import quelt

output = np.zeros((1, 25200, 85), dtype=np.float32)  # 640 x 640 input, 80 classes
output[0, 7] = [320, 240, 120, 300, 0.9] + [0.0] * 80
output[0, 7, 5 + 0] = 0.95  # a person
output[0, 8] = output[0, 7]
output[0, 8, :2] += 4  # the same person, seen again
output[0, 9, :5] = [100, 500, 60, 40, 0.8]
output[0, 9, 5 + 16] = 0.9  # a dog

# The photo was 1920 x 1080, resized to 640 x 640 without keeping its aspect.
photo = quelt.stretch(640, (1920, 1080))
(found,) = quelt.decode(output, 640, layout="rows-objectness", score=0.25, iou=0.45, geometry=photo)
for d in found:
    print(f"class {d['class_id']:2}  p {d['probability']:.3f}  "
          f"({d['x_min']:.0f}, {d['y_min']:.0f})-({d['x_max']:.0f}, {d['y_max']:.0f}) px")
assert list(found["class_id"]) == [0, 16]

# Only dogs, at most 10 per image:
(dogs,) = quelt.decode(output, 640, layout="rows-objectness", classes=[16], max_det=10)
assert list(dogs["class_id"]) == [16]
