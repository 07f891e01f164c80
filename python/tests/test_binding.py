"""The Python package over the C interface: the three decoding functions, the real network
outputs, failures, argument validation and finding the library."""

import ctypes
import os
import pathlib
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

import quelt
from quelt import _ctypes
from conftest import REPO, load

CLASSES = 3
NET = (320, 320)


def sealed_image():
    """One image of three classes: a box, a shifted copy of it that
    suppression removes, a second box and a row below the threshold."""
    return np.array(
        [
            [100, 120, 60, 180, 0.9, 0.95, 0.02, 0.01],
            [104, 118, 58, 176, 0.8, 0.90, 0.03, 0.02],
            [240, 200, 110, 70, 0.85, 0.02, 0.93, 0.01],
            [40, 40, 20, 20, 0.1, 0.9, 0.05, 0.05],
        ],
        dtype=np.float32,
    )


def one_cell_layer(objectness_logit=3.0, class_logit=2.0):
    """A 1x1 grid with one anchor slot of three classes, raw values."""
    values = np.full((1, 1, 1, CLASSES + 5), -6.0, dtype=np.float32)
    values[0, 0, 0, :4] = [0.0, 0.0, 0.0, 0.0]  # centred, anchor-sized
    values[0, 0, 0, 4] = objectness_logit
    values[0, 0, 0, 5 + 1] = class_logit
    return quelt.Layer(values, mask=[0], anchors=[64.0, 32.0])


class TestSealed:
    def test_decodes_records_and_suppresses_the_copy(self):
        found = quelt.decode_sealed(sealed_image(), NET)
        assert len(found) == 1
        records = found[0]
        assert records.dtype == quelt.DETECTION_DTYPE and records.dtype.itemsize == 28
        assert list(records["class_id"]) == [0, 1]
        np.testing.assert_allclose(records["probability"], [0.9 * 0.95, 0.85 * 0.93], rtol=1e-6)
        np.testing.assert_allclose(
            [records["x_min"][0], records["y_min"][0], records["x_max"][0], records["y_max"][0]],
            [70 / 320, 30 / 320, 130 / 320, 210 / 320],
            rtol=1e-6,
        )

    def test_rewrites_the_tensor_in_place_unless_asked_for_a_copy(self):
        tensor = sealed_image()
        original = tensor.copy()
        quelt.decode_sealed(tensor, NET, copy=True)
        np.testing.assert_array_equal(tensor, original)

        quelt.decode_sealed(tensor, NET)
        np.testing.assert_array_equal(tensor[:, :5], original[:, :5])
        assert tensor[0, 5] == pytest.approx(0.9 * 0.95)
        assert tensor[1, 5] == 0  # suppressed by the first row
        np.testing.assert_array_equal(tensor[3], original[3])  # below threshold: untouched

    def test_read_only_tensor_needs_the_copy_option(self):
        tensor = sealed_image()
        tensor.flags.writeable = False
        with pytest.raises(ValueError, match="read-only.*copy=True"):
            quelt.decode_sealed(tensor, NET)
        assert len(quelt.decode_sealed(tensor, NET, copy=True)[0]) == 2

    def test_batch_takes_per_image_thresholds(self):
        batch = np.stack([sealed_image(), sealed_image()])
        strict, loose = quelt.decode_sealed(batch, NET, score=[0.8, 0.05], iou=0.45)
        assert list(strict["class_id"]) == [0]
        assert len(loose) == 3  # the faint row passes the low threshold
        assert quelt.decode_sealed(np.zeros((0, 4, 8), np.float32), NET) == []

    @pytest.mark.parametrize(
        "make, error, pattern",
        [
            (lambda t: t.astype(np.float64), TypeError, "float32 in native byte order.*<f8"),
            (lambda t: t.astype(">f4"), TypeError, "native byte order.*>f4"),
            (lambda t: np.asfortranarray(t), ValueError, "C-contiguous"),
            (lambda t: np.stack([t, t], axis=2)[:, :, 0], ValueError, "C-contiguous"),
            (lambda t: t.tolist(), TypeError, "numpy array"),
            (lambda t: t.reshape(-1), ValueError, r"shape \(batch, rows, classes \+ 5\)"),
            (lambda t: t[:, :5].copy(), ValueError, "no class score"),
        ],
    )
    def test_refuses_wrong_arrays_before_calling(self, make, error, pattern):
        with pytest.raises(error, match=pattern):
            quelt.decode_sealed(make(sealed_image()), NET)

    def test_refuses_unaligned_arrays(self):
        raw = np.zeros(4 * 8 * 4 + 1, dtype=np.uint8)
        unaligned = raw[1:].view(np.float32).reshape(4, 8)
        assert not unaligned.flags.aligned
        with pytest.raises(ValueError, match="aligned"):
            quelt.decode_sealed(unaligned, NET)

    @pytest.mark.parametrize(
        "kwargs, pattern",
        [
            ({"iou": float("nan")}, "iou is NaN"),
            ({"score": [float("nan")]}, r"score\[0\], the threshold of image 0, is NaN"),
            ({"score": [0.2, 0.3]}, "one value per image"),
            ({"classes": 4}, "do not fit 4 classes"),
            ({"net_size": (0, 320)}, "positive"),
        ],
    )
    def test_refuses_bad_settings(self, kwargs, pattern):
        args = {"net_size": NET, **kwargs}
        with pytest.raises(ValueError, match=pattern):
            quelt.decode_sealed(sealed_image(), **args)


    def test_overlap_is_a_deprecated_name_of_iou(self):
        with pytest.warns(DeprecationWarning, match="overlap"):
            (old,) = quelt.decode_sealed(sealed_image(), NET, overlap=0.99)
        assert old.tobytes() == quelt.decode_sealed(sealed_image(), NET, iou=0.99)[0].tobytes()
        with pytest.warns(DeprecationWarning):
            quelt.decode_layers([one_cell_layer()], CLASSES, 64, overlap=0.5)
        with pytest.raises(TypeError, match="both iou and overlap"):
            quelt.decode_sealed(sealed_image(), NET, iou=0.5, overlap=0.5)
        with pytest.raises(TypeError, match="both iou and overlap"):
            quelt.decode_layers([one_cell_layer()], CLASSES, 64, iou=0.5, overlap=0.5)


class TestLayers:
    def test_decodes_a_raw_cell_and_only_reads_it(self):
        layer = one_cell_layer()
        before = layer.values.copy()
        (records,) = quelt.decode_layers([layer], CLASSES, (128, 64))
        np.testing.assert_array_equal(layer.values, before)
        assert len(records) == 1
        record = records[0]
        assert record["class_id"] == 1
        sigma = lambda v: 1 / (1 + np.exp(-v))  # noqa: E731
        assert record["objectness"] == pytest.approx(sigma(3.0), rel=1e-6)
        assert record["probability"] == pytest.approx(sigma(3.0) * sigma(2.0), rel=1e-6)
        # Anchor 64 x 32 on a 128 x 64 input: half of each side, centred.
        np.testing.assert_allclose(
            [record["x_min"], record["y_min"], record["x_max"], record["y_max"]],
            [0.25, 0.25, 0.75, 0.75],
            rtol=1e-6,
        )

    def test_weak_cell_gives_no_record(self):
        (records,) = quelt.decode_layers([one_cell_layer(objectness_logit=-3.0)], CLASSES, 64)
        assert len(records) == 0 and records.dtype == quelt.DETECTION_DTYPE

    @pytest.mark.parametrize(
        "change, error, pattern",
        [
            (lambda l: setattr(l, "values", l.values.astype(np.float64)), TypeError, "float32"),
            (lambda l: setattr(l, "values", np.repeat(l.values, 2, axis=3)[..., ::2]), ValueError, "C-contiguous"),
            (lambda l: setattr(l, "values", l.values[..., :7].copy()), ValueError, "7 channels"),
            (lambda l: setattr(l, "mask", [1]), ValueError, "mask must name anchor pairs 0..0"),
            (lambda l: setattr(l, "mask", [-1]), ValueError, "mask"),
            (lambda l: setattr(l, "anchors", [64.0]), ValueError, "pairs"),
            (lambda l: setattr(l, "values", l.values[0, 0]), ValueError, "shape"),
            (lambda l: setattr(l, "xy_scale", float("inf")), ValueError, "finite"),
        ],
    )
    def test_refuses_wrong_layers_before_calling(self, change, error, pattern):
        layer = one_cell_layer()
        change(layer)
        with pytest.raises(error, match=pattern):
            quelt.decode_layers([layer], CLASSES, 64)

    def test_layers_must_agree_on_the_image_count(self):
        two = one_cell_layer()
        two.values = np.concatenate([two.values, two.values])
        with pytest.raises(ValueError, match="holds 2 images"):
            quelt.decode_layers([one_cell_layer(), two], CLASSES, 64)
        with pytest.raises(ValueError, match="at least one layer"):
            quelt.decode_layers([], CLASSES, 64)
        with pytest.raises(ValueError, match="classes"):
            quelt.decode_layers([one_cell_layer()], 0, 64)


class TestRealNetwork:
    def test_both_entries_find_the_strong_peer_detections(self, real):
        folder, manifest = real
        net = (manifest["net"]["width"], manifest["net"]["height"])
        settings = manifest["layers"]
        for image in manifest["images"]:
            layers = [
                quelt.Layer(load(folder / f), s["mask"], s["anchors"], s["xy_scale"], bool(s["preactivated"]))
                for f, s in zip(image["layers"], settings)
            ]
            (from_layers,) = quelt.decode_layers(layers, settings[0]["classes"], net)
            (from_sealed,) = quelt.decode_sealed(load(folder / image["sealed"]), net)
            for found in (from_layers, from_sealed):
                assert len(found) > 0, image["name"]
                assert (found["probability"] > 0.25).all()
            for peer in image["opencv_peer_detections"]:
                if peer["probability"] < 0.5:
                    continue
                same = from_layers[from_layers["class_id"] == peer["class_id"]]
                assert max((iou(peer, r) for r in same), default=0) >= 0.5, (image["name"], peer)

    def test_batch_equals_single_images(self, real):
        folder, manifest = real
        net = manifest["net"]["width"]
        tensors = [load(folder / image["sealed"]) for image in manifest["images"]]
        batch = quelt.decode_sealed(np.concatenate(tensors), net)
        for tensor, together in zip(tensors, batch):
            (alone,) = quelt.decode_sealed(tensor, net)
            assert alone.tobytes() == together.tobytes()


def layout_input(layout, rows):
    """The candidates of sealed rows (boxes, objectness, scores) as `layout`
    holds them: the forms without objectness carry it folded into the scores."""
    boxes = rows[..., :4]
    folded = rows[..., 5:] * rows[..., 4:5]
    plain = np.concatenate([boxes, folded], axis=-1)
    return {
        "rows-objectness": (rows, {}),
        "rows": (plain, {}),
        "columns": (np.ascontiguousarray(np.swapaxes(plain, -1, -2)), {}),
        "separate": (boxes.copy(), {"scores": folded}),
        "separate-by-class": (boxes.copy(), {"scores": np.ascontiguousarray(np.swapaxes(folded, -1, -2))}),
    }[layout]


def corners(records):
    return np.stack([records[k] for k in ("x_min", "y_min", "x_max", "y_max")], axis=-1)


class TestDecode:
    EXPECTED = [  # class, probability, corners in input pixels
        (0, np.float32(0.9) * np.float32(0.95), [70, 30, 130, 210]),
        (1, np.float32(0.85) * np.float32(0.93), [185, 165, 295, 235]),
    ]

    @pytest.mark.parametrize("layout", ["rows-objectness", "rows", "columns", "separate", "separate-by-class"])
    def test_each_layout_gives_the_same_records(self, layout):
        predictions, extra = layout_input(layout, sealed_image())
        before = predictions.copy()
        (records,) = quelt.decode(predictions, NET, layout=layout, **extra)
        np.testing.assert_array_equal(predictions, before)  # only read
        assert [r["class_id"] for r in records] == [c for c, _, _ in self.EXPECTED]
        assert list(records["probability"]) == [p for _, p, _ in self.EXPECTED]
        objectness = [0.9, 0.85] if layout == "rows-objectness" else [1, 1]
        np.testing.assert_array_equal(records["objectness"], np.float32(objectness))
        np.testing.assert_allclose(corners(records) * 320, [b for _, _, b in self.EXPECTED], rtol=1e-6)

    def test_end_to_end_rows_are_thresholded_capped_and_mapped(self):
        rows = np.array(
            [[70, 30, 130, 210, 0.8, 0], [185, 165, 295, 235, 0.9, 2], [10, 10, 20, 20, 0.1, 1]],
            dtype=np.float32,
        )
        (records,) = quelt.decode(rows, NET, layout="end-to-end")
        assert list(records["class_id"]) == [2, 0]
        np.testing.assert_allclose(corners(records) * 320, [[185, 165, 295, 235], [70, 30, 130, 210]], rtol=1e-6)
        (capped,) = quelt.decode(rows, NET, layout="end-to-end", max_det=1, geometry=quelt.stretch(NET, (640, 320)))
        assert list(capped["class_id"]) == [2]
        np.testing.assert_allclose(corners(capped), [[370, 165, 590, 235]], rtol=1e-6)

    def test_options(self):
        rows = sealed_image()
        rows[2, :4] = rows[0, :4]  # the second class now sits on the first box
        decode = lambda **options: quelt.decode(rows, NET, layout="rows-objectness", **options)[0]  # noqa: E731
        assert list(decode()["class_id"]) == [0, 1]
        assert list(decode(agnostic=True)["class_id"]) == [0]
        assert list(decode(classes=[1])["class_id"]) == [1]
        assert list(decode(classes=np.array([1, 7], np.uint8))["class_id"]) == [1]
        assert list(decode(classes=[np.int64(0)])["class_id"]) == [0]
        assert list(decode(max_det=1)["class_id"]) == [0]
        assert len(decode(score=0.86)) == 0
        # Every class above 0.01 is a candidate; on box A each class keeps its best.
        found = decode(multi_label=True, score=0.01)
        assert sorted(found["class_id"]) == [0, 0, 1, 2]
        assert (found["probability"] > 0.01).all()

    def test_letterbox_maps_to_original_pixels(self):
        geometry = quelt.letterbox(NET, (640, 480))
        assert geometry == quelt.Geometry(640, 480, 0.5, 0.5, 0, 40)
        (records,) = quelt.decode(sealed_image(), NET, layout="rows-objectness", geometry=geometry)
        np.testing.assert_allclose(corners(records), [[140, 0, 260, 340], [370, 250, 590, 390]], rtol=1e-6)
        # The sealed entry maps its batch the same way afterwards.
        (sealed,) = quelt.decode_sealed(sealed_image(), NET, geometry=[geometry], max_det=1)
        assert list(sealed["class_id"]) == [0]
        np.testing.assert_allclose(corners(sealed), corners(records[:1]), rtol=1e-6)

    def test_reads_views_through_their_strides(self):
        plain, _ = layout_input("rows", np.stack([sealed_image(), sealed_image()[::-1]]))
        (want, want_reversed) = quelt.decode(plain, NET, layout="rows")
        # Transposed: the (batch, 4 + classes, candidates) export as numpy hands it out.
        columns = plain.transpose(0, 2, 1)
        assert not columns.flags.c_contiguous
        for got, expected in zip(quelt.decode(columns, NET, layout="columns"), (want, want_reversed)):
            assert got.tobytes() == expected.tobytes()
        # Negative and zero strides: candidates reversed, one image seen twice.
        (reversed_view,) = quelt.decode(plain[1, ::-1], NET, layout="rows")
        assert reversed_view.tobytes() == want.tobytes()
        twice = np.broadcast_to(plain[:1], (3,) + plain.shape[1:])
        assert [r.tobytes() for r in quelt.decode(twice, NET, layout="rows")] == [want.tobytes()] * 3
        # Boxes, objectness and scores from anywhere.
        rows = sealed_image()
        (explicit,) = quelt.decode(
            boxes=rows[:, :4], objectness=rows[:, 4], scores=rows[:, 5:], net_size=NET, iou=[0.45]
        )
        assert explicit.tobytes() == quelt.decode(rows, NET, layout="rows-objectness")[0].tobytes()

    @pytest.mark.parametrize(
        "args, error, pattern",
        [
            ({"predictions": sealed_image().astype(np.float64)}, TypeError, "float32.*<f8"),
            ({"layout": "diagonal"}, ValueError, "unknown layout 'diagonal'"),
            ({"layout": None}, ValueError, "name the layout"),
            ({"layout": "separate"}, ValueError, "reads boxes"),
            ({"predictions": sealed_image()[:, :4].copy()}, ValueError, r"\(batch, candidates, 5 \+ classes\)"),
            ({"net_size": None}, TypeError, "net_size"),
            ({"score": [0.2, 0.3]}, ValueError, "one value per image"),
            ({"box_format": "xywh"}, ValueError, "box_format"),
            ({"max_det": -1}, ValueError, "max_det"),
            ({"geometry": (640, 480)}, TypeError, "quelt.Geometry"),
            ({"geometry": quelt.Geometry(0, 480, 1, 1)}, quelt.Error, "."),
        ],
    )
    def test_refuses_bad_calls(self, args, error, pattern):
        call = {"predictions": sealed_image(), "net_size": NET, "layout": "rows-objectness", **args}
        with pytest.raises(error, match=pattern):
            quelt.decode(**call)

    @pytest.mark.parametrize("classes", [[1.5], [0, 2.7], [True], [0, False], ["3"], np.array([1.0]), "3"])
    def test_refuses_class_ids_that_are_not_integers(self, classes):
        with pytest.raises(ValueError, match=r"classes(\[\d\])? must be"):
            quelt.decode(sealed_image(), NET, layout="rows-objectness", classes=classes)

    def test_refuses_misaligned_data_as_misaligned(self):
        raw = np.zeros(sealed_image().nbytes + 1, dtype=np.uint8)
        misaligned = raw[1:].view(np.float32).reshape(sealed_image().shape)
        misaligned[...] = sealed_image()
        assert misaligned.strides == (32, 4) and not misaligned.flags.aligned
        with pytest.raises(ValueError, match="predictions is misaligned"):
            quelt.decode(misaligned, NET, layout="rows-objectness")

    def test_refuses_strides_that_are_not_whole_floats(self):
        packed = np.zeros(4, dtype=[("value", "<f4", (8,)), ("flag", "u1")])
        packed["value"] = sealed_image()
        assert packed["value"].strides[0] % 4 != 0
        with pytest.raises(ValueError, match="not whole floats"):
            quelt.decode(packed["value"], NET, layout="rows-objectness")


ENTRIES = {
    "decode": lambda **t: quelt.decode(sealed_image(), NET, layout="rows-objectness", **t),
    "decode_sealed": lambda **t: quelt.decode_sealed(sealed_image(), NET, **t),
    "decode_layers": lambda **t: quelt.decode_layers([one_cell_layer(objectness_logit=-3.0)], CLASSES, 64, **t),
}


@pytest.mark.parametrize(
    "entry, counts",
    [("decode", (2, 4, 2)), ("decode_sealed", (2, 4, 1)), ("decode_layers", (0, 1, 1))],
)
def test_thresholds_take_any_number_but_nan(entry, counts):
    decode = ENTRIES[entry]
    for name in ("score", "iou"):
        with pytest.raises(ValueError, match=f"{name} is NaN"):
            decode(**{name: float("nan")})
    # Records at the defaults; with every candidate passing and nothing
    # suppressed; and with a negative IoU, which leaves one box per class.
    found = [decode(), decode(score=-1.0, iou=float("inf")), decode(score=float("-inf"), iou=-0.5)]
    assert tuple(len(records) for (records,) in found) == counts


def iou(peer, record):
    ix = min(peer["x_max"], record["x_max"]) - max(peer["x_min"], record["x_min"])
    iy = min(peer["y_max"], record["y_max"]) - max(peer["y_min"], record["y_min"])
    if ix <= 0 or iy <= 0:
        return 0.0
    inter = ix * iy
    area = lambda b: (b["x_max"] - b["x_min"]) * (b["y_max"] - b["y_min"])  # noqa: E731
    return inter / (area(peer) + area(record) - inter)


class TestFailures:
    def test_library_failure_raises_error_with_its_text_and_releases_it(self, monkeypatch):
        lib = quelt._lib()
        released = []
        real_done = lib.done_return_status

        def counting_done(status):
            released.append(status.message)
            real_done(status)

        monkeypatch.setattr(lib, "done_return_status", counting_done)
        wrong_kind = _ctypes.ObjectHandler(None, 7)
        with pytest.raises(quelt.Error) as caught:
            quelt._read_batch(wrong_kind)
        assert caught.value.message == str(caught.value)
        assert caught.value.message != ""
        assert len(released) == 1 and released[0] is not None

    def test_success_needs_no_release(self, monkeypatch):
        lib = quelt._lib()
        released = []
        monkeypatch.setattr(lib, "done_return_status", released.append)
        quelt.decode_sealed(sealed_image(), NET)
        assert released == []


def run_python(code, env):
    clean = {k: v for k, v in os.environ.items() if k not in ("QUELT_LIBRARY", "LD_LIBRARY_PATH")}
    clean.update(env)
    return subprocess.run([sys.executable, "-c", code], env=clean, capture_output=True, text=True)


PROBE = (
    "import numpy, quelt; print(quelt.library_path());"
    "print(len(quelt.decode_sealed(numpy.zeros((2, 8), numpy.float32), 32)))"
)


class TestLibraryLookup:
    @pytest.fixture
    def built(self):
        path = os.environ.get("QUELT_LIBRARY")
        if not path or not os.path.isfile(path):
            pytest.skip("QUELT_LIBRARY does not name the freshly built library")
        return pathlib.Path(path)

    def test_environment_variable_wins(self, built):
        result = run_python(PROBE, {"QUELT_LIBRARY": str(built), "PYTHONPATH": str(REPO / "python")})
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == [str(built), "1"]

    def test_missing_library_named_by_the_variable_is_an_error(self, tmp_path):
        missing = tmp_path / "libquelt.so"
        result = run_python(PROBE, {"QUELT_LIBRARY": str(missing), "PYTHONPATH": str(REPO / "python")})
        assert result.returncode != 0
        assert "QUELT_LIBRARY" in result.stderr and str(missing) in result.stderr

    def test_package_folder(self, built, tmp_path):
        package = tmp_path / "quelt"
        shutil.copytree(REPO / "python" / "quelt", package, ignore=shutil.ignore_patterns("__pycache__"))
        shutil.copy(built, package / "libquelt.so.0")
        result = run_python(PROBE, {"PYTHONPATH": str(tmp_path)})
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == [str(package / "libquelt.so.0"), "1"]

    def test_system_loader(self, built, tmp_path):
        # The loader finds the library by its soname on the library path.
        shutil.copy(built, tmp_path / "libquelt.so.0")
        result = run_python(PROBE, {"PYTHONPATH": str(REPO / "python"), "LD_LIBRARY_PATH": str(tmp_path)})
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["libquelt.so.0", "1"]


def test_version_follows_the_project():
    cmake = (REPO / "CMakeLists.txt").read_text()
    version = re.search(r"project\(quelt VERSION (\S+)", cmake).group(1)
    pyproject = (REPO / "python" / "pyproject.toml").read_text()
    assert quelt.__version__ == version
    assert f'version = "{version}"' in pyproject
    assert f'version = "{version}"' in (REPO / "pyproject.toml").read_text()
    assert quelt._entry("quelt_version_string")().decode() == quelt.__version__


def _quantize(values, dtype):
    """Per-tensor quantization from the range, as a calibration tool does;
    returns the integers, their (scale, zero_point) and their float32 values."""
    info = np.iinfo(dtype)
    low, high = min(float(values.min()), 0.0), max(float(values.max()), 0.0)
    scale = np.float32((high - low) / (info.max - info.min))
    zero = int(np.clip(round(info.min - low / scale), info.min, info.max))
    q = np.clip(np.round(values / scale) + zero, info.min, info.max).astype(dtype)
    return q, (float(scale), zero), (q.astype(np.int32) - zero).astype(np.float32) * scale


def test_float16_and_quantized_columns_decode_as_their_float32_values():
    rng = np.random.default_rng(7)
    columns = np.zeros((1, 4 + CLASSES, 50), dtype=np.float32)
    columns[0, :2] = rng.uniform(20, 300, (2, 50))
    columns[0, 2:4] = rng.uniform(10, 60, (2, 50))
    columns[0, 4:] = rng.uniform(0, 1, (CLASSES, 50)) ** 4
    half = columns.astype(np.float16)
    expected = quelt.decode(half.astype(np.float32), NET, layout="columns")[0]
    assert len(expected) > 0
    assert quelt.decode(half, NET, layout="columns")[0].tobytes() == expected.tobytes()
    for dtype in (np.int8, np.uint8, np.int16, np.uint16):
        q, quant, floats = _quantize(columns, dtype)
        got = quelt.decode(q, NET, layout="columns", quant=quant)[0]
        assert got.tobytes() == quelt.decode(floats, NET, layout="columns")[0].tobytes(), dtype
    with pytest.raises(ValueError, match="quant"):
        quelt.decode(q, NET, layout="columns")
    with pytest.raises(quelt.Error, match="scale: 0 is not above 0"):
        quelt.decode(q, NET, layout="columns", quant=(0.0, 0))


def test_levels_read_nchw_nhwc_and_int8_heads_alike():
    rng = np.random.default_rng(3)
    grids = [(8, 8), (4, 4)]
    boxes = [rng.normal(0, 2, (1, 64, h, w)).astype(np.float32) for h, w in grids]
    scores = [rng.normal(-9, 1, (1, CLASSES, h, w)).astype(np.float32) for h, w in grids]
    scores[0][0, 1, 3, 4] = 3.0
    scores[1][0, 2, 1, 1] = 2.0
    expected = quelt.decode_levels(boxes, scores, 64)[0]
    assert sorted(expected["class_id"]) == [1, 2]
    # The same values held NHWC: seen as NCHW through strides, or as they are.
    nhwc_boxes = [np.ascontiguousarray(b.transpose(0, 2, 3, 1)) for b in boxes]
    nhwc_scores = [np.ascontiguousarray(s.transpose(0, 2, 3, 1)) for s in scores]
    seen = [a.transpose(0, 3, 1, 2) for a in nhwc_boxes], [a.transpose(0, 3, 1, 2) for a in nhwc_scores]
    assert quelt.decode_levels(*seen, 64)[0].tobytes() == expected.tobytes()
    got = quelt.decode_levels(nhwc_boxes, nhwc_scores, 64, channels_last=True)[0]
    assert got.tobytes() == expected.tobytes()
    # int8 per tensor: the records of the dequantized values.
    quantized = [_quantize(a, np.int8) for a in boxes + scores]
    quant = {"boxes": [q[1] for q in quantized[:2]], "scores": [q[1] for q in quantized[2:]]}
    got = quelt.decode_levels([q[0] for q in quantized[:2]], [q[0] for q in quantized[2:]], 64, quant=quant)
    floats = quelt.decode_levels([q[2] for q in quantized[:2]], [q[2] for q in quantized[2:]], 64)
    assert got[0].tobytes() == floats[0].tobytes()
    with pytest.raises(quelt.Error, match=r"quelt_decode_levels: levels.levels\[0\].stride"):
        quelt.decode_levels(boxes, scores, 64, strides=[0, 16])


def test_levels_carry_sources_extras_and_pose_keypoints():
    # One person at cell (x 3, y 2) of the stride-8 level, a pose head's raw
    # keypoint terms beside it: x = (raw_x * 2 + 3) * 8, visibility a logit.
    boxes = [np.zeros((1, 64, 4, 4), np.float32), np.zeros((1, 64, 2, 2), np.float32)]
    scores = [np.full((1, 1, 4, 4), -9, np.float32), np.full((1, 1, 2, 2), -9, np.float32)]
    kpt = [np.zeros((1, 6, 4, 4), np.float32), np.zeros((1, 6, 2, 2), np.float32)]
    scores[0][0, 0, 2, 3] = 2.0
    kpt[0][0, :, 2, 3] = [0.5, -0.25, 0.0, 1.0, 1.0, 20.0]
    (found,) = quelt.decode_levels(boxes, scores, 32, extras=kpt, keypoints=2, sources=True)
    assert list(found.sources) == [2 * 4 + 3]
    assert found.extras.tolist() == [[0.5, -0.25, 0.0, 1.0, 1.0, 20.0]]
    # Fractions of the 32 x 32 input, as the edges; visibilities 0.5 and ~1.
    assert found.keypoints.tolist() == [[[32 / 32, 12 / 32, 0.5], [40 / 32, 32 / 32, 1.0]]]
    with pytest.raises(ValueError, match="2 keypoints of 3 values need 6 extra values, there are 5"):
        quelt.decode_levels(boxes, scores, 32, extras=[k[:, :5] for k in kpt], keypoints=(2, 3))


def test_masks_come_back_as_planes_of_each_form():
    # Two prototypes on an 8 x 8 grid for a 32 x 32 input; one candidate whose
    # coefficients pick prototype 0, high on the left half of the grid.
    output = np.zeros((1, 4 + 2 + 2, 10), dtype=np.float32)  # columns: box, 2 classes, 2 coefficients
    output[0, :4, 3] = [12, 16, 16, 24]  # centre (12, 16), 16 x 24: box (4, 4)-(20, 28)
    output[0, 4, 3] = 0.9
    output[0, 6, 3] = 1.0
    prototypes = np.full((1, 2, 8, 8), -6.0, dtype=np.float32)
    prototypes[0, 0, :, :4] = 6.0
    prototypes[0, 1] = 100.0  # its coefficient is 0
    geometry = quelt.letterbox(32, (64, 32))  # 64 x 32 photo: scale 0.5, 8 rows of padding
    (found,) = quelt.decode(output, 32, layout="columns", masks=prototypes, geometry=geometry)
    assert found.masks.shape == (1, 32, 64) and found.masks.dtype == bool
    # Photo pixels in the box (8, 0)-(40, 40), left of network x 16 (photo x 32).
    expected = np.zeros((32, 64), dtype=bool)
    expected[:, 8:32] = True
    assert (found.masks[0] == expected).all()
    (found,) = quelt.decode(output, 32, layout="columns", masks=prototypes, mask_form="prototype")
    assert found.masks.shape == (1, 8, 8) and found.masks.dtype == np.float32
    inside = found.masks[0, 1:7, 1:5]
    assert (inside[:, :3] > 0.99).all() and (inside[:, 3] < 0.01).all()
    assert (found.masks[0, :, 5:] == 0).all() and (found.masks[0, 0] == 0).all()
    with pytest.raises(ValueError, match="2 prototypes"):
        quelt.decode(output, 32, layout="columns", masks=prototypes, extras=1)
def test_obb_gives_rotated_records_whatever_the_angle_convention():
    # Candidate 1 is candidate 0 nudged (suppressed); candidate 2 lies inside
    # candidate 3 (overlap 1/16: kept, where an IoU of 1 would not keep it).
    columns = np.array(
        [
            [100, 102, 300, 300],  # centre x
            [100, 100, 300, 300],  # centre y
            [40, 40, 10, 40],  # width
            [20, 20, 10, 40],  # height
            [0.9, 0.8, 0.7, 0.6],  # class 0
            [0.3, 0.35, 1.0, -1.5707964],  # angle, radians clockwise
        ],
        np.float32,
    )[None]
    (found,) = quelt.decode(columns, 640, layout="obb", iou=0.5)
    assert found.dtype == quelt.ROTATED_DTYPE
    assert list(found["probability"]) == pytest.approx([0.9, 0.7, 0.6])
    assert list(found["cx"]) == [100, 300, 300]
    assert all(0 <= a < np.pi for a in found["angle"])
    assert found["width"][2] == 40 and found["height"][2] == 40
    degrees = columns.copy()
    degrees[0, 5] = -np.degrees(columns[0, 5])
    (same,) = quelt.decode(degrees, 640, layout="obb", iou=0.5, angle_unit="degrees",
                           clockwise=False)
    assert list(same["cx"]) == list(found["cx"])
    assert same["angle"] == pytest.approx(found["angle"], abs=1e-5)
    (gaussian,) = quelt.decode(columns, 640, layout="obb", iou=0.5, rotated_overlap="probabilistic")
    assert len(gaussian) >= 2
    with pytest.raises(ValueError, match="obb"):
        quelt.decode(columns, 640, layout="columns", angle_unit="degrees")
