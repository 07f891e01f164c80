"""End-to-end rows, (batch, candidates, 6): x_min, y_min, x_max, y_max in
network-input pixels, score, class. The network suppressed already, so quelt
thresholds, caps and maps them back to the photo."""
import numpy as np

import quelt

rows = np.zeros((1, 300, 6), dtype=np.float32)
rows[0, 0] = [100, 180, 300, 460, 0.92, 0]
rows[0, 1] = [400, 300, 560, 380, 0.81, 2]
rows[0, 2] = [10, 10, 40, 40, 0.05, 9]  # below the threshold

photo = quelt.letterbox(640, (1280, 960))  # scaled by 0.5 to 640 x 480, 80 rows of padding above
(found,) = quelt.decode(rows, 640, layout="end-to-end", score=0.25, geometry=photo)
for d in found:
    print(f"class {d['class_id']}  p {d['probability']:.2f}  "
          f"({d['x_min']:.0f}, {d['y_min']:.0f})-({d['x_max']:.0f}, {d['y_max']:.0f}) px")
assert list(found["class_id"]) == [0, 2]
assert (found[0]["x_min"], found[0]["y_min"]) == (200, 200)
