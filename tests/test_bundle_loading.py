"""Bundle loading: the contract's refusals, the model shapes, and the shared-encoder search."""

import errno
import json
import os
from pathlib import Path

import numpy as np
import pytest

from bundles import CANON, COMBINED, IDENTITY, KINDS, Q8GD, SHARED_ENC, make, manifest, sha
from quorvane._mirrant2 import _tensorhost as th

SED_ID = "'mirrant2.shared-enc'"


@pytest.fixture(autouse=True)
def clean_env(monkeypatch, tmp_path):
    for v in ("MIRRANT2_SHARED_ENC", "MIRRANT2_ENGINE_DIR", "MIRRANT2_ANE_ENGINE", "MIRRANT2_Q8GD",
              "QUORVANE_DEPS_DIR", "MIRRANT2_COLOR_CORRECT"):
        monkeypatch.delenv(v, raising=False)
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    stage = tmp_path / "stage"
    monkeypatch.setenv("MIRRANT2_STAGE_DIR", str(stage))
    yield
    th._drop_staged()


def declares(want):
    return manifest(dependencies=[{"id": "mirrant2.shared-enc", "sha256": want}])


def fatal(capfd, bundle, engine=None):
    with pytest.raises(SystemExit) as e:
        th.load_bundle(bundle, engine)
    assert e.value.code == 3
    err = capfd.readouterr().err.splitlines()
    assert err[-1].startswith("[render-stream-tensorhost] FATAL: ")
    return err[-1][len("[render-stream-tensorhost] FATAL: "):]


class TestRefusals:
    @pytest.mark.parametrize("kind", KINDS)
    def test_no_canon(self, tmp_path, capfd, kind):
        b = make(tmp_path, kind, {"combined_litert.tflite": COMBINED})
        assert fatal(capfd, b) == f"no canon.bin in {b} (per-identity canon latent required)"

    @pytest.mark.parametrize("data, count", [(CANON[:-4], 74879), (CANON + b"\0" * 4, 74881), (CANON[:-1], 74879), (b"", 0)])
    def test_canon_count(self, tmp_path, capfd, data, count):
        b = make(tmp_path, "imx", {"canon.f32": data, "combined_litert.tflite": COMBINED})
        assert fatal(capfd, b) == f"{b}: canon.bin has {count} floats, expected 74880"

    @pytest.mark.parametrize("member", ["canon.bin", "combined_litert.tflite"])
    @pytest.mark.parametrize("target, what", [("fifo", "a link to a FIFO"), ("dir", "a link to a directory"),
                                              ("/dev/zero", "a link to a character device"),
                                              ("loop", "a link that cannot be followed: [Errno 40] Too many "
                                                       "levels of symbolic links"),
                                              ("plain-fifo", "a FIFO")])
    def test_a_member_that_is_no_regular_file_is_named_as_such(self, tmp_path, capfd, member, target, what):
        # Each was refused as absent ("no canon.bin in ..."), or passed over for another shape.
        b = make(tmp_path, "dir", {"canon.bin": CANON, "combined_litert.tflite": COMBINED})
        p = os.path.join(b, member)
        os.unlink(p)
        if target == "fifo":
            os.mkfifo(tmp_path / "fifo")
            os.symlink(tmp_path / "fifo", p)
        elif target == "dir":
            os.symlink(tmp_path, p)
        elif target == "loop":
            os.symlink(p, p)
        elif target == "plain-fifo":
            os.mkfifo(p)
        else:
            os.symlink(target, p)
        assert fatal(capfd, b) == f"{b}: {member} is not a regular file ({what})"

    @pytest.mark.parametrize("odd", ['"\\ud800"', "NaN", "-Infinity", "1e400", "sha"])
    def test_a_manifest_outside_strict_json_is_refused_by_host_and_package_alike(self, tmp_path, capfd, odd):
        # Python's json read these, the host's parser did not and took the bundle for one that
        # declares no base: its own copy of another base then rendered, unverified.
        from quorvane._imx_engine import BadManifest, read_manifest

        want = sha(SHARED_ENC)
        digest = '"\\ud800' + want[1:] + '"' if odd == "sha" else f'"{want}"'
        extra = "" if odd == "sha" else f', "x": [{odd}]'
        doc = f'{{"dependencies": [{{"id": "mirrant2.shared-enc", "sha256": {digest}}}]{extra}}}'.encode()
        b = make(tmp_path, "imx", {"canon.bin": CANON, "identity.tflite": IDENTITY, "shared-enc.tflite": b"other",
                                   "manifest.json": doc})
        with pytest.raises(BadManifest, match="^manifest.json of .* is not valid JSON: "):
            read_manifest(b)
        line = fatal(capfd, b)
        assert line.startswith(f"cannot read manifest.json of {b}: not valid JSON (JSONDecodeError: "), line

    def test_canon_first_whatever_else(self, tmp_path, capfd):
        b = make(tmp_path, "dir", {"x.onnx": b"1"})
        assert fatal(capfd, b).startswith("no canon.bin in ")

    def test_split_without_policy_module(self, tmp_path, capfd, monkeypatch):
        b = make(tmp_path, "dir", {"canon.bin": CANON, "identity.tflite": IDENTITY, "shared-enc.tflite": SHARED_ENC})
        monkeypatch.setattr(th, "_SED", None)
        monkeypatch.setattr(th, "_SED_WHY", "No module named 'shared_enc_dep'")
        assert fatal(capfd, b) == (
            f"{b} is a two-artifact split, but this engine has no shared_enc_dep (the base-verification policy) "
            "\u2014 searched the repo tools/ dir and this host's own directory (No module named 'shared_enc_dep'). "
            "Without it the base pairing cannot be verified, and an unverified pairing renders a different face "
            "with no error. Vendor tools/shared_enc_dep beside this host in the engine artifact. (The "
            "combined-member path does not need it and is unaffected.)")

    def test_split_no_base_declared_no_own_copy(self, tmp_path, capfd):
        b = make(tmp_path, "zip", {"canon.bin": CANON, "identity.tflite": IDENTITY})
        assert fatal(capfd, b) == (
            f"{b} carries identity.tflite (the two-artifact split's DELTA half) and declares no {SED_ID} base in "
            "its manifest dependencies[], and carries no shared-enc.tflite of its own. There is no way to tell "
            "which shared-enc.tflite it was cut against, and the wrong one renders a DIFFERENT FACE with no error "
            "(measured 2026-09-01: 181 of 181 frames wrong, silently). Re-emit the container with "
            "tools/imx_from_bundle, which stamps the base content address.")

    def test_split_declared_base_nowhere(self, tmp_path, capfd):
        want = sha(SHARED_ENC)
        b = make(tmp_path, "imx", {"canon.bin": CANON, "identity.tflite": IDENTITY, "manifest.json": declares(want)})
        assert fatal(capfd, b) == (
            f"{b} was cut against shared-enc.tflite sha256={want} and that base is NOT on this machine. "
            f"Resolution: no candidate found. Put it in the content store (${{QUORVANE_DEPS_DIR}} or "
            f"~/.quorvane/deps, as <store>/{want} or <store>/{want[:2]}/{want}), or pass --engine <dir|.engine> "
            "holding exactly that base. A base with the right NAME and the wrong CONTENT is refused here on purpose.")

    def test_split_declared_base_mismatches_in_search_order(self, tmp_path, capfd, monkeypatch):
        want = sha(SHARED_ENC)
        b = make(tmp_path, "imx", {"canon.bin": CANON, "identity.tflite": IDENTITY, "shared-enc.tflite": b"other",
                                   "manifest.json": declares(want)})
        eng = tmp_path / "eng"
        eng.mkdir()
        (eng / "shared-enc.tflite").write_bytes(b"wrong")
        wrong_file = tmp_path / "files" / "shared-enc.tflite"
        wrong_file.parent.mkdir()
        wrong_file.write_bytes(b"also wrong")
        monkeypatch.setenv("MIRRANT2_SHARED_ENC", str(wrong_file))
        line = fatal(capfd, b, str(eng))
        how = line.split("Resolution: ", 1)[1].split(". Put it in", 1)[0]
        notes = how.split("; ")
        assert len(notes) == 3
        assert notes[0].endswith("_shared-enc.tflite (co-located in the bundle): sha mismatch")
        assert notes[1] == f"{eng / 'shared-enc.tflite'} (engine dir): sha mismatch"
        assert notes[2] == f"{wrong_file} (explicit file): sha mismatch"

    @pytest.mark.parametrize("engine, why", [
        ("missing", "[Errno 2] No such file or directory"),
        ("empty-dir", "no shared-enc.tflite in this directory"),
        ("other-file", "neither shared-enc.tflite nor an .imx or zip container holding one"),
    ])
    def test_an_engine_value_passed_over_says_why(self, tmp_path, capfd, engine, why):
        want = sha(SHARED_ENC)
        b = make(tmp_path, "imx", {"canon.bin": CANON, "identity.tflite": IDENTITY, "manifest.json": declares(want)})
        e = tmp_path / engine
        if engine == "empty-dir":
            e.mkdir()
        elif engine == "other-file":
            e.write_bytes(b"not an engine")
        line = fatal(capfd, b, str(e))
        assert f" Resolution: {e} (--engine): {why}. Put it in " in line

    @pytest.mark.parametrize("value, shown", [
        ("ABS", None), ("../elsewhere/shared-enc.tflite", None), ("A" * 64, None), ("a" * 63, None),
        (123, "'123'"), (["a" * 64], None), ("a" * 200, None),
    ], ids=["absolute", "relative", "upper", "short", "number", "list", "long"])
    def test_a_declared_base_that_is_no_digest_is_refused(self, tmp_path, capfd, monkeypatch, value, shown):
        # Such a text was joined to the store's directory and the file it named loaded, unhashed.
        target = tmp_path / "elsewhere" / "shared-enc.tflite"
        target.parent.mkdir()
        target.write_bytes(SHARED_ENC)
        if value == "ABS":
            value = str(target)
        store = tmp_path / "store" / "deps"
        store.mkdir(parents=True)
        monkeypatch.setenv("QUORVANE_DEPS_DIR", str(store))
        members = {"canon.bin": CANON, "identity.tflite": IDENTITY, "shared-enc.tflite": SHARED_ENC,
                   "manifest.json": declares(value)}
        b = make(tmp_path, "zip", members)
        text = value if isinstance(value, str) else json.dumps(value)
        if shown is None:
            shown = repr(text[:80]) + ("..." if len(text) > 80 else "")
        assert fatal(capfd, b) == (f"{b}: the sha256 of the {SED_ID} record in manifest.json dependencies[] is "
                                   f"{shown}, not a sha256 digest (64 lowercase hex digits)")

    def test_only_a_digest_is_joined_to_the_store(self, tmp_path):
        b = make(tmp_path, "dir", {"canon.bin": CANON})
        for bad in ("/etc/passwd", "../x", "A" * 64):
            with pytest.raises(ValueError, match="not a sha256 digest"):
                th._SED.store_candidates(bad, [str(tmp_path)])
            with pytest.raises(ValueError, match="not a sha256 digest"):
                th._resolve_shared_enc(b, None, bad)

    def test_split_empty_declared_base_nowhere(self, tmp_path, capfd, monkeypatch):
        b = make(tmp_path, "dir", {"canon.bin": CANON, "identity.tflite": IDENTITY, "manifest.json": declares("x")})
        monkeypatch.setattr(th._SED, "base_sha256_of", lambda deps: "")
        assert fatal(capfd, b) == (
            f"{b} carries identity.tflite (two-artifact split) but no engine shared-enc.tflite was found. Provide it "
            "via --engine <dir|.engine>, MIRRANT2_SHARED_ENC=<file>, or install the linux engine "
            "(`quorvane engine install linux`) into ~/.quorvane/engines/.")

    @pytest.mark.parametrize("kind", KINDS)
    def test_stray_models_sorted(self, tmp_path, capfd, kind):
        b = make(tmp_path, kind, {"canon.bin": CANON, "other.tflite": b"1", "a.tflite": b"2",
                                  "combined_litert_q8gd.tflite": Q8GD})
        assert fatal(capfd, b) == (
            f"{b} carries UNEXPECTED tflite member(s) ['a.tflite', 'combined_litert_q8gd.tflite', 'other.tflite'] "
            "and none of the contract renderers. mirrant-2 names exactly two renderer shapes: "
            "combined_litert.tflite, OR identity.tflite + an engine shared-enc.tflite. Other .tflite names are "
            "not loaded: re-pack the member under its contract name.")

    def test_no_model_at_all(self, tmp_path, capfd):
        b = make(tmp_path, "dir", {"canon.bin": CANON, "notes.txt": b"x"})
        assert fatal(capfd, b) == (
            f"no LiteRT tflite member in {b} (expected combined_litert.tflite, OR identity.tflite + an engine "
            "shared-enc.tflite; convert-on-first-run from onnx/ckpt is not wired in v1)")

    @pytest.mark.parametrize("kind", ["missing", "dangling-link", "link-loop", "mode-000"])
    def test_a_bundle_that_cannot_be_read_is_named_with_the_reason(self, tmp_path, capfd, kind):
        # Each was refused as "no canon.bin in ...", as if it were a bundle without members.
        p = tmp_path / "avatar.imx"
        code = {"missing": errno.ENOENT, "dangling-link": errno.ENOENT, "link-loop": errno.ELOOP,
                "mode-000": errno.EACCES}[kind]
        if kind == "dangling-link":
            p.symlink_to(tmp_path / "nowhere")
        elif kind == "link-loop":
            p.symlink_to(p)
        elif kind == "mode-000":
            if os.geteuid() == 0:
                pytest.skip("the superuser reads a file of mode 000")
            p.write_bytes(Path(make(tmp_path, "imx", {"canon.bin": CANON})).read_bytes())
            p.chmod(0)
        assert fatal(capfd, str(p)) == f"cannot read {p}: [Errno {code}] {os.strerror(code)}"

    def test_a_member_that_cannot_be_read_is_named_with_the_reason(self, tmp_path, capfd):
        b = make(tmp_path, "dir", {"combined_litert.tflite": COMBINED})
        os.symlink("/proc/self/mem", os.path.join(b, "canon.bin"))  # a regular file; reading it fails
        assert fatal(capfd, b) == f"cannot read canon.bin of {b}: [Errno 5] {os.strerror(errno.EIO)}"

    def test_refusal_leaves_through_python_and_the_exit_hook_cleans_up(self, tmp_path):
        from conftest import run_python

        want = sha(SHARED_ENC)
        b = make(tmp_path, "imx", {"canon.bin": CANON, "identity.tflite": IDENTITY, "shared-enc.tflite": b"bad",
                                   "manifest.json": declares(want)})
        stage = tmp_path / "stage2"
        r = run_python(f"from quorvane._mirrant2._tensorhost import main; raise SystemExit(main(['x', {b!r}]))",
                       env={"MIRRANT2_STAGE_DIR": str(stage), "HOME": str(tmp_path / "home")})
        assert r.returncode == 3 and r.stdout == b""
        assert b"FATAL: " in r.stderr and b"co-located in the bundle): sha mismatch" in r.stderr
        assert stage.is_dir() and os.listdir(stage) == []


class TestHostileBundles:
    """Bundles that once hung the host or drove its memory and staging without bound: each is now
    refused with a FATAL line and status 3, in bounded memory, leaving nothing staged."""

    @staticmethod
    def host(tmp_path, bundle):
        """(status, stderr, peak resident MB) of the host program given `bundle`, input closed."""
        import subprocess

        from pipe_client import host_command

        stage = tmp_path / "stage3"
        env = dict(os.environ, MIRRANT2_STAGE_DIR=str(stage), HOME=str(tmp_path / "home"))
        proc = subprocess.Popen(host_command(bundle), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, env=env)
        import threading

        watchdog = threading.Timer(60, proc.kill)  # a hung host ends killed, and so fails
        watchdog.start()
        try:
            err = proc.stderr.read()
            _, status, usage = os.wait4(proc.pid, 0)
            proc.returncode = os.waitstatus_to_exitcode(status)
        finally:
            watchdog.cancel()
            proc.stderr.close()
        assert not stage.exists() or os.listdir(stage) == []
        return proc.returncode, err.decode(), usage.ru_maxrss / 1024

    @staticmethod
    def forge_size(path, name, size):
        """Makes the archive declare `size` as the uncompressed size of `name`, in both headers."""
        import struct
        import zipfile

        with zipfile.ZipFile(path) as z:
            local = z.getinfo(name).header_offset
        data = bytearray(Path(path).read_bytes())
        struct.pack_into("<I", data, local + 22, size)
        (cd,) = struct.unpack_from("<I", data, data.rfind(b"PK\x05\x06") + 16)
        while data[cd:cd + 4] == b"PK\x01\x02":
            n, extra, comment = struct.unpack_from("<HHH", data, cd + 28)
            if data[cd + 46:cd + 46 + n] == name.encode():
                struct.pack_into("<I", data, cd + 24, size)
            cd += 46 + n + extra + comment
        Path(path).write_bytes(data)

    def test_fifo_zip_bomb_and_forged_sizes(self, tmp_path):
        import zipfile

        fifo = str(tmp_path / "fifo")
        os.mkfifo(fifo)
        # 1 GiB of canon in a small zip, honestly declared.
        bomb = str(tmp_path / "bomb.zip")
        with zipfile.ZipFile(bomb, "w", zipfile.ZIP_DEFLATED) as z:
            with z.open("canon.bin", "w", force_zip64=True) as f:
                for _ in range(1024):
                    f.write(bytes(1 << 20))
            z.writestr("combined_litert.tflite", COMBINED)
        # A model member that inflates to 512 MiB while the archive declares its real size.
        forged = str(tmp_path / "forged.zip")
        with zipfile.ZipFile(forged, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("canon.bin", CANON)
            with z.open("combined_litert.tflite", "w") as f:
                for _ in range(512):
                    f.write(bytes(1 << 20))
        self.forge_size(forged, "combined_litert.tflite", len(COMBINED))

        base_status, base_err, base_mb = self.host(tmp_path, make(tmp_path, "zip", {"x": b""}))
        assert base_status == 3 and "FATAL: no canon.bin" in base_err
        want = {
            fifo: f"{fifo} is neither a directory nor a regular file",
            bomb: f"zip entry 'canon.bin' of {bomb!r} holds 1073741824 bytes, more than the 67108864 bytes",
            forged: f"zip entry 'combined_litert.tflite' of {forged!r} inflates past the {len(COMBINED)} bytes",
        }
        for bundle, line in want.items():
            status, err, peak_mb = self.host(tmp_path, bundle)
            print(f"{os.path.basename(bundle)}: peak {peak_mb:.0f} MB, refused as {base_mb:.0f} MB")
            assert status == 3 and "[render-stream-tensorhost] FATAL: " + line in err
            assert peak_mb - base_mb < 200


class TestModelContract:
    """A bundle whose model member is no model the chain can load is refused as any other breach
    of the contract: status 3, one FATAL line naming the bundle and the member (not the staged
    copy), nothing left staged. They ended with status 1 and a traceback."""

    @staticmethod
    def truncated_imx(tmp_path):
        p = make(tmp_path, "imx", {"canon.bin": CANON, "combined_litert.tflite": COMBINED})
        os.truncate(p, os.path.getsize(p) - len(COMBINED) // 2)
        return p

    @pytest.mark.parametrize("case", ["no-decoders", "junk", "empty", "truncated", "identity-junk"])
    def test_refused_with_status_3_naming_bundle_and_member(self, tmp_path, case):
        combined = {"no-decoders": SHARED_ENC, "junk": b"junk", "empty": b""}
        if case in combined:
            b = make(tmp_path, "dir" if case == "junk" else "imx", {"canon.bin": CANON, "combined_litert.tflite": combined[case]})
        elif case == "truncated":
            b = self.truncated_imx(tmp_path)
        else:
            b = make(tmp_path, "zip", {"canon.bin": CANON, "identity.tflite": b"junk", "shared-enc.tflite": SHARED_ENC})
        status, err, _ = TestHostileBundles.host(tmp_path, b)
        fatal_lines = [ln for ln in err.splitlines() if "FATAL: " in ln]
        assert status == 3 and len(fatal_lines) == 1 and "Traceback" not in err, err
        line = fatal_lines[0].split("FATAL: ", 1)[1]
        if case == "no-decoders":
            assert line == (f"{b}: combined_litert.tflite lacks the model chain's signature(s) ['step', 'dec16', "
                            "'dec8'] (it has ['enc', 'tok14'])")
        else:
            member = "identity.tflite" if case == "identity-junk" else "combined_litert.tflite"
            assert line.startswith(f"{b}: {member} is not a model the chain can load (ValueError: "), line


class TestShapes:
    @pytest.mark.parametrize("kind", KINDS)
    def test_combined(self, tmp_path, kind):
        b = make(tmp_path, kind, {"canon.f32": CANON, "combined_litert.tflite": COMBINED, "identity.tflite": IDENTITY})
        paths, nm, canon = th.load_bundle(b)
        assert nm == "combined_litert.tflite" and len(paths) == 1
        assert Path(paths[0]).read_bytes() == COMBINED
        assert (paths[0] == os.path.join(b, "combined_litert.tflite")) == (kind == "dir")
        assert (paths[0] in th._STAGED) == (kind != "dir")
        assert canon.dtype == np.float32 and canon.shape == (74880,) and canon.tobytes() == CANON

    def test_canon_bin_preferred(self, tmp_path):
        b = make(tmp_path, "zip", {"canon.f32": b"\0" * 299520, "canon.bin": CANON, "combined_litert.tflite": COMBINED})
        assert th.load_bundle(b)[2].tobytes() == CANON

    def test_int8_variant_selected_in_place(self, tmp_path, capfd):
        if th.int8_dot_isa() is None:
            pytest.skip("this CPU lists no int8 dot-product flag")
        members = {"canon.bin": CANON, "combined_litert.tflite": COMBINED, "combined_litert_q8gd.tflite": Q8GD}
        members["manifest.json"] = manifest(
            members_sha256={"combined_litert_q8gd.tflite": sha(Q8GD), "combined_litert.tflite": sha(COMBINED)},
            litert_q8gd={"sha256": sha(Q8GD), "base_member": "combined_litert.tflite", "base_sha256": sha(COMBINED)})
        b = make(tmp_path, "dir", members)
        paths, nm, _ = th.load_bundle(b)
        assert paths == [os.path.join(b, "combined_litert_q8gd.tflite")] and nm == "combined_litert_q8gd.tflite"
        assert "[q8gd] SELECTED combined_litert_q8gd.tflite" in capfd.readouterr().err
        assert len(th._STAGED) == 0

    def test_int8_variant_fallback_message_is_logged(self, tmp_path, capfd, monkeypatch):
        monkeypatch.setenv("MIRRANT2_Q8GD", "0")
        b = make(tmp_path, "dir", {"canon.bin": CANON, "combined_litert.tflite": COMBINED,
                                   "combined_litert_q8gd.tflite": Q8GD})
        assert th.load_bundle(b)[1] == "combined_litert.tflite"
        assert capfd.readouterr().err == (
            "[render-stream-tensorhost] [q8gd] off (MIRRANT2_Q8GD=0) \u2014 serving combined_litert.tflite\n")


class TestSplit:
    def split(self, tmp_path, kind, want=None, own=True):
        members = {"canon.bin": CANON, "identity.tflite": IDENTITY}
        if own:
            members["shared-enc.tflite"] = SHARED_ENC
        if want:
            members["manifest.json"] = declares(want)
        return make(tmp_path, kind, members)

    @pytest.mark.parametrize("kind", KINDS)
    def test_own_copy_without_declared_base(self, tmp_path, capfd, kind):
        b = self.split(tmp_path, kind)
        (enc, idp), nm, _ = th.load_bundle(b)
        assert nm == "shared-enc.tflite+identity.tflite"
        assert Path(enc).read_bytes() == SHARED_ENC and Path(idp).read_bytes() == IDENTITY
        err = capfd.readouterr().err.splitlines()
        assert err[-2] == (f"[render-stream-tensorhost] two-artifact split: base UNVERIFIED (artifact declares no "
                           f"{SED_ID} dependency; using the bundle's own copy) \u2014 re-emit with "
                           "tools/imx_from_bundle to bind it")
        assert err[-1] == f"[render-stream-tensorhost] two-artifact split: enc={enc} + id={idp}"

    @pytest.mark.parametrize("nested", [False, True])
    def test_content_store_by_name(self, tmp_path, capfd, monkeypatch, nested):
        want = sha(SHARED_ENC)
        store = tmp_path / "store"
        f = store / want[:2] / want if nested else store / want
        f.parent.mkdir(parents=True)
        f.write_bytes(b"trusted by its name, never hashed")
        monkeypatch.setenv("QUORVANE_DEPS_DIR", str(store))
        b = self.split(tmp_path, "imx", want=want, own=True)
        (enc, _), _, _ = th.load_bundle(b)
        assert enc == str(f)
        assert (f"two-artifact split: base sha256={want[:12]}\u2026 resolved by CONTENT ADDRESS (name-trusted, NOT "
                f"re-hashed, per dependency_resolver) via name-trusted content store {f}") in capfd.readouterr().err

    def test_engine_directory(self, tmp_path, capfd):
        want = sha(SHARED_ENC)
        eng = tmp_path / "engine"
        eng.mkdir()
        (eng / "shared-enc.tflite").write_bytes(SHARED_ENC)
        b = self.split(tmp_path, "zip", want=want, own=False)
        (enc, _), _, _ = th.load_bundle(b, str(eng))
        assert enc == str(eng / "shared-enc.tflite")
        assert (f"[render-stream-tensorhost] two-artifact split: base sha256={want[:12]}\u2026 VERIFIED (bytes "
                f"hashed) via engine dir {eng}\n") in capfd.readouterr().err

    def test_engine_file(self, tmp_path, capfd):
        want = sha(SHARED_ENC)
        f = tmp_path / "x" / "shared-enc.tflite"
        f.parent.mkdir()
        f.write_bytes(SHARED_ENC)
        b = self.split(tmp_path, "dir", want=want, own=False)
        (enc, _), _, _ = th.load_bundle(b, str(f))
        assert enc == str(f)
        assert f"via explicit file {f}\n" in capfd.readouterr().err

    @pytest.mark.parametrize("container", ["imx", "zip"])
    def test_engine_container(self, tmp_path, capfd, container):
        want = sha(SHARED_ENC)
        eng = make(tmp_path, container, {"models/shared-enc.tflite": SHARED_ENC}, name="linux.engine")
        b = self.split(tmp_path, "dir", want=want, own=False)
        (enc, _), _, _ = th.load_bundle(b, eng)
        assert Path(enc).read_bytes() == SHARED_ENC and enc in th._STAGED
        assert f"via container {eng}\n" in capfd.readouterr().err

    def test_installed_engines_are_searched_in_name_order(self, tmp_path, monkeypatch):
        want = sha(SHARED_ENC)
        root = tmp_path / "home" / ".quorvane" / "engines"
        for name, data in (("b", SHARED_ENC), ("a", b"wrong")):
            (root / name).mkdir(parents=True)
            (root / name / "shared-enc.tflite").write_bytes(data)
        b = self.split(tmp_path, "dir", want=want, own=False)
        enc, how = th._resolve_shared_enc(b, None, want)
        assert enc == str(root / "b" / "shared-enc.tflite")
        assert how == f"explicit file {root / 'b' / 'shared-enc.tflite'}"
        enc, how = th._resolve_shared_enc(b, None, "0" * 64)
        assert enc is None
        assert how == "; ".join(f"{root / n / 'shared-enc.tflite'} (explicit file): sha mismatch" for n in "ab")

    def test_paths_that_are_not_utf8(self, tmp_path, capfdbinary):
        # Bundle, engine and member paths cross as the file system's bytes, and load as such.
        want = sha(SHARED_ENC)
        odd = tmp_path / os.fsdecode(b"\xff\xfe")
        odd.mkdir()
        b = make(odd, "dir", {"canon.bin": CANON, "identity.tflite": IDENTITY, "manifest.json": declares(want)})
        eng = odd / os.fsdecode(b"engine-\xff")
        eng.mkdir()
        (eng / "shared-enc.tflite").write_bytes(SHARED_ENC)
        (enc, idp), _, canon = th.load_bundle(b, str(eng))
        assert (enc, idp) == (str(eng / "shared-enc.tflite"), os.path.join(b, "identity.tflite"))
        assert th.load_bundle(os.fsencode(b), os.fsencode(eng))[0] == [enc, idp]
        assert os.fsencode(f"VERIFIED (bytes hashed) via engine dir {eng}\n") in capfdbinary.readouterr().err
        assert th.LitertChain([enc, idp], canon, 1)._hist_key

    def test_a_rejected_copy_is_removed_at_once(self, tmp_path):
        want = sha(SHARED_ENC)
        b = make(tmp_path, "zip", {"canon.bin": CANON, "identity.tflite": IDENTITY, "shared-enc.tflite": b"other"})
        eng = make(tmp_path, "imx", {"shared-enc.tflite": b"also other"}, name="linux.engine")
        before = list(th._STAGED)
        enc, how = th._resolve_shared_enc(b, eng, want)
        assert enc is None and how.count("sha mismatch") == 2
        assert list(th._STAGED) == before and os.listdir(tmp_path / "stage") == []

    def test_without_declared_base_nothing_else_is_consulted(self, tmp_path, monkeypatch):
        monkeypatch.setenv("MIRRANT2_SHARED_ENC", str(tmp_path / "does-not-matter"))
        b = self.split(tmp_path, "dir")
        enc, how = th._resolve_shared_enc(b, None, None)
        assert enc == os.path.join(b, "shared-enc.tflite") and how == f"co-located in {b}"

    def test_declared_base(self, tmp_path):
        want = sha(SHARED_ENC)
        assert th._declared_base_sha(self.split(tmp_path, "imx", want=want)) == want
        bad = make(tmp_path, "dir", {"manifest.json": b"{not json"}, name="bad")
        with pytest.raises(RuntimeError, match="^not valid JSON "):
            th._declared_base_sha(bad)  # never taken for a manifest that declares nothing
        listed = make(tmp_path, "dir", {"manifest.json": b"[]"}, name="listed")
        with pytest.raises(RuntimeError, match="^not a JSON object$"):
            th._declared_base_sha(listed)
        nodeps = make(tmp_path, "dir", {"manifest.json": b"{}"}, name="nodeps")
        assert th._declared_base_sha(nodeps) is None

    def test_declared_base_is_the_policy_modules_answer(self, tmp_path, monkeypatch):
        seen = []
        monkeypatch.setattr(th._SED, "base_sha256_of", lambda deps: seen.append(deps) or "abc")
        for i, doc in enumerate((b"{}", b'{"dependencies": {"any": [1, "x", null]}}')):
            assert th._declared_base_sha(make(tmp_path, "zip", {"manifest.json": doc}, name=f"b{i}")) == "abc"
        assert seen == [None, {"any": [1, "x", None]}]
        monkeypatch.setattr(th._SED, "base_sha256_of", lambda deps: 1 / 0)
        assert th._declared_base_sha(make(tmp_path, "dir", {"manifest.json": b"{}"}, name="raises")) is None
