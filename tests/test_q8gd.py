"""The int8 decoder variant choice: CPU flags, the manifest's binding of the variant to its base,
the runtime gate, the variant's digest, and the one log message of each outcome."""

import hashlib
import importlib.metadata
import json
import os
import random

import pytest

from bundle_files import make_bundle

Q8 = "combined_litert_q8gd.tflite"
COMBINED = "combined_litert.tflite"
SERVING = " — serving combined_litert.tflite"
NO_INT8 = (
    "[q8gd] FALLBACK: this CPU has no int8 dot product (no avx512_vnni / avx_vnni; int8 measured 0.88-0.93x on AVX2)"
    + SERVING
)
NOT_BOUND = "the header does not bind it (no members_sha256 entry / litert_q8gd block)"
NOT_RECORDED = "gate runtime not recorded (published before 2026-10-05)"
RUNTIME = importlib.metadata.version("ai-edge-litert")
VARIANT = b"int8 variant bytes"
BASE = b"float combined bytes"


def sha(data):
    return hashlib.sha256(data).hexdigest()


def cpuinfo(tmp_path, first_flags, later_flags="avx512_vnni avx_vnni", name="cpuinfo"):
    text = (
        "processor\t: 0\nvendor_id\t: GenuineIntel\n"
        f"flags\t\t: fpu sse2 avx2 {first_flags}\n\n"
        f"processor\t: 1\nflags\t\t: fpu {later_flags}\n"
    )
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def manifest_for(variant=VARIANT, base=BASE, gate=RUNTIME):
    q, c = sha(variant), sha(base)
    block = {"sha256": q, "base_member": COMBINED, "base_sha256": c}
    if gate is not None:
        block["gate"] = {"runtime": gate}
    return {"members_sha256": {Q8: q, COMBINED: c, "canon.bin": "0" * 64}, "litert_q8gd": block}


@pytest.fixture
def env(monkeypatch):
    monkeypatch.delenv("MIRRANT2_Q8GD", raising=False)
    return monkeypatch


@pytest.fixture
def vnni(tmp_path):
    return cpuinfo(tmp_path, "avx_vnni avx512_vnni")


def dir_bundle(tmp_path, manifest=None, variant=VARIANT, raw_manifest=None, name="bundle"):
    members = [(COMBINED, BASE), (Q8, variant)]
    if raw_manifest is not None:
        members.append(("manifest.json", raw_manifest))
    elif manifest is not None:
        members.append(("manifest.json", json.dumps(manifest).encode()))
    return make_bundle(tmp_path, "dir", members, name=name)


def selected(bundle_path, cpu="avx512_vnni", digest=sha(VARIANT), why=f"gated on this runtime (ai-edge-litert {RUNTIME})"):
    return (
        os.path.join(bundle_path, Q8),
        f"[q8gd] SELECTED {Q8} (int8 decoder; cpu {cpu}; sha {digest[:12]} bound; {why})",
    )


class TestInt8DotIsa:
    @pytest.mark.parametrize(
        "flags,expected",
        [
            ("avx_vnni avx512_vnni", "avx512_vnni"),
            ("avx512_vnni avx_vnni", "avx512_vnni"),
            ("avx_vnni", "avx_vnni"),
            ("avx512f avx512bw", None),
            ("avx512_vnnix xavx_vnni", None),
        ],
    )
    def test_first_flags_line_decides(self, th, tmp_path, flags, expected):
        assert th.int8_dot_isa(cpuinfo(tmp_path, flags)) == expected

    @pytest.mark.parametrize(
        "text,expected",
        [
            ("processor: 0\nmodel name: x\n", None),
            ("", None),
            ("flagsy   : avx_vnni\n", "avx_vnni"),  # a plain prefix test
            (" flags : avx_vnni\n", None),
            ("Features: asimd\r\nflags: sse\r\nflags: avx_vnni\r\n", None),
            ("x\rflags\t:\tavx_vnni", "avx_vnni"),  # old Mac line ends, no final newline
        ],
    )
    def test_line_forms(self, th, tmp_path, text, expected):
        p = tmp_path / "cpuinfo"
        p.write_bytes(text.encode())
        assert th.int8_dot_isa(str(p)) == expected

    def test_unreadable_file_means_none(self, th, tmp_path):
        assert th.int8_dot_isa(str(tmp_path / "missing")) is None
        assert th.int8_dot_isa(str(tmp_path)) is None

    def test_flags_line_without_colon_is_an_error(self, th, tmp_path):
        p = tmp_path / "cpuinfo"
        p.write_text("flags avx_vnni\n")
        with pytest.raises(IndexError, match="list index out of range"):
            th.int8_dot_isa(str(p))

    def test_default_reads_this_machine(self, th):
        assert th.int8_dot_isa() in (None, "avx512_vnni", "avx_vnni")


class TestBound:
    def test_a_complete_binding(self, th):
        assert th._q8gd_bound(manifest_for()) == (sha(VARIANT), "bound")

    @pytest.mark.parametrize(
        "change",
        [
            lambda m: m.pop("litert_q8gd"),
            lambda m: m["members_sha256"].pop(Q8),
            lambda m: m["members_sha256"].update({Q8: ""}),
            lambda m: m.update(litert_q8gd=["not", "a", "block"]),
            lambda m: m.update(litert_q8gd="text"),
            lambda m: m.update(members_sha256=[]),
            lambda m: m.clear(),
        ],
    )
    def test_not_bound(self, th, change):
        m = manifest_for()
        change(m)
        assert th._q8gd_bound(m) == (None, NOT_BOUND)

    @pytest.mark.parametrize("manifest", [None, {}, [], ""])
    def test_empty_manifest_counts_as_an_empty_object(self, th, manifest):
        assert th._q8gd_bound(manifest) == (None, NOT_BOUND)

    def test_block_digest_disagrees(self, th):
        m = manifest_for()
        m["litert_q8gd"]["sha256"] = sha(b"other")
        assert th._q8gd_bound(m) == (None, "litert_q8gd.sha256 disagrees with members_sha256")
        m["litert_q8gd"].pop("sha256")
        assert th._q8gd_bound(m) == (None, "litert_q8gd.sha256 disagrees with members_sha256")

    @pytest.mark.parametrize(
        "change,shown_cut,shown_declared",
        [
            (lambda m: m["litert_q8gd"].update(base_member="identity.tflite"), sha(BASE)[:12], sha(BASE)[:12]),
            (lambda m: m["litert_q8gd"].pop("base_member"), sha(BASE)[:12], sha(BASE)[:12]),
            (lambda m: m["litert_q8gd"].update(base_sha256=sha(b"x")), sha(b"x")[:12], sha(BASE)[:12]),
            (lambda m: m["litert_q8gd"].pop("base_sha256"), "None", sha(BASE)[:12]),
            (lambda m: m["members_sha256"].pop(COMBINED), sha(BASE)[:12], "None"),
            (lambda m: m["members_sha256"].update({COMBINED: ""}), sha(BASE)[:12], ""),
            (lambda m: m["litert_q8gd"].update(base_sha256=12345678901234567), "123456789012", sha(BASE)[:12]),
        ],
    )
    def test_stale_always_names_the_combined_member(self, th, change, shown_cut, shown_declared):
        m = manifest_for()
        change(m)
        reason = f"STALE: cut from {COMBINED} {shown_cut}, the header declares {shown_declared}"
        assert th._q8gd_bound(m) == (None, reason)

    @pytest.mark.parametrize("bad", [["a"], "text", 5])
    def test_members_sha256_of_another_type(self, th, bad):
        m = manifest_for()
        m["members_sha256"] = bad
        kind = type(bad).__name__
        with pytest.raises(AttributeError, match=f"'{kind}' object has no attribute 'get'"):
            th._q8gd_bound(m)


class TestRuntimeGate:
    def test_reads_the_installed_package_version(self, th):
        assert th.litert_runtime_version() == RUNTIME

    @pytest.mark.parametrize("gate", [None, {}, {"runtime": ""}, {"runtime": None}, "1.0", []])
    def test_no_recorded_runtime_admits_anything(self, th, gate):
        m = manifest_for(gate=None)
        if gate is not None:
            m["litert_q8gd"]["gate"] = gate
        assert th._q8gd_runtime_ok(m, None) == (True, NOT_RECORDED)
        assert th._q8gd_runtime_ok(m, "0.0.1") == (True, NOT_RECORDED)

    def test_unreadable_running_version(self, th):
        assert th._q8gd_runtime_ok(manifest_for(gate="2.3.0"), None) == (
            False,
            "gated on ai-edge-litert 2.3.0, this process's runtime is unreadable",
        )

    def test_other_running_version(self, th):
        assert th._q8gd_runtime_ok(manifest_for(gate="2.3.0"), "2.3.0.post1") == (
            False,
            "gated on ai-edge-litert 2.3.0, this process runs 2.3.0.post1 — re-gate it",
        )

    def test_same_running_version(self, th):
        assert th._q8gd_runtime_ok(manifest_for(gate="2.3.0"), "2.3.0") == (
            True,
            "gated on this runtime (ai-edge-litert 2.3.0)",
        )


class TestSelect:
    @pytest.mark.parametrize("kind", ["imx", "zip"])
    def test_containers_never_get_the_variant(self, th, env, tmp_path, vnni, kind):
        members = [(COMBINED, BASE), (Q8, VARIANT), ("manifest.json", json.dumps(manifest_for()).encode())]
        assert th._select_q8gd(make_bundle(tmp_path, kind, members), vnni) == (None, "")

    @pytest.mark.parametrize(
        "members",
        [[(COMBINED, BASE)], [(COMBINED, BASE), ("sub/" + Q8, VARIANT)], [(COMBINED, BASE), (Q8 + "/inner", b"")]],
        ids=["absent", "below-top-level", "a-directory"],
    )
    def test_directory_without_the_variant_file(self, th, env, tmp_path, vnni, members):
        assert th._select_q8gd(make_bundle(tmp_path, "dir", members), vnni) == (None, "")

    def test_missing_bundle(self, th, env, tmp_path, vnni):
        assert th._select_q8gd(str(tmp_path / "missing"), vnni) == (None, "")

    def test_selected(self, th, env, tmp_path, vnni):
        b = dir_bundle(tmp_path, manifest_for())
        assert th._select_q8gd(b, vnni) == selected(b)

    def test_selected_on_avx_vnni(self, th, env, tmp_path):
        b = dir_bundle(tmp_path, manifest_for())
        assert th._select_q8gd(b, cpuinfo(tmp_path, "avx_vnni")) == selected(b, cpu="avx_vnni")

    def test_variant_larger_than_one_hash_piece(self, th, env, tmp_path, vnni):
        big = random.Random(7).randbytes(9 * 1024 * 1024 + 3)
        b = dir_bundle(tmp_path, manifest_for(variant=big), variant=big)
        assert th._select_q8gd(b, vnni) == selected(b, digest=sha(big))

    @pytest.mark.parametrize("value", ["0", "off", " OFF ", "false", "False", "no", "\tNo\n"])
    def test_switched_off(self, th, env, tmp_path, vnni, value):
        env.setenv("MIRRANT2_Q8GD", value)
        shown = value.strip().lower()
        expected = (None, f"[q8gd] off (MIRRANT2_Q8GD={shown}){SERVING}")
        assert th._select_q8gd(dir_bundle(tmp_path, manifest_for()), vnni) == expected

    def test_off_is_checked_before_the_cpu(self, th, env, tmp_path):
        env.setenv("MIRRANT2_Q8GD", "0")
        b = dir_bundle(tmp_path, None)
        expected = (None, f"[q8gd] off (MIRRANT2_Q8GD=0){SERVING}")
        assert th._select_q8gd(b, str(tmp_path / "no-cpuinfo")) == expected

    @pytest.mark.parametrize("value", ["", "auto", "yes", "1", "force", "on"])
    def test_other_values_behave_like_auto(self, th, env, tmp_path, vnni, value):
        env.setenv("MIRRANT2_Q8GD", value)
        b = dir_bundle(tmp_path, manifest_for())
        assert th._select_q8gd(b, vnni) == selected(b)
        # ... and force nothing past the later checks.
        assert th._select_q8gd(b, cpuinfo(tmp_path, "sse4_2", name="plain")) == (None, NO_INT8)

    @pytest.mark.parametrize("cpu", ["neither", "missing", "no-flags-line"])
    def test_no_int8_dot_product(self, th, env, tmp_path, cpu):
        path = {
            "neither": cpuinfo(tmp_path, "avx2 avx512f"),
            "missing": str(tmp_path / "missing"),
            "no-flags-line": str(tmp_path / "arm"),
        }[cpu]
        (tmp_path / "arm").write_text("processor: 0\nFeatures: asimd\n")
        assert th._select_q8gd(dir_bundle(tmp_path, manifest_for()), path) == (None, NO_INT8)

    def test_missing_manifest_is_a_catch_all_fallback(self, th, env, tmp_path, vnni):
        b = dir_bundle(tmp_path, None)
        mp = os.path.join(b, "manifest.json")
        expected = f"[q8gd] FALLBACK: FileNotFoundError: [Errno 2] No such file or directory: {mp!r}{SERVING}"
        assert th._select_q8gd(b, vnni) == (None, expected)

    @pytest.mark.parametrize(
        "raw",
        [b'{"members_sha256": {"x": "\xff"}}', b"\xed\xa0\x80", b'{"a": "\xe2\x82', b'{"a": "\xf0\x90(', b"\xc3"],
    )
    def test_manifest_not_utf8(self, th, env, tmp_path, vnni, raw):
        try:
            raw.decode("utf-8")
        except UnicodeDecodeError as e:
            text = str(e)
        b = dir_bundle(tmp_path, raw_manifest=raw)
        assert th._select_q8gd(b, vnni) == (None, f"[q8gd] FALLBACK: UnicodeDecodeError: {text}{SERVING}")

    @pytest.mark.parametrize("raw", [b"", b"{", b"{'a': 1}", b'{"a": 1} x', b"NaN"])
    def test_manifest_not_json(self, th, env, tmp_path, vnni, raw):
        path, message = th._select_q8gd(dir_bundle(tmp_path, raw_manifest=raw), vnni)
        assert path is None
        assert message.startswith("[q8gd] FALLBACK: JSONDecodeError: ") and message.endswith(SERVING)

    def test_manifest_with_a_byte_order_mark(self, th, env, tmp_path, vnni):
        raw = b"\xef\xbb\xbf" + json.dumps(manifest_for()).encode()
        with pytest.raises(json.JSONDecodeError) as info:
            json.loads(raw.decode("utf-8"))
        expected = f"[q8gd] FALLBACK: JSONDecodeError: {info.value}{SERVING}"
        assert th._select_q8gd(dir_bundle(tmp_path, raw_manifest=raw), vnni) == (None, expected)

    @pytest.mark.parametrize(
        "manifest,error",
        [
            ({"members_sha256": ["x"]}, "AttributeError: 'list' object has no attribute 'get'"),
            (["not", "an", "object"], "AttributeError: 'list' object has no attribute 'get'"),
            (7, "AttributeError: 'int' object has no attribute 'get'"),
        ],
    )
    def test_manifest_value_of_another_type(self, th, env, tmp_path, vnni, manifest, error):
        b = dir_bundle(tmp_path, manifest)
        assert th._select_q8gd(b, vnni) == (None, f"[q8gd] FALLBACK: {error}{SERVING}")

    def test_malformed_flags_line(self, th, env, tmp_path):
        p = tmp_path / "cpuinfo"
        p.write_text("flags avx512_vnni\n")
        expected = (None, f"[q8gd] FALLBACK: IndexError: list index out of range{SERVING}")
        assert th._select_q8gd(dir_bundle(tmp_path, manifest_for()), str(p)) == expected

    def test_members_entry_without_block(self, th, env, tmp_path, vnni):
        m = manifest_for()
        m.pop("litert_q8gd")
        assert th._select_q8gd(dir_bundle(tmp_path, m), vnni) == (None, f"[q8gd] FALLBACK: {NOT_BOUND}{SERVING}")

    def test_cut_from_another_member(self, th, env, tmp_path, vnni):
        m = manifest_for()
        m["litert_q8gd"]["base_member"] = "identity.tflite"
        c12 = sha(BASE)[:12]
        expected = f"[q8gd] FALLBACK: STALE: cut from {COMBINED} {c12}, the header declares {c12}{SERVING}"
        assert th._select_q8gd(dir_bundle(tmp_path, m), vnni) == (None, expected)

    @pytest.mark.parametrize("gate", [None, ""])
    def test_unrecorded_gate_admits(self, th, env, tmp_path, vnni, gate):
        m = manifest_for(gate=gate)
        b = dir_bundle(tmp_path, m)
        assert th._select_q8gd(b, vnni) == selected(b, why=NOT_RECORDED)

    def test_gated_on_another_runtime(self, th, env, tmp_path, vnni):
        other = RUNTIME + ".dev0"
        expected = f"[q8gd] FALLBACK: gated on ai-edge-litert {other}, this process runs {RUNTIME} — re-gate it{SERVING}"
        assert th._select_q8gd(dir_bundle(tmp_path, manifest_for(gate=other)), vnni) == (None, expected)

    def test_upper_case_digests_never_match(self, th, env, tmp_path, vnni):
        q, c = sha(VARIANT).upper(), sha(BASE).upper()
        m = manifest_for()
        m["members_sha256"].update({Q8: q, COMBINED: c})
        m["litert_q8gd"].update(sha256=q, base_sha256=c)
        expected = f"[q8gd] FALLBACK: bytes {sha(VARIANT)[:12]} != declared {q[:12]}{SERVING}"
        assert th._select_q8gd(dir_bundle(tmp_path, m), vnni) == (None, expected)

    def test_variant_changed_after_the_manifest(self, th, env, tmp_path, vnni):
        b = dir_bundle(tmp_path, manifest_for())
        with open(os.path.join(b, Q8), "ab") as f:
            f.write(b"!")
        changed = sha(VARIANT + b"!")
        expected = f"[q8gd] FALLBACK: bytes {changed[:12]} != declared {sha(VARIANT)[:12]}{SERVING}"
        assert th._select_q8gd(b, vnni) == (None, expected)

    def test_non_text_digest_that_cannot_be_cut(self, th, env, tmp_path, vnni):
        m = manifest_for()
        m["members_sha256"][Q8] = m["litert_q8gd"]["sha256"] = 42
        expected = f"[q8gd] FALLBACK: TypeError: 'int' object is not subscriptable{SERVING}"
        assert th._select_q8gd(dir_bundle(tmp_path, m), vnni) == (None, expected)

    def test_never_raises_on_a_bad_argument(self, th, env):
        path, message = th._select_q8gd(None)
        assert path is None
        assert message.startswith("[q8gd] FALLBACK: TypeError: ") and message.endswith(SERVING)

    def test_path_object(self, th, env, tmp_path, vnni):
        import pathlib

        b = dir_bundle(tmp_path, manifest_for())
        assert th._select_q8gd(pathlib.Path(b), pathlib.Path(vnni)) == selected(b)
