"""Decodes the sample that quelt-make-sample writes, through both entries."""
import json
import pathlib
import sys

import numpy as np

import quelt

folder = pathlib.Path(sys.argv[1])
manifest = json.loads((folder / "manifest.json").read_text())
names = (folder / "sample.names").read_text().split("\n")
net = (manifest["net"]["width"], manifest["net"]["height"])
image = manifest["images"][0]

# Raw Darknet layers: quelt only reads these arrays.
layers = [
    quelt.Layer(np.load(folder / file), s["mask"], s["anchors"], s["xy_scale"], bool(s["preactivated"]))
    for file, s in zip(image["layers"], manifest["layers"])
]
(found,) = quelt.decode_layers(layers, classes=3, net_size=net, score=0.25, iou=0.45)
for d in found:
    print(f"{names[d['class_id']]:8} p {d['probability']:.3f}  "
          f"({d['x_min']:.3f}, {d['y_min']:.3f})-({d['x_max']:.3f}, {d['y_max']:.3f})")

# A sealed tensor is rewritten in place; copy=True keeps the loaded array intact.
sealed = np.load(folder / image["sealed"])
(same,) = quelt.decode_sealed(sealed, net, copy=True)
assert sorted(same["class_id"]) == sorted(found["class_id"])
