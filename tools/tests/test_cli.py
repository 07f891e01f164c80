"""The quelt command-line tool: outputs, pictures and every bad input it must
refuse with one clear line and a non-zero exit."""

import csv
import io
import json
import os
import struct
import subprocess
import zlib

import numpy as np
import pytest

CLI = os.environ.get("QUELT_CLI", "quelt")
MAKE_SAMPLE = os.environ.get("QUELT_MAKE_SAMPLE", "quelt-make-sample")
ANCHORS = "10,14,23,27,37,58,81,82,135,169,344,319"


def run(*args, cwd=None):
    return subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, cwd=cwd)


def ok(*args):
    result = run(*args)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return result.stdout


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sample")
    subprocess.run([MAKE_SAMPLE, str(folder)], check=True)
    return folder


def png(width, height):
    """A small valid grey PNG."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    rows = b"".join(b"\x00" + b"\x80" * width for _ in range(height))
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(rows))
        + chunk(b"IEND", b"")
    )


def jpeg_header(width, height):
    """The start of a progressive JPEG: enough markers for its size, no image
    data (the tool reads no further)."""
    def segment(marker, data):
        return bytes([0xFF, marker]) + struct.pack(">H", len(data) + 2) + data
    return (
        b"\xff\xd8"
        + segment(0xE0, b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00")
        + segment(0xFE, b"made by the test")
        + segment(0xC4, b"\x00" * 17)  # a Huffman table, not a frame
        + segment(0xC2, struct.pack(">BHHB", 8, height, width, 1) + b"\x01\x11\x00")
        + b"\xff\xd9"
    )


def xmllint(path):
    result = subprocess.run(["xmllint", "--noout", str(path)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


class TestSample:
    def test_recovers_the_encoded_boxes_from_layers_and_sealed(self, sample):
        manifest = json.loads((sample / "manifest.json").read_text())
        encoded = [
            b for b in manifest["images"][0]["encoded_boxes"] if b["label"] in ("person", "bicycle", "dog")
        ]
        for extra in ([], ["--sealed"]):
            result = json.loads(ok("manifest", sample / "manifest.json", "--format", "json", *extra))
            assert result["net"] == {"width": 320, "height": 320}
            (image,) = result["images"]
            assert image["name"] == "sample"
            found = sorted(image["detections"], key=lambda d: d["class_id"])
            assert [d["class"] for d in found] == ["person", "bicycle", "dog"]
            for got, want in zip(found, sorted(encoded, key=lambda b: b["class_id"])):
                for key in ("x_min", "y_min", "x_max", "y_max", "objectness", "probability"):
                    assert got[key] == pytest.approx(want[key], abs=2e-3), (extra, key)

    def test_layer_flags_decode_as_the_manifest_does(self, sample):
        by_manifest = ok("manifest", sample / "manifest.json", "--format", "csv")
        by_flags = ok(
            "layers", sample / "sample.layer0.npy", sample / "sample.layer1.npy",
            "--classes", 3, "--anchors", ANCHORS, "--mask", "3,4,5", "--mask", "0,1,2",
            "--size", 320, "--names", sample / "sample.names", "--format", "csv",
        )
        body = lambda text: [row[1:] for row in csv.reader(io.StringIO(text))]  # noqa: E731
        assert body(by_manifest) == body(by_flags)

    def test_csv_and_json_carry_the_same_exact_values(self, sample):
        as_json = json.loads(ok("manifest", sample / "manifest.json", "--format", "json"))
        rows = list(csv.DictReader(io.StringIO(ok("manifest", sample / "manifest.json", "--format", "csv"))))
        detections = as_json["images"][0]["detections"]
        assert len(rows) == len(detections) == 3
        for row, d in zip(rows, detections):
            assert row["class"] == d["class"] and int(row["class_id"]) == d["class_id"]
            for key in ("probability", "objectness", "x_min", "y_min", "x_max", "y_max"):
                assert np.float32(row[key]) == np.float32(d[key])

    def test_table_lists_each_detection_with_its_name(self, sample):
        table = ok("manifest", sample / "manifest.json")
        assert table.startswith("sample: 3 detections\n")
        for name in ("person", "bicycle", "dog"):
            assert f"\n  {name} " in table

    def test_thresholds_apply_per_image(self, sample):
        sealed = np.load(sample / "sample.sealed.npy")
        np.save(sample / "pair.npy", np.concatenate([sealed, sealed]))
        result = json.loads(ok("sealed", sample / "pair.npy", "--size", 320, "--score", "0.75,0.05", "--format", "json"))
        strict, loose = result["images"]
        assert [strict["name"], loose["name"]] == ["pair[0]", "pair[1]"]
        assert [d["class"] for d in strict["detections"]] == ["class 0", "class 1"]
        assert len(loose["detections"]) == 4  # the faint box passes too

    def test_names_with_markup_or_commas_stay_well_formed(self, sample, tmp_path):
        names = tmp_path / "odd.names"
        names.write_text('a <b> & "c"\nd,e\r\nf\n\n')
        svg = tmp_path / "odd.svg"
        out = ok("manifest", sample / "manifest.json", "--names", names, "--svg", svg, "--format", "csv")
        xmllint(svg)
        assert "&lt;b&gt; &amp;" in svg.read_text()
        rows = list(csv.reader(io.StringIO(out)))
        assert sorted((r[1], r[2]) for r in rows[1:]) == [("0", 'a <b> & "c"'), ("1", "d,e"), ("2", "f")]
        assert '"d,e"' in out


class TestPictures:
    def test_blank_canvas_has_the_network_input_size(self, sample, tmp_path):
        svg = tmp_path / "blank.svg"
        ok("manifest", sample / "manifest.json", "--svg", svg)
        xmllint(svg)
        text = svg.read_text()
        assert 'width="320.0" height="320.0"' in text
        assert "<image" not in text
        assert text.count("<rect") == 1 + 2 * 3  # canvas, then box and label per detection

    def test_image_is_embedded_and_boxes_scaled_to_it(self, sample, tmp_path):
        picture = tmp_path / "scene.png"
        picture.write_bytes(png(640, 480))
        svg = tmp_path / "scene.svg"
        detections = json.loads(ok("manifest", sample / "manifest.json", "--format", "json"))["images"][0]["detections"]
        ok("manifest", sample / "manifest.json", "--svg", svg, "--image", picture)
        xmllint(svg)
        text = svg.read_text()
        assert 'width="640.0" height="480.0"' in text
        assert 'xlink:href="data:image/png;base64,' in text
        person = next(d for d in detections if d["class"] == "person")
        assert f'<rect x="{person["x_min"] * 640:.1f}" y="{person["y_min"] * 480:.1f}"' in text

    def test_several_images_give_one_picture_each(self, sample, tmp_path):
        sealed = np.load(sample / "sample.sealed.npy")
        np.save(tmp_path / "two.npy", np.concatenate([sealed, sealed]))
        ok("sealed", tmp_path / "two.npy", "--size", 320, "--svg", tmp_path / "out.svg")
        for name in ("out-two_0_.svg", "out-two_1_.svg"):
            xmllint(tmp_path / name)
        result = run("sealed", tmp_path / "two.npy", "--size", 320, "--svg", tmp_path / "x.svg", "--image", tmp_path / "two.npy")
        assert result.returncode == 1 and "--image draws over one image" in result.stderr


def layouts_of(sealed):
    """The sample's sealed rows in every layout of `quelt decode`, as
    (layout, tensor, scores or None); objectness is folded into the scores of
    the layouts without one."""
    boxes = sealed[..., :4]
    folded = sealed[..., 5:] * sealed[..., 4:5]
    plain = np.concatenate([boxes, folded], axis=-1)
    return [
        ("rows-objectness", sealed, None),
        ("rows", plain, None),
        ("columns", plain.transpose(0, 2, 1), None),
        ("separate", boxes, folded),
        ("separate-by-class", boxes, folded.transpose(0, 2, 1)),
    ]


class TestDecode:
    def test_every_layout_gives_the_rows_records(self, sample, tmp_path):
        sealed = np.load(sample / "sample.sealed.npy")
        results = {}
        for layout, tensor, scores in layouts_of(sealed):
            np.save(tmp_path / f"{layout}.npy", np.ascontiguousarray(tensor))
            extra = []
            if scores is not None:
                np.save(tmp_path / f"{layout}.scores.npy", np.ascontiguousarray(scores))
                extra = ["--scores", tmp_path / f"{layout}.scores.npy"]
            out = json.loads(ok("decode", tmp_path / f"{layout}.npy", "--layout", layout, "--size", 320,
                                "--names", sample / "sample.names", "--format", "json", *extra))
            (image,) = out["images"]
            assert image["name"] == layout and "image_pixels" not in out
            results[layout] = image["detections"]
        want = results.pop("rows-objectness")
        assert [d["class"] for d in want] == ["person", "bicycle", "dog"]
        for layout, got in results.items():
            for d in want:
                d["objectness"] = 1.0
            assert got == want, layout

    def test_levels_read_pairs_of_maps(self, tmp_path):
        """Two levels of plain distances (one bin) give the records of their
        corners read as columns; the pairs must be whole."""
        rng = np.random.default_rng(5)
        names, corners, scores = [], [], []
        for level, (grid, stride) in enumerate(((4, 8), (2, 16))):
            distances = rng.uniform(0.5, 3, (1, 4, grid, grid)).astype(np.float32)
            cls = np.full((1, 2, grid, grid), 0.01, dtype=np.float32)
            cls[0, level, 1, 1] = 0.9
            np.save(tmp_path / f"box{level}.npy", distances)
            np.save(tmp_path / f"cls{level}.npy", cls)
            names += [tmp_path / f"box{level}.npy", tmp_path / f"cls{level}.npy"]
            s = np.float32(stride)
            ax = (np.arange(grid, dtype=np.float32) + np.float32(0.5)) * s
            x, y = np.meshgrid(ax, ax)
            d = distances[0] * s
            corners.append(np.stack([x - d[0], y - d[1], x + d[2], y + d[3]]).reshape(4, -1))
            scores.append(cls[0].reshape(2, -1))
        columns = np.concatenate([np.concatenate(corners, 1), np.concatenate(scores, 1)])[None]
        np.save(tmp_path / "columns.npy", columns.astype(np.float32))
        want = ok("decode", tmp_path / "columns.npy", "--layout", "columns", "--corners", "--size", 32, "--format", "json")
        got = ok("decode", *names, "--layout", "levels", "--bins", 1, "--size", 32, "--format", "json")
        assert len(json.loads(got)["images"][0]["detections"]) == 2
        assert json.loads(got)["images"][0]["detections"] == json.loads(want)["images"][0]["detections"]
        result = run("decode", *names[:3], "--layout", "levels", "--size", 32)
        assert result.returncode == 1 and "pairs of files" in result.stderr

    def test_obb_draws_rotated_rectangles(self, tmp_path):
        """--layout obb: the angle row last; the SVG draws each kept box as
        its rotated rectangle, and the angle flags go with obb only."""
        columns = np.array([[100, 102, 300], [100, 100, 300], [40, 40, 40], [20, 20, 20],
                            [0.9, 0.8, 0.7], [0.0, 0.0, 90.0]], np.float32)[None]
        np.save(tmp_path / "obb.npy", columns)
        out = json.loads(ok("decode", tmp_path / "obb.npy", "--layout", "obb", "--degrees",
                            "--size", 640, "--format", "json", "--svg", tmp_path / "obb.svg"))
        assert len(out["images"][0]["detections"]) == 2
        upright = out["images"][0]["detections"][1]["rotated"]
        assert (upright["cx"], upright["cy"], upright["width"], upright["height"]) == (300, 300, 40, 20)
        assert abs(upright["angle"] - np.pi / 2) < 1e-6
        svg = (tmp_path / "obb.svg").read_text()
        assert svg.count("<polygon") == 2
        # 90 degrees: the 40 x 20 box stands upright around (300, 300).
        assert "290.0,320.0" in svg or "310.0,280.0" in svg
        result = run("decode", tmp_path / "obb.npy", "--layout", "columns", "--degrees", "--size", 640)
        assert result.returncode == 1 and "--layout obb" in result.stderr

    def test_quantized_columns_decode_as_their_float_twin(self, tmp_path):
        """uint8 columns with --quant give the records of the float32 array
        (q - zero point) x scale."""
        rng = np.random.default_rng(11)
        q = np.empty((1, 4 + 3, 60), dtype=np.uint8)
        q[:, :4] = rng.integers(120, 250, (1, 4, 60))  # 10 to 75 pixels
        q[:, 4:] = rng.integers(0, 110, (1, 3, 60))  # logits -50 to 5
        np.save(tmp_path / "q.npy", q)
        twin = (q.astype(np.int32) - 100).astype(np.float32) * np.float32(0.5)
        np.save(tmp_path / "twin.npy", twin)
        base = ["--layout", "columns", "--logits", "--size", 128, "--format", "json"]
        want = json.loads(ok("decode", tmp_path / "twin.npy", *base))["images"][0]["detections"]
        got = json.loads(ok("decode", tmp_path / "q.npy", *base, "--quant", "0.5,100"))["images"][0]["detections"]
        assert len(want) > 1 and got == want

    def test_options_and_original_image_pixels(self, sample, tmp_path):
        tensor = sample / "sample.sealed.npy"
        base = ["decode", tensor, "--layout", "rows-objectness", "--size", 320, "--names", sample / "sample.names"]
        everything = json.loads(ok(*base, "--format", "json"))["images"][0]["detections"]
        capped = json.loads(ok(*base, "--format", "json", "--max-det", 1))["images"][0]["detections"]
        assert capped == everything[:1]
        for picked in ("dog,0", "2,person"):
            found = json.loads(ok(*base, "--format", "json", "--classes", picked))["images"][0]["detections"]
            assert sorted(d["class"] for d in found) == ["dog", "person"]
        out = json.loads(ok(*base, "--format", "json", "--letterbox", "--image-size", 640, 480))
        assert out["image_pixels"] == {"width": 640, "height": 480}
        for plain, mapped in zip(everything, out["images"][0]["detections"]):
            # Scaled by 2 and moved up by the 40 padding rows of the 320 x 240 picture.
            assert mapped["x_min"] == pytest.approx(max(0, plain["x_min"] * 640), abs=1e-3)
            assert mapped["y_min"] == pytest.approx(max(0, plain["y_min"] * 320 - 40) * 2, abs=1e-3)
        assert "(image pixels)" in ok(*base, "--stretch", "--image-size", 640, 480)

        picture = tmp_path / "photo.png"
        picture.write_bytes(png(640, 480))
        svg = tmp_path / "photo.svg"
        ok(*base, "--letterbox", "--image", picture, "--svg", svg)
        xmllint(svg)
        text = svg.read_text()
        assert 'width="640.0" height="480.0"' in text
        first = out["images"][0]["detections"][0]
        assert f'<rect x="{first["x_min"]:.1f}" y="{first["y_min"]:.1f}"' in text

    def test_original_size_comes_from_the_photo_header(self, sample, tmp_path):
        base = ["decode", sample / "sample.sealed.npy", "--layout", "rows-objectness", "--size", 320, "--format", "json"]
        fractions = json.loads(ok(*base))["images"][0]["detections"]
        photo = tmp_path / "photo.jpg"
        photo.write_bytes(jpeg_header(800, 600))
        out = json.loads(ok(*base, "--stretch", "--image", photo))
        assert out["image_pixels"] == {"width": 800, "height": 600}
        for plain, mapped in zip(fractions, out["images"][0]["detections"]):
            assert mapped["x_max"] == pytest.approx(min(800, plain["x_max"] * 800), abs=1e-3)
            assert mapped["y_max"] == pytest.approx(min(600, plain["y_max"] * 600), abs=1e-3)
        # --image-size wins over the header.
        out = json.loads(ok(*base, "--letterbox", "--image", photo, "--image-size", 400, 300))
        assert out["image_pixels"] == {"width": 400, "height": 300}


def bad_inputs(sample, tmp):
    sealed = np.load(sample / "sample.sealed.npy")
    layer = np.load(sample / "sample.layer0.npy")
    np.save(tmp / "f8.npy", sealed.astype(np.float64))
    np.save(tmp / "big.npy", sealed.astype(">f4"))
    np.save(tmp / "fortran.npy", np.asfortranarray(sealed[0]))
    np.save(tmp / "flat.npy", sealed.reshape(-1))
    (tmp / "text.npy").write_text("not numpy at all\n")
    (tmp / "cut.npy").write_bytes((sample / "sample.sealed.npy").read_bytes()[:500])
    (tmp / "cut.jpg").write_bytes(b"\xff\xd8\xff\xe0\x00\x10JFIF")
    (tmp / "broken.json").write_text("{ not json")
    (tmp / "incomplete.json").write_text('{"net": {"width": 320}}')
    (tmp / "dir.npy").mkdir()
    np.save(tmp / "layer3.npy", layer[..., :-1])
    np.save(tmp / "u8.npy", np.zeros((1, 8, 10), dtype=np.uint8))
    s, m = sample / "sample.sealed.npy", sample / "manifest.json"
    size = ["--size", "320"]
    layer_args = ["--classes", "3", "--anchors", ANCHORS, "--mask", "3,4,5"]
    return [
        (["sealed", tmp / "missing.npy", *size], "missing.npy: cannot open: No such file"),
        (["sealed", tmp / "dir.npy", *size], "dir.npy: is a directory"),
        (["sealed", tmp / "text.npy", *size], "not an .npy file"),
        (["sealed", tmp / "cut.npy", *size], "data bytes, but shape"),
        (["sealed", tmp / "f8.npy", *size], "dtype '<f8' is not float32"),
        (["sealed", tmp / "big.npy", *size], "big-endian float32"),
        (["sealed", tmp / "fortran.npy", *size], "not C-contiguous"),
        (["sealed", tmp / "flat.npy", *size], "is not (batch, rows, classes + 5)"),
        (["sealed", s, *size, "--classes", "80"], "rows of 8 values do not fit 80 classes"),
        (["sealed", s], "the network input size is needed"),
        (["sealed", s, "--size", "0"], "must be positive"),
        (["sealed", s, *size, "--score", "1.5"], "--score must lie between 0 and 1, got 1.5"),
        (["sealed", s, *size, "--overlap", "-0.1"], "--overlap must lie between 0 and 1"),
        (["sealed", s, *size, "--score", "nan"], "--score must lie between 0 and 1"),
        (["sealed", s, *size, "--score", "0.2,0.3"], "one value or one per image (1), got 2"),
        (["sealed", s, *size, "--names", tmp / "none.names"], "none.names: cannot open"),
        (["sealed", s, *size, "--svg", tmp / "p.svg", "--image", s], "not a PNG, JPEG or GIF"),
        (["sealed", s, *size, "--svg", tmp / "no-such-dir" / "p.svg"], "p.svg: cannot create"),
        (["layers", sample / "sample.layer0.npy", *size, *layer_args[:-2], "--mask", "3,4"], "channels do not fit 2 anchors"),
        (["layers", tmp / "layer3.npy", *size, *layer_args], "23 channels do not fit 3 anchors x (3 classes + 5) = 24"),
        (["layers", sample / "sample.layer0.npy", *size, "--classes", "4", "--anchors", ANCHORS], "not a multiple of classes + 5 = 9"),
        (["layers", sample / "sample.layer0.npy", *size, *layer_args[:-2], "--mask", "3,4,9"], "mask entry 9 names no anchor pair"),
        (["layers", sample / "sample.layer0.npy", *size, *layer_args[:-2], "--mask", "3,x,5"], "is not a comma-separated list"),
        (["layers", sample / "sample.layer0.npy", sample / "sample.layer1.npy", *size, *layer_args], "--mask given 1 times for 2 layers"),
        (["decode", s, *size, "--layout", "end-to-end"], "is not (batch, candidates, 6) (--layout end-to-end)"),
        (["decode", tmp / "u8.npy", *size, "--layout", "columns"], "u8.npy: uint8 values need their quantization: --quant SCALE,ZERO_POINT"),
        (["decode", s, *size, "--layout", "separate"], "--layout separate needs the class scores: --scores FILE.npy"),
        (["decode", s, *size, "--layout", "separate", "--scores", s], "is not (batch, candidates, 4)"),
        (["decode", tmp / "flat.npy", *size, "--layout", "rows"], "is not a batch of predictions"),
        (["decode", s, *size, "--layout", "rows", "--scores", s], "--scores goes with --layout separate"),
        (["decode", s, *size, "--layout", "rows", "--image-size", "640", "480"], "--image-size needs --letterbox or --stretch"),
        (["decode", s, *size, "--layout", "rows", "--letterbox"], "--letterbox needs the original image size"),
        (["decode", s, *size, "--layout", "rows", "--stretch", "--image-size", "0", "480"], "--image-size must be positive"),
        (["decode", s, *size, "--layout", "rows", "--letterbox", "--image", tmp / "none.jpg"], "none.jpg: cannot open"),
        (["decode", s, *size, "--layout", "rows", "--letterbox", "--image", tmp], "cannot read"),
        (["decode", s, *size, "--layout", "rows", "--stretch", "--image", tmp / "cut.jpg"], "cut.jpg: cannot read the image size"),
        (["decode", s, *size, "--layout", "rows", "--classes", "cat"], "'cat' is not a class id (give --names"),
        (["decode", s, *size, "--layout", "rows", "--names", sample / "sample.names", "--classes", "cat"], "'cat' is neither a class id nor a name"),
        (["manifest", m, "--name", "nobody"], "no image named 'nobody' (it has: sample)"),
        (["manifest", tmp / "broken.json"], "broken.json: not a usable manifest"),
        (["manifest", tmp / "incomplete.json"], "incomplete.json: not a usable manifest"),
        (["manifest", tmp / "none.json"], "none.json: cannot open"),
    ]


def test_bad_inputs_fail_with_one_clear_line(sample, tmp_path):
    for args, expected in bad_inputs(sample, tmp_path):
        result = run(*args)
        assert result.returncode == 1, (args, result.stderr)
        assert result.stdout == "", args
        lines = result.stderr.splitlines()
        assert len(lines) == 1 and lines[0].startswith("quelt: "), (args, result.stderr)
        assert expected in lines[0], (args, lines[0])


@pytest.mark.parametrize(
    "args, expected",
    [
        ([], "A subcommand is required"),
        (["sealed"], "tensors is required"),
        (["detect", "x.npy"], "subcommand is required"),
        (["decode", "x.npy"], "--layout is required"),
        (["decode", "x.npy", "--layout", "grid"], "grid"),
        (["decode", "x.npy", "--layout", "rows", "--letterbox", "--stretch"], "excludes"),
        (["sealed", "x.npy", "--bogus"], "--bogus"),
        (["--score", "abc", "sealed", "x.npy"], "abc"),
        (["--format", "xml", "sealed", "x.npy"], "xml"),
        (["layers", "x.npy", "--classes", "3"], "--anchors is required"),
    ],
)
def test_usage_errors_exit_with_two(args, expected):
    result = run(*args)
    assert result.returncode == 2
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("quelt: ") and expected in lines[0], result.stderr


def test_help_and_version():
    assert "sealed" in ok("--help") and "--svg" in ok("--help")
    assert "--anchors" in ok("layers", "--help")
    assert "separate-by-class" in ok("decode", "--help")
    assert ok("--version").strip() == os.environ.get("QUELT_VERSION", ok("--version").strip())


def test_keypoints_come_out_in_json_and_as_a_skeleton(tmp_path):
    # A pose export (1, 4 + 1 + 17 x 3, 2): one person, one weak candidate.
    output = np.zeros((1, 56, 2), dtype=np.float32)
    output[0, :5, 0] = [320, 300, 100, 200, 0.9]
    output[0, :5, 1] = [100, 100, 40, 40, 0.1]
    for k in range(17):
        output[0, 5 + 3 * k : 8 + 3 * k, 0] = [300 + k, 220 + 10 * k, 0.9]
    np.save(tmp_path / "pose.npy", output)
    args = ["decode", tmp_path / "pose.npy", "--layout", "columns", "--keypoints", 17, "--size", 640]
    (image,) = json.loads(ok(*args, "--letterbox", "--image-size", 1280, 720, "--format", "json"))["images"]
    (person,) = image["detections"]
    assert len(person["keypoints"]) == 17
    assert person["keypoints"][0] == pytest.approx([600.0, 160.0, 0.9])
    ok(*args, "--svg", tmp_path / "pose.svg")
    svg = (tmp_path / "pose.svg").read_text()
    assert svg.count("<line ") == 19 and svg.count("<circle ") == 17
    xmllint(tmp_path / "pose.svg")
    result = run("decode", tmp_path / "pose.npy", "--layout", "end-to-end", "--keypoints", 17, "--size", 640)
    assert result.returncode == 1 and "--keypoints goes with" in result.stderr
