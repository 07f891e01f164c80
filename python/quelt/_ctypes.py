"""ctypes mirrors of the records in quelt/quelt.h, and loading the library."""

import ctypes
import ctypes.util
import os
import pathlib

import numpy as np


class ReturnStatus(ctypes.Structure):
    # message stays a raw pointer: it must be handed back to done_return_status.
    _fields_ = [
        ("status_code", ctypes.c_int32),
        ("message", ctypes.c_void_p),
        ("message_is_static", ctypes.c_int32),
    ]


class ObjectHandler(ctypes.Structure):
    _fields_ = [("object", ctypes.c_void_p), ("type", ctypes.c_int32)]


class OutputTensor(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.POINTER(ctypes.c_float)),
        ("batch", ctypes.c_uint64),
        ("width", ctypes.c_uint64),
        ("height", ctypes.c_uint64),
        ("channels", ctypes.c_uint64),
    ]


class YoloOutput(ctypes.Structure):
    _fields_ = [
        ("output", OutputTensor),
        ("classes", ctypes.c_int32),
        ("reserved_44", ctypes.c_uint8 * 4),
        ("mask", ctypes.POINTER(ctypes.c_int32)),
        ("mask_size", ctypes.c_uint64),
        ("reserved_64", ctypes.c_uint8 * 4),
        ("xy_scale", ctypes.c_float),
        ("preactivated", ctypes.c_int32),
        ("reserved_76", ctypes.c_uint8 * 60),
        ("anchors", ctypes.POINTER(ctypes.c_float)),
        ("reserved_144", ctypes.c_uint8 * 8),
    ]


class NetParams(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int32), ("height", ctypes.c_int32)]


# The 28-byte object_detection record, field for field.
DETECTION_DTYPE = np.dtype(
    [
        ("x_min", "<f4"),
        ("y_min", "<f4"),
        ("x_max", "<f4"),
        ("y_max", "<f4"),
        ("class_id", "<i4"),
        ("objectness", "<f4"),
        ("probability", "<f4"),
    ]
)

# The 28-byte quelt_rotated_detection record, field for field.
ROTATED_DTYPE = np.dtype(
    [
        ("cx", "<f4"),
        ("cy", "<f4"),
        ("width", "<f4"),
        ("height", "<f4"),
        ("angle", "<f4"),
        ("class_id", "<i4"),
        ("probability", "<f4"),
    ]
)


class View(ctypes.Structure):
    # Strides count floats, not bytes.
    _fields_ = [
        ("data", ctypes.c_void_p),
        ("image_stride", ctypes.c_int64),
        ("candidate_stride", ctypes.c_int64),
        ("component_stride", ctypes.c_int64),
    ]


class Element(ctypes.Structure):
    # How a view's values are stored: ELEMENT_* with a quantized type's
    # zero point and scale.
    _fields_ = [
        ("type", ctypes.c_int32),
        ("zero_point", ctypes.c_int32),
        ("scale", ctypes.c_float),
        ("reserved", ctypes.c_int32),
    ]


class Layout(ctypes.Structure):
    _fields_ = [
        ("struct_size", ctypes.c_uint32),
        ("box_coding", ctypes.c_int32),
        ("score_coding", ctypes.c_int32),
        ("candidate_kind", ctypes.c_int32),
        ("batch", ctypes.c_int64),
        ("candidates", ctypes.c_int64),
        ("classes", ctypes.c_int32),
        ("reserved", ctypes.c_int32),
        ("boxes", View),
        ("objectness", View),
        ("scores", View),
        ("boxes_element", Element),
        ("objectness_element", Element),
        ("scores_element", Element),
        # extras and keypoints
        ("extras", View),
        ("extras_element", Element),
        ("extras_count", ctypes.c_int32),
        ("keypoint_count", ctypes.c_int32),
        ("keypoint_values", ctypes.c_int32),
        ("keypoint_coding", ctypes.c_int32),
        ("keypoint_form", ctypes.c_int32),
        ("reserved_extras", ctypes.c_int32),
        # rotated boxes
        ("angles", View),
        ("angles_element", Element),
        ("angle_flags", ctypes.c_int32),
        ("rotated_overlap", ctypes.c_int32),
    ]


class GridView(ctypes.Structure):
    # Strides count elements, not bytes.
    _fields_ = [
        ("data", ctypes.c_void_p),
        ("image_stride", ctypes.c_int64),
        ("row_stride", ctypes.c_int64),
        ("column_stride", ctypes.c_int64),
        ("channel_stride", ctypes.c_int64),
        ("element", Element),
    ]


class Level(ctypes.Structure):
    _fields_ = [
        ("height", ctypes.c_int64),
        ("width", ctypes.c_int64),
        ("stride", ctypes.c_int32),
        ("reserved", ctypes.c_int32),
        ("boxes", GridView),
        ("scores", GridView),
        ("score_sum", GridView),
    ]


class Levels(ctypes.Structure):
    _fields_ = [
        ("struct_size", ctypes.c_uint32),
        ("score_coding", ctypes.c_int32),
        ("batch", ctypes.c_int64),
        ("classes", ctypes.c_int32),
        ("bins", ctypes.c_int32),
        ("level_count", ctypes.c_int64),
        ("levels", ctypes.POINTER(Level)),
        # extras and keypoints
        ("extras", ctypes.POINTER(GridView)),
        ("extras_count", ctypes.c_int32),
        ("keypoint_count", ctypes.c_int32),
        ("keypoint_values", ctypes.c_int32),
        ("keypoint_coding", ctypes.c_int32),
        ("keypoint_form", ctypes.c_int32),
        ("reserved_extras", ctypes.c_int32),
    ]


class ImageGeometry(ctypes.Structure):
    _fields_ = [
        ("original_width", ctypes.c_float),
        ("original_height", ctypes.c_float),
        ("scale_x", ctypes.c_float),
        ("scale_y", ctypes.c_float),
        ("pad_x", ctypes.c_float),
        ("pad_y", ctypes.c_float),
    ]


class DecodeOptions(ctypes.Structure):
    _fields_ = [
        ("struct_size", ctypes.c_uint32),
        ("network_width", ctypes.c_int32),
        ("network_height", ctypes.c_int32),
        ("agnostic", ctypes.c_int32),
        ("multi_label", ctypes.c_int32),
        ("max_detections", ctypes.c_int32),
        ("score_thresholds", ctypes.POINTER(ctypes.c_float)),
        ("iou_thresholds", ctypes.POINTER(ctypes.c_float)),
        ("classes_allowed", ctypes.POINTER(ctypes.c_int32)),
        ("classes_allowed_count", ctypes.c_int64),
        ("geometry", ctypes.POINTER(ImageGeometry)),
        ("details", ctypes.c_int32),
        ("reserved_details", ctypes.c_int32),
    ]


BOX_CENTRE_SIZE, BOX_CORNERS, BOX_ROTATED = 0, 1, 2
ANGLE_DEGREES, ANGLE_COUNTERCLOCKWISE = 1, 2
OVERLAP_EXACT, OVERLAP_PROBABILISTIC = 0, 1
SCORES_PROBABILITIES, SCORES_LOGITS = 0, 1
CANDIDATES_RAW, CANDIDATES_END_TO_END = 0, 1
KEYPOINTS_PIXELS, KEYPOINTS_GRID = 0, 1
(
    ELEMENT_FLOAT32,
    ELEMENT_FLOAT16,
    ELEMENT_BFLOAT16,
    ELEMENT_INT8,
    ELEMENT_UINT8,
    ELEMENT_INT16,
    ELEMENT_UINT16,
) = range(7)

# Instance masks (quelt_batch_masks_size / _store).
MASK_PROTOTYPE_PROBABILITIES = 0
MASK_INPUT_BINARY = 1
MASK_ORIGINAL_BINARY = 2


class MaskRegion(ctypes.Structure):
    _fields_ = [
        ("offset", ctypes.c_int64),
        ("x", ctypes.c_int32),
        ("y", ctypes.c_int32),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
    ]


class MaskRequest(ctypes.Structure):
    _fields_ = [
        ("struct_size", ctypes.c_uint32),
        ("kind", ctypes.c_int32),
        ("prototypes", GridView),
        ("prototype_channels", ctypes.c_int32),
        ("prototype_height", ctypes.c_int32),
        ("prototype_width", ctypes.c_int32),
        ("coefficients_first", ctypes.c_int32),
        ("coefficients_count", ctypes.c_int32),
        ("reserved", ctypes.c_int32),
        ("values", ctypes.c_void_p),
        ("values_size", ctypes.c_uint64),
        ("regions", ctypes.c_void_p),
    ]


assert ctypes.sizeof(ReturnStatus) == 24
assert ctypes.sizeof(ObjectHandler) == 16
assert ctypes.sizeof(OutputTensor) == 40
assert ctypes.sizeof(YoloOutput) == 152
assert YoloOutput.anchors.offset == 136
assert ctypes.sizeof(NetParams) == 8
assert DETECTION_DTYPE.itemsize == 28
assert ROTATED_DTYPE.itemsize == 28
assert ctypes.sizeof(View) == 32
assert ctypes.sizeof(Element) == 16
assert ctypes.sizeof(Layout) == 312 and Layout.scores.offset == 104
assert Layout.extras.offset == 184 and Layout.reserved_extras.offset == 252
assert Layout.angles.offset == 256 and Layout.rotated_overlap.offset == 308
assert Layout.scores_element.offset == 168
assert ctypes.sizeof(GridView) == 56 and GridView.element.offset == 40
assert ctypes.sizeof(Level) == 192 and Level.score_sum.offset == 136
assert ctypes.sizeof(Levels) == 72 and Levels.levels.offset == 32
assert Levels.extras.offset == 40 and Levels.reserved_extras.offset == 68
assert ctypes.sizeof(ImageGeometry) == 24
assert ctypes.sizeof(MaskRegion) == 24
assert ctypes.sizeof(MaskRequest) == 112 and MaskRequest.regions.offset == 104
assert ctypes.sizeof(DecodeOptions) == 72 and DecodeOptions.details.offset == 64

_FLOAT_P = ctypes.POINTER(ctypes.c_float)


def _declare(lib):
    lib.done_return_status.argtypes = [ReturnStatus]
    lib.done_return_status.restype = None
    lib.object_handler_destroy.argtypes = [ObjectHandler]
    lib.object_handler_destroy.restype = None
    lib.detections_batch_size.argtypes = [ObjectHandler, ctypes.POINTER(ctypes.c_uint64)]
    lib.detections_batch_size.restype = ReturnStatus
    lib.detections_batch_detections_count.argtypes = [
        ObjectHandler,
        ctypes.c_uint64,
        ctypes.POINTER(ctypes.c_uint64),
    ]
    lib.detections_batch_detections_count.restype = ReturnStatus
    lib.detections_batch_detections_store.argtypes = [ObjectHandler, ctypes.c_uint64, ctypes.c_void_p]
    lib.detections_batch_detections_store.restype = ReturnStatus
    lib.process_yolo_detections.argtypes = [
        ctypes.POINTER(YoloOutput),
        ctypes.c_uint64,
        NetParams,
        _FLOAT_P,
        _FLOAT_P,
        ctypes.POINTER(ObjectHandler),
    ]
    lib.process_yolo_detections.restype = ReturnStatus
    lib.process_yolo_sealed_output_detections.argtypes = [
        _FLOAT_P,
        ctypes.c_int64,
        ctypes.c_int64,
        ctypes.c_int32,
        _FLOAT_P,
        _FLOAT_P,
        ctypes.c_int32,
        ctypes.c_int32,
        ctypes.POINTER(ObjectHandler),
    ]
    lib.process_yolo_sealed_output_detections.restype = ReturnStatus
    # A library older than these entries still serves the ones above.
    if hasattr(lib, "quelt_decode"):
        lib.quelt_decode.argtypes = [
            ctypes.POINTER(Layout),
            ctypes.POINTER(DecodeOptions),
            ctypes.POINTER(ObjectHandler),
        ]
        lib.quelt_decode.restype = ReturnStatus
        if hasattr(lib, "quelt_decode_levels"):
            lib.quelt_decode_levels.argtypes = [
                ctypes.POINTER(Levels),
                ctypes.POINTER(DecodeOptions),
                ctypes.POINTER(ObjectHandler),
            ]
            lib.quelt_decode_levels.restype = ReturnStatus
            lib.quelt_levels_init.argtypes = [ctypes.POINTER(Levels)]
            lib.quelt_levels_init.restype = None
        lib.quelt_decode_options_init.argtypes = [ctypes.POINTER(DecodeOptions)]
        lib.quelt_decode_options_init.restype = None
        geometry_args = [ctypes.c_int32, ctypes.c_int32, ctypes.c_float, ctypes.c_float]
        for name in ("quelt_geometry_stretch", "quelt_geometry_letterbox"):
            getattr(lib, name).argtypes = geometry_args
            getattr(lib, name).restype = ImageGeometry
        lib.quelt_map_detections.argtypes = [
            ObjectHandler,
            ctypes.c_int32,
            ctypes.c_int32,
            ctypes.POINTER(ImageGeometry),
            ctypes.c_int32,
        ]
        lib.quelt_map_detections.restype = ReturnStatus
    # The fill functions at this package's struct sizes.
    for name, struct in (
        ("quelt_levels_init_sized", Levels),
        ("quelt_decode_options_init_sized", DecodeOptions),
    ):
        if hasattr(lib, name):
            getattr(lib, name).argtypes = [ctypes.POINTER(struct), ctypes.c_uint32]
            getattr(lib, name).restype = None
    # The per-record details: sources, extras and keypoints.
    for name, pointer in (
        ("quelt_batch_sources_store", ctypes.c_void_p),
        ("quelt_batch_extras_store", ctypes.c_void_p),
        ("quelt_batch_keypoints_store", ctypes.c_void_p),
    ):
        if hasattr(lib, name):
            getattr(lib, name).argtypes = [ObjectHandler, ctypes.c_uint64, pointer]
            getattr(lib, name).restype = ReturnStatus
    if hasattr(lib, "quelt_batch_masks_store"):
        lib.quelt_batch_masks_size.argtypes = [
            ObjectHandler,
            ctypes.c_uint64,
            ctypes.POINTER(MaskRequest),
            ctypes.POINTER(ctypes.c_uint64),
        ]
        lib.quelt_batch_masks_size.restype = ReturnStatus
        lib.quelt_batch_masks_store.argtypes = [
            ObjectHandler,
            ctypes.c_uint64,
            ctypes.POINTER(MaskRequest),
        ]
        lib.quelt_batch_masks_store.restype = ReturnStatus
    if hasattr(lib, "quelt_batch_rotated_store"):
        lib.quelt_batch_rotated_store.argtypes = [
            ObjectHandler,
            ctypes.c_uint64,
            ctypes.c_void_p,
        ]
        lib.quelt_batch_rotated_store.restype = ReturnStatus
    if hasattr(lib, "quelt_version_string"):
        lib.quelt_version_number.argtypes = []
        lib.quelt_version_number.restype = ctypes.c_uint32
        lib.quelt_version_string.argtypes = []
        lib.quelt_version_string.restype = ctypes.c_char_p
    return lib


def candidates():
    """Where the library is looked for, in order, as (how, path or name)."""
    found = []
    env = os.environ.get("QUELT_LIBRARY")
    if env:
        # An explicit choice is never silently replaced by another library.
        return [("QUELT_LIBRARY", env)]
    package = pathlib.Path(__file__).resolve().parent
    windows = os.name == "nt"
    for path in sorted(package.glob("quelt.dll" if windows else "libquelt.so*")):
        found.append(("package folder", str(path)))
    found.append(("system loader", "quelt.dll" if windows else "libquelt.so.0"))
    name = ctypes.util.find_library("quelt")
    if name:
        found.append(("system loader", name))
    return found


def load():
    """Loads the first candidate that loads; returns (library, path or name)."""
    tried = []
    for how, where in candidates():
        try:
            return _declare(ctypes.CDLL(where)), where
        except OSError as error:
            tried.append(f"{how} {where}: {error}")
    raise OSError(
        "cannot load the quelt library; set QUELT_LIBRARY to the path of libquelt.so "
        "or quelt.dll "
        "(tried " + "; ".join(tried) + ")"
    )
