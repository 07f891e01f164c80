"""A pose export, (1, 4 + 1 + 17 x 3, candidates) as the anchor-free pose
networks give it: per candidate a box, the person score and 17 COCO
keypoints (x, y in input pixels, visibility after the logistic). quelt
suppresses the duplicate, reads the keypoints of the person it keeps (only
those), and maps them to the photo (1280 x 720, letterboxed into 640 x 640)
like the box edges."""
import numpy as np

import quelt

candidates = 3
output = np.zeros((1, 56, candidates), dtype=np.float32)
# Candidate 0: a person centred at (320, 300), 100 x 200 px, score 0.9;
# candidate 1 the same person seen again (0.6); candidate 2 a weak one.
output[0, :5, 0] = [320, 300, 100, 200, 0.9]
output[0, :5, 1] = [322, 302, 100, 200, 0.6]
output[0, :5, 2] = [100, 100, 40, 40, 0.1]
for k in range(17):
    # Keypoints down the middle of the box, one every 10 px, the first
    # (the nose) at (320, 220); the ankles (15, 16) not visible.
    output[0, 5 + 3 * k : 8 + 3 * k, 0] = [320, 220 + 10 * k, 0.1 if k >= 15 else 0.9]

photo = quelt.letterbox(640, (1280, 720))  # scale 0.5, 140 rows of padding above
(person,) = quelt.decode(output, 640, layout="columns", keypoints=17, sources=True,
                         geometry=photo)
print(f"{len(person.detections)} person from candidate {person.sources[0]}, "
      f"score {person.detections[0]['probability']:.2f}")
nose = person.keypoints[0, 0]
print(f"nose at ({nose[0]:.0f}, {nose[1]:.0f}) px of the photo, visibility {nose[2]:.2f}")
assert list(person.sources) == [0]
assert person.keypoints.shape == (1, 17, 3)
assert [round(float(v), 2) for v in nose] == [640.0, 160.0, 0.9]
assert [round(float(v), 2) for v in person.keypoints[0, 16]] == [640.0, 480.0, 0.1]
