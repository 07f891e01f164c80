// Logistic activation of one YOLO layer's anchor records, in place.
#ifndef QUELT_STEP_API_ACTIVATION_HPP
#define QUELT_STEP_API_ACTIVATION_HPP

#include "quelt/quelt.h"

namespace quelt {

// Walks batch x height x width x `anchors` records of `classes` + 5 floats
// from output.data; output.channels is not consulted. Raw mode applies the
// logistic function to the centre terms (then scales them by `xy_scale`), the
// objectness and the class scores; preactivated mode only scales the centre
// terms. The size terms are left for box extraction.
QUELT_API void activate_yolo_output(output_tensor output, int anchors, int classes, float xy_scale,
                                    bool preactivated);

}  // namespace quelt

#endif
