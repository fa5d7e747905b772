"""Colour correction: the switch, the colour table parser and its messages, apply, describe, the
descriptor and the loader's report lines; compared with the NumPy transcription in
reference/colour.py."""

import hashlib
import json
import os

import numpy as np
import pytest

from bundle_files import KINDS, make_bundle
from quorvane._mirrant2 import _tensorhost as th
from reference import colour as ref

IDENTITY = np.tile(np.arange(256, dtype=np.uint8), (3, 1))
NOT_PARSABLE = ("color.json is present but is not parsable json (", ") — refusing to invent an identity LUT")
NOT_APPLIED_TAIL = (". The frames are the raw model output. A container carries the correction only if its "
                    "producer packed one, so this says nothing about whether the identity HAS one; it is "
                    "not an error and the render proceeds.")


def random_table(seed):
    return np.random.default_rng(seed).integers(0, 256, (3, 256)).astype(np.uint8)


def doc(**obj):
    return json.dumps(obj).encode()


class TestSwitch:
    @pytest.mark.parametrize("value,enabled", [
        (None, True), ("", True), ("1", True), ("yes", True), ("enable", True),
        ("0", False), ("false", False), ("no", False), ("off", False),
        ("FALSE", False), (" Off ", False), ("\tNO\n", False), ("00", True),
        ("\u00a0off\u3000", False), ("\u2003False\x85", False),
    ])
    def test_values(self, monkeypatch, value, enabled):
        if value is None:
            monkeypatch.delenv(th.COLOR_ENV, raising=False)
        else:
            monkeypatch.setenv(th.COLOR_ENV, value)
        assert th._color_enabled() is enabled
        assert ref.color_enabled() is enabled


class TestParseFailures:
    def test_no_member(self):
        assert th.parse_color_correct(None) == (None, "this container carries no color.json")

    @pytest.mark.parametrize("raw", [b"", b"\xff{}", b'{"lut": "\xc3\x28"}', b"\xef\xbb\xbf{}",
                                     b"not json", b"{", b'{"a": 1,}', b"NaN", b"{} {}",
                                     b"\xed\xa0\x80", b"\xf0\x9f\x98"])
    def test_not_parsable(self, raw):
        cc, msg = th.parse_color_correct(raw)
        assert cc is None
        assert msg.startswith(NOT_PARSABLE[0]) and msg.endswith(NOT_PARSABLE[1])
        assert len(msg) > len(NOT_PARSABLE[0]) + len(NOT_PARSABLE[1])

    @pytest.mark.parametrize("raw,name", [
        (b"[1, 2]", "list"), (b'"x"', "str"), (b"3", "int"), (b"-0", "int"),
        (b"123456789012345678901234567890", "int"), (b"3.5", "float"), (b"1e3", "float"),
        (b"true", "bool"), (b"null", "NoneType"),
    ])
    def test_not_an_object(self, raw, name):
        assert th.parse_color_correct(raw) == (
            None, f"color.json is present but is not a json object (got {name})")

    @pytest.mark.parametrize("obj,keys", [
        ({}, "[]"), ({"gain": [1, 1, 1]}, "['gain']"), ({"gian": 1, "gain": 1}, "['gain', 'gian']"),
        ({"bias": [0, 0, 0], "LUT": 1}, "['LUT', 'bias']"), ({"b'": 1, "a\\": 2}, "['a\\\\', \"b'\"]"),
        ({"\u00e9": 1, "z": 2}, "['z', '\u00e9']"), ({"a\x85\x1f": 1}, "['a\\x85\\x1f']"),
    ])
    def test_neither_form(self, obj, keys):
        assert th.parse_color_correct(json.dumps(obj).encode()) == (
            None, "color.json is present but carries neither a 'lut' nor a 'gain'+'bias' "
                  f"(keys: {keys})")

    @pytest.mark.parametrize("lut,shape", [
        (list(range(256)) * 3, "(768,)"), ([list(range(256))] * 2, "(2, 256)"), (7, "()"),
        ([], "(0,)"), ([[[1]]], "(1, 1, 1)"), ([list(range(256))] * 3 + [[]], None),
    ])
    def test_mis_shaped_table(self, lut, shape):
        cc, msg = th.parse_color_correct(doc(lut=lut))
        assert cc is None
        if shape is None:  # a ragged nesting is a conversion failure
            assert msg.startswith("color.json: 'lut' is not a uint8 array (ragged")
        else:
            assert msg == (f"color.json: 'lut' has shape {shape}, the contract is (3, 256) — "
                           "refusing to apply a mis-shaped table")

    @pytest.mark.parametrize("bad,words", [
        (300, "300 at [1][7] is outside the uint8 range 0 to 255"),
        (-1, "-1 at [1][7] is outside the uint8 range 0 to 255"),
        (256.0, "256.0 at [1][7] is outside the uint8 range 0 to 255"),
        ("abc", "'abc' at [1][7] does not read as an integer"),
        ("1.5", "'1.5' at [1][7] does not read as an integer"),
        (None, "null at [1][7] is not a number"),
        ({"x": 1}, "an object at [1][7] is not a number"),
    ])
    def test_table_element_refused(self, bad, words):
        table = IDENTITY.tolist()
        table[1][7] = bad
        assert th.parse_color_correct(doc(lut=table)) == (
            None, f"color.json: 'lut' is not a uint8 array ({words})")

    def test_ragged_table_words(self):
        table = IDENTITY.tolist()
        table[2] = table[2][:255]
        assert th.parse_color_correct(doc(lut=table)) == (
            None, "color.json: 'lut' is not a uint8 array (ragged nesting: the item at [0] has "
                  "shape (256,) but the item at [2] has shape (255,))")

    def test_deep_nesting_is_refused_without_crashing(self):
        depth = 200_000
        raw = b'{"lut": ' + b"[" * depth + b"]" * depth + b"}"
        assert th.parse_color_correct(raw) == (
            None, "color.json: 'lut' is not a uint8 array (arrays nested deeper than 32 levels)")
        nested = []
        for _ in range(5000):
            nested = [nested]
        assert th.parse_color_correct({"gain": nested, "bias": [0, 0, 0]}) == (
            None, "color.json: 'gain'/'bias' are not float arrays (gain: arrays nested deeper "
                  "than 32 levels)")

    def test_decoded_object_keys_that_are_never_read(self):
        # Whatever sits under keys the parser ignores, however deep or however foreign, is
        # ignored; where the parser does read, it is refused in the message.
        nested = []
        for _ in range(5000):
            nested = [nested]
        loop = []
        loop.append(loop)
        junk = {"deep": nested, "loop": loop, "raw": b"x", "thing": object(), "obj": {1: 2},
                "surrogate": "\udcff"}
        cc, msg = th.parse_color_correct({"lut": IDENTITY.tolist(), **junk})
        assert cc.kind == "lut" and msg == "per-channel LUT (model->driver) from color.json"
        cc, _ = th.parse_color_correct({"gain": [1, 1, 1], "bias": [0, 0, 0], **junk})
        assert cc.kind == "gain_bias"
        table = IDENTITY.tolist()
        table[2][9] = b"7"
        assert th.parse_color_correct({"lut": table}) == (
            None, "color.json: 'lut' is not a uint8 array (a bytes value at [2][9] is not a number)")

    def test_invalid_table_is_not_replaced_by_gain_bias(self):
        cc, msg = th.parse_color_correct(doc(lut=[1, 2], gain=[1, 1, 1], bias=[0, 0, 0]))
        assert cc is None and "'lut' has shape (2,)" in msg

    @pytest.mark.parametrize("gain,bias,msg", [
        (2, [0, 0, 0], "color.json: gain()/bias(3,), the contract is (3,)/(3,)"),
        ([1, 1], [0, 0, 0], "color.json: gain(2,)/bias(3,), the contract is (3,)/(3,)"),
        ([1, 1, 1], [[0, 0, 0]], "color.json: gain(3,)/bias(1, 3), the contract is (3,)/(3,)"),
        ([1, None, 1], [0, 0, 0],
         "color.json: 'gain'/'bias' are not float arrays (gain: null at [1] is not a number)"),
        ([1, 1, 1], [0, "x", 0],
         "color.json: 'gain'/'bias' are not float arrays (bias: 'x' at [1] does not read as a number)"),
        ([1e39, 1, 1], [0, 0, 0],
         "color.json: 'gain'/'bias' are not float arrays (gain: 1e+39 at [0] is beyond the float32 range)"),
        ([[1], [1, 2], 1], [0, 0, 0],
         "color.json: 'gain'/'bias' are not float arrays (gain: ragged nesting: the item at [0] has "
         "shape (1,) but the item at [1] has shape (2,))"),
    ])
    def test_gain_bias_refused(self, gain, bias, msg):
        assert th.parse_color_correct(doc(gain=gain, bias=bias)) == (None, msg)


class TestParseSuccess:
    @pytest.mark.parametrize("source,where", [("", "color.json"), ("/x/id.imx!color.json",
                                                                      "/x/id.imx!color.json")])
    def test_table(self, source, where):
        table = random_table(1)
        cc, msg = th.parse_color_correct(doc(lut=table.tolist(), gain=[2, 2, 2], bias=[1, 1, 1]),
                                         source=source)
        assert msg == f"per-channel LUT (model->driver) from {where}"
        assert cc.kind == "lut" and cc.source == source
        assert cc.lut.dtype == np.uint8 and np.array_equal(cc.lut, table)
        assert cc.gain is None and cc.bias is None

    @pytest.mark.parametrize("source,where", [("", "color.json"), ("b!color.json", "b!color.json")])
    def test_gain_bias(self, source, where):
        cc, msg = th.parse_color_correct(doc(gain=[1.5, 0.1, 1], bias=[10, -2.5, 1e-3], x=None),
                                         source=source)
        assert msg == f"per-channel gain/bias from {where}"
        assert cc.kind == "gain_bias" and cc.lut is None
        assert cc.gain.dtype == np.float32 and cc.bias.dtype == np.float32
        assert np.array_equal(cc.gain, np.array([1.5, 0.1, 1], np.float32))
        assert np.array_equal(cc.bias, np.array([10, -2.5, 1e-3], np.float32))

    def test_lenient_table_elements(self):
        table = IDENTITY.tolist()
        table[0][:5] = [1.7, True, False, " 12 ", -0.5]
        cc, _ = th.parse_color_correct(doc(lut=table))
        assert list(cc.lut[0, :5]) == [1, 1, 0, 12, 0]
        assert np.array_equal(cc.lut[1:], IDENTITY[1:])

    def test_lenient_gain_bias_elements(self):
        cc, _ = th.parse_color_correct(doc(gain=[True, "2.5", " 1e0 "], bias=[False, 0, "-1"]))
        assert cc.gain.tolist() == [1.0, 2.5, 1.0] and cc.bias.tolist() == [0.0, 0.0, -1.0]

    @pytest.mark.parametrize("wrap", [bytes, bytearray, lambda b: b.decode(), json.loads,
                                      memoryview])
    def test_input_forms(self, wrap):
        raw = doc(lut=IDENTITY.tolist())
        cc, msg = th.parse_color_correct(wrap(raw))
        assert msg == "per-channel LUT (model->driver) from color.json"
        assert np.array_equal(cc.lut, IDENTITY)

    @pytest.mark.parametrize("obj,name", [([1], "list"), ((1, 2), "tuple"), (3, "int"), (2.5, "float"),
                                          (True, "bool")])
    def test_decoded_non_object(self, obj, name):
        assert th.parse_color_correct(obj) == (
            None, f"color.json is present but is not a json object (got {name})")

    def test_decoded_object_with_numpy_values(self):
        cc, _ = th.parse_color_correct({"gain": np.ones(3), "bias": np.float64(0.5).item() * np.ones(3)})
        assert cc.gain.tolist() == [1, 1, 1] and cc.bias.tolist() == [0.5, 0.5, 0.5]

    def test_parsed_fields_are_read_only(self):
        cc, _ = th.parse_color_correct(doc(lut=IDENTITY.tolist()))
        with pytest.raises(ValueError):
            cc.lut[0, 0] = 9
        with pytest.raises(AttributeError):
            cc.kind = "gain_bias"


class TestConstructor:
    def test_only_kind_is_positional(self):
        with pytest.raises(TypeError):
            th.ColorCorrect("lut", IDENTITY)

    def test_values_stored_unchanged(self):
        lut, gain = IDENTITY.copy(), [1, 2]
        cc = th.ColorCorrect("lut", lut=lut, gain=gain, bias="junk", source="s")
        assert cc.kind == "lut" and cc.lut is lut and cc.gain is gain and cc.bias == "junk"
        assert cc.source == "s"
        assert th.ColorCorrect("x").source == ""

    def test_unusable_fields_fail_when_used(self):
        cc = th.ColorCorrect("lut", lut=[1, 2, 3])
        with pytest.raises(ValueError, match="carries no"):
            cc.describe()
        with pytest.raises(ValueError, match="carries no"):
            cc.apply(np.zeros((2, 3), np.uint8))
        with pytest.raises(ValueError, match="carries no"):
            th.color_descriptor(th.ColorCorrect("gain_bias", gain=[1, 1, 1]))


class TestApply:
    @pytest.mark.parametrize("value,gain,bias,out", [
        (100, 1.5, 10, 160), (255, 0.999, 0, 254), (200, 1.5, 10, 255), (10, 1.0, -20, 0),
        (0, 0.0, 0.0, 0), (255, 1.0, 0.999, 255), (3, 0.1, 0.0, 0),
    ])
    def test_gain_bias_examples(self, value, gain, bias, out):
        cc = th.ColorCorrect("gain_bias", gain=np.full(3, gain, np.float32),
                             bias=np.full(3, bias, np.float32))
        rgb = np.full((1, 1, 3), value, np.uint8)
        assert cc.apply(rgb).tolist() == [[[out] * 3]]
        assert ref.apply(cc, rgb).tolist() == [[[out] * 3]]

    @pytest.mark.parametrize("seed", range(3))
    def test_gain_bias_matches_reference_on_every_byte(self, seed):
        rng = np.random.default_rng(seed)
        cc = th.ColorCorrect("gain_bias", gain=rng.uniform(0.5, 1.5, 3).astype(np.float32),
                             bias=rng.uniform(-30, 30, 3).astype(np.float32))
        rgb = np.stack([np.arange(256, dtype=np.uint8)] * 3, axis=-1).reshape(16, 16, 3)
        assert np.array_equal(cc.apply(rgb), ref.apply(cc, rgb))

    def test_table_matches_reference(self):
        cc = th.ColorCorrect("lut", lut=random_table(4))
        rgb = np.random.default_rng(4).integers(0, 256, (720, 416, 3)).astype(np.uint8)
        before = rgb.copy()
        out = cc.apply(rgb)
        assert np.array_equal(out, ref.apply(cc, rgb))
        assert np.array_equal(rgb, before)

    def test_identity_gain_bias_returns_an_equal_copy(self):
        cc = th.ColorCorrect("gain_bias", gain=np.ones(3, np.float32), bias=np.zeros(3, np.float32))
        rgb = np.random.default_rng(5).integers(0, 256, (4, 5, 3)).astype(np.uint8)
        out = cc.apply(rgb)
        assert np.array_equal(out, rgb) and out is not rgb and not np.shares_memory(out, rgb)

    def test_strided_input_and_any_leading_shape(self):
        cc = th.ColorCorrect("lut", lut=random_table(6))
        rgb = np.random.default_rng(6).integers(0, 256, (2, 8, 6, 3)).astype(np.uint8)[:, ::2]
        assert np.array_equal(cc.apply(rgb), ref.apply(cc, rgb))

    @pytest.mark.parametrize("rgb,err", [(np.zeros((2, 3), np.int64), TypeError),
                                         (np.zeros((2, 4), np.uint8), ValueError)])
    def test_bad_input(self, rgb, err):
        with pytest.raises(err):
            th.ColorCorrect("lut", lut=IDENTITY).apply(rgb)


class TestDescribe:
    def test_identity_table(self):
        assert th.ColorCorrect("lut", lut=IDENTITY).describe() == (
            "per-channel LUT (model->driver), deviation from identity: "
            "R max 0 mean 0.0/G max 0 mean 0.0/B max 0 mean 0.0")

    def test_inverted_red_row(self):
        table = IDENTITY.copy()
        table[0] = 255 - np.arange(256)
        line = th.ColorCorrect("lut", lut=table).describe()
        assert line.endswith("identity: R max 255 mean 128.0/G max 0 mean 0.0/B max 0 mean 0.0")

    def test_mean_rounds_half_to_even(self):
        table = IDENTITY.copy()
        table[1, :64] += 1  # mean 0.25 -> "0.2"
        table[2, :96] += 1  # mean 0.375 -> "0.4"
        line = th.ColorCorrect("lut", lut=table).describe()
        assert line.endswith("G max 1 mean 0.2/B max 1 mean 0.4")
        assert line == ref.describe(th.ColorCorrect("lut", lut=table))

    @pytest.mark.parametrize("seed", range(4))
    def test_random_tables(self, seed):
        cc = th.ColorCorrect("lut", lut=random_table(seed))
        assert cc.describe() == ref.describe(cc)

    @pytest.mark.parametrize("gain,bias,text", [
        ([1.5, 1, 0.1], [10, 0, -20],
         "per-channel gain=[1.5, 1.0, 0.10000000149011612] bias=[10.0, 0.0, -20.0]"),
        ([1e20, 1e-5, 3e38], [-0.0, 0.0001, 123456789],
         "per-channel gain=[1.0000000200408773e+20, 9.999999747378752e-06, 3.0000000054977558e+38] "
         "bias=[-0.0, 9.999999747378752e-05, 123456792.0]"),
    ])
    def test_gain_bias(self, gain, bias, text):
        cc = th.ColorCorrect("gain_bias", gain=np.array(gain, np.float32),
                             bias=np.array(bias, np.float32))
        assert cc.describe() == text == ref.describe(cc)


class TestDescriptor:
    def test_none(self):
        assert th.color_descriptor(None) is None
        assert th._color_descriptor_json(None) == "null"

    def test_table_hashes_768_bytes(self):
        table = random_table(8)
        cc, _ = th.parse_color_correct(doc(lut=table.tolist()))
        digest = hashlib.sha256(table.tobytes()).hexdigest()
        assert len(table.tobytes()) == 768
        assert th.color_descriptor(cc) == {"kind": "lut", "sha256": digest} == ref.descriptor(cc)
        assert th._color_descriptor_json(cc) == '{"kind":"lut","sha256":"%s"}' % digest

    def test_gain_bias_hashes_24_bytes(self):
        cc, _ = th.parse_color_correct(doc(gain=[1.5, 0.1, 1], bias=[10, -2.5, 0]))
        data = (np.array([1.5, 0.1, 1], "<f4").tobytes() + np.array([10, -2.5, 0], "<f4").tobytes())
        assert len(data) == 24
        expected = {"kind": "gain_bias", "sha256": hashlib.sha256(data).hexdigest()}
        assert th.color_descriptor(cc) == expected == ref.descriptor(cc)

    def test_independent_of_source_and_json_text(self):
        table = random_table(9)
        a, _ = th.parse_color_correct(doc(lut=table.tolist()), source="a")
        b, _ = th.parse_color_correct(
            b'{"other": 1,\n "lut": ' + json.dumps(table.tolist(), indent=2).encode() + b"}",
            source="b")
        assert th.color_descriptor(a) == th.color_descriptor(b)


class TestLoad:
    def bundle(self, tmp_path, member=None):
        d = tmp_path / "id"
        d.mkdir()
        if member is not None:
            (d / "color.json").write_bytes(member)
        return str(d)

    def test_applied(self, tmp_path, monkeypatch):
        monkeypatch.delenv(th.COLOR_ENV, raising=False)
        b = self.bundle(tmp_path, doc(lut=IDENTITY.tolist()))
        cc, report = th.load_color_correct(b)
        assert cc.kind == "lut" and cc.source == b + "!color.json"
        assert report == ("colour-correct: APPLIED — per-channel LUT (model->driver), deviation "
                          "from identity: R max 0 mean 0.0/G max 0 mean 0.0/B max 0 mean 0.0")

    @pytest.mark.parametrize("kind", KINDS)
    def test_no_member_says_container(self, tmp_path, monkeypatch, kind):
        monkeypatch.setenv(th.COLOR_ENV, "yes")
        b = make_bundle(str(tmp_path), kind, [("Color.json", doc(lut=IDENTITY.tolist()))])
        cc, report = th.load_color_correct(b)
        assert cc is None
        assert report == ("colour-correct: NOT APPLIED — this container carries no color.json"
                          + NOT_APPLIED_TAIL)

    @pytest.mark.parametrize("kind", ["imx", "zip"])
    def test_table_in_a_folder_of_a_container(self, tmp_path, monkeypatch, kind):
        monkeypatch.delenv(th.COLOR_ENV, raising=False)
        table = random_table(12)
        b = make_bundle(str(tmp_path), kind, [("assets/color.json", doc(lut=table.tolist()))])
        cc, report = th.load_color_correct(b)
        assert np.array_equal(cc.lut, table) and cc.source == b + "!color.json"
        assert report == "colour-correct: APPLIED — " + ref.describe(cc)

    def test_invalid_table(self, tmp_path, monkeypatch):
        monkeypatch.delenv(th.COLOR_ENV, raising=False)
        cc, report = th.load_color_correct(self.bundle(tmp_path, b"[]"))
        assert cc is None
        assert report == ("colour-correct: NOT APPLIED — color.json is present but is not a json "
                          "object (got list)" + NOT_APPLIED_TAIL)

    @pytest.mark.skipif(not os.path.exists("/proc/self/mem"), reason="needs /proc")
    @pytest.mark.parametrize("value", ["0", "OFF", " false "])
    def test_switched_off_does_not_read_the_bundle(self, tmp_path, monkeypatch, value):
        # A member whose read fails (reading /proc/self/mem from offset 0 is an I/O error): the
        # loader reports it when it reads, and never reads when switched off.
        b = tmp_path / "id"
        b.mkdir()
        (b / "color.json").symlink_to("/proc/self/mem")
        monkeypatch.delenv(th.COLOR_ENV, raising=False)
        with pytest.raises(OSError):
            th.load_color_correct(str(b))
        monkeypatch.setenv(th.COLOR_ENV, value)
        assert th.load_color_correct(str(b)) == (
            None, "colour-correct: DISABLED by MIRRANT2_COLOR_CORRECT=0 — the frames are the RAW "
                  "model output and will NOT match a live session's colours. This switch exists to "
                  "isolate the renderer for measurement; it is not a serving mode.")
