"""Separate box and score tensors: boxes (batch, candidates, 4) as corners, and
raw class scores (batch, classes, candidates) that still need the logistic."""
import numpy as np

import quelt

boxes = np.zeros((2, 1000, 4), dtype=np.float32)  # two images, 416 x 416 input
scores = np.full((2, 20, 1000), -10.0, dtype=np.float32)  # 20 classes, logits
boxes[0, 3] = [50, 60, 150, 260]  # x_min, y_min, x_max, y_max
scores[0, 14, 3] = 3.0  # class 14, logistic(3) = 0.95
scores[0, 6, 3] = 2.5  # and class 6 on the same box
boxes[1, 999] = [200, 200, 300, 260]
scores[1, 6, 999] = 1.0

# layout="separate" reads scores shaped (batch, candidates, classes) instead.
found = quelt.decode(boxes, 416, scores=scores, layout="separate-by-class", box_format="xyxy",
                     logits=True, score=[0.5, 0.5], iou=0.5, multi_label=True)
for image, records in enumerate(found):
    print(f"image {image}:", [(int(d["class_id"]), round(float(d["probability"]), 3)) for d in records])
assert [list(r["class_id"]) for r in found] == [[14, 6], [6]]
assert found[0]["objectness"][0] == 1  # no objectness in this layout
