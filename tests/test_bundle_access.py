"""Bundle member access: .imx tables of contents, member lookup by base name across directory,
container and zip bundles, and listings; compared with the plain-Python reader where it applies."""

import errno
import os
import pathlib
import random
import struct
import zipfile

import pytest

from bundle_files import KINDS, make_bundle, raw_imx, write, write_imx, zip_bytes
from reference import bundle as ref


def two_entry_container():
    data_a, data_b = b"alpha", b"bravo!"
    names = [b"a/color.json", b"canon.bin"]
    table_end = 8 + sum(2 + len(n) + 16 for n in names)
    entries = [(names[0], table_end, len(data_a)), (names[1], table_end + len(data_a), len(data_b))]
    return raw_imx(entries, body=data_a + data_b), table_end


class TestImxToc:
    def test_entries_in_stored_order_with_their_ranges(self, th, tmp_path):
        # Ranges are taken as stored: overlapping, out of order and past the end are all fine.
        entries = [(b"z/last.bin", 99, 3), (b"first.bin", 8, 1000), (b"zero", 2**64 - 1, 2**64 - 1)]
        p = write(tmp_path / "c.imx", raw_imx(entries))
        assert th._imx_toc(p) == [("z/last.bin", 99, 3), ("first.bin", 8, 1000), ("zero", 2**64 - 1, 2**64 - 1)]

    def test_empty_container_is_a_container(self, th, tmp_path):
        assert th._imx_toc(write(tmp_path / "e.imx", raw_imx([]))) == []

    @pytest.mark.parametrize("reserved", [b"\0\0", b"\xff\xff", b"\x12\x34"])
    def test_bytes_4_and_5_take_any_value(self, th, tmp_path, reserved):
        p = write(tmp_path / "c.imx", raw_imx([(b"x", 0, 1)], reserved=reserved))
        assert th._imx_toc(p) == [("x", 0, 1)]

    @pytest.mark.parametrize("data", [b"", b"IMX", b"IMX\0", b"IMX\0\0\0\0"])
    def test_shorter_than_the_header(self, th, tmp_path, data):
        assert th._imx_toc(write(tmp_path / "s", data)) is None

    @pytest.mark.parametrize("magic", [b"IMY\0", b"imx\0", b"IMX ", b"\0IMX"])
    def test_wrong_magic(self, th, tmp_path, magic):
        assert th._imx_toc(write(tmp_path / "m", magic + b"\0\0\0\0")) is None

    def test_every_truncation_of_the_table_is_no_container(self, th, tmp_path):
        data, table_end = two_entry_container()
        for cut in range(8, table_end):
            p = write(tmp_path / f"t{cut}", data[:cut])
            assert th._imx_toc(p) is None, cut
        # The members' bytes are not part of the table: without them it is still a container.
        assert len(th._imx_toc(write(tmp_path / "t", data[:table_end]))) == 2

    @pytest.mark.parametrize(
        "name",
        [
            b"\xed\xa0\x80",  # an encoded surrogate
            b"\xed\xbf\xbf",
            b"\xc0\x80",  # overlong NUL
            b"\xe0\x80\xaf",  # overlong "/"
            b"\xf0\x80\x80\x80",
            b"\xf4\x90\x80\x80",  # above U+10FFFF
            b"\xf5\x80\x80\x80",
            b"\x80",
            b"ok\xff",
            b"\xe2\x82",  # cut short inside the name
        ],
    )
    def test_name_that_is_not_strict_utf8(self, th, tmp_path, name):
        p = write(tmp_path / "u.imx", raw_imx([(name, 0, 0)]))
        assert th._imx_toc(p) is None
        assert ref.imx_toc(p) is None

    @pytest.mark.parametrize("name", ["é", "\u20ac", "\uffff", "\U0001f600", "\U0010ffff", "a\x00b", "a/b/c"])
    def test_well_formed_names(self, th, tmp_path, name):
        p = write(tmp_path / "u.imx", raw_imx([(name.encode(), 0, 0)]))
        assert th._imx_toc(p) == [(name, 0, 0)]

    def test_paths_that_are_no_readable_file(self, th, tmp_path):
        assert th._imx_toc(tmp_path) is None
        assert th._imx_toc(tmp_path / "missing") is None

    def test_path_object(self, th, tmp_path):
        p = pathlib.Path(write(tmp_path / "e.imx", raw_imx([])))
        assert th._imx_toc(p) == []

    def test_agrees_with_the_reference_on_damaged_containers(self, th, tmp_path):
        rng = random.Random(1234)
        good, _ = two_entry_container()
        good = good + raw_imx([(b"\xc3\xa9t\xc3\xa9", 3, 4)])[8:]  # a third entry after the members
        good = good[:6] + struct.pack("<H", 3) + good[8:]
        p = tmp_path / "fuzz.imx"
        for case in range(300):
            data = bytearray(good)
            for _ in range(rng.randint(1, 4)):
                at = rng.randrange(len(data))
                data[at] = rng.choice([0, 0x80, 0xC3, 0xED, 0xFF, rng.randrange(256)])
            data = bytes(data[: rng.randint(0, len(data))]) if rng.random() < 0.3 else bytes(data)
            write(p, data)
            assert th._imx_toc(p) == ref.imx_toc(p), (case, data)
            names = ["canon.bin", "color.json", "été"]
            assert th._member_bytes(p, names) == ref.member_bytes(str(p), names), (case, data)
            assert th._listing(p) == ref.listing(str(p)), (case, data)


class TestMemberBytes:
    @pytest.mark.parametrize("kind", ["imx", "zip"])
    def test_later_entry_with_the_same_base_name_wins(self, th, tmp_path, kind):
        p = make_bundle(tmp_path, kind, [("a/color.json", b"A"), ("b/color.json", b"B")])
        assert th._member_bytes(p, ["color.json"]) == ("color.json", b"B")
        q = make_bundle(tmp_path, kind, [("b/color.json", b"B"), ("a/color.json", b"A")], name="rev")
        assert th._member_bytes(q, ["color.json"]) == ("color.json", b"A")

    @pytest.mark.parametrize("kind", KINDS)
    def test_wanted_order_beats_stored_order(self, th, tmp_path, kind):
        p = make_bundle(tmp_path, kind, [("canon.f32", b"F" * 8), ("canon.bin", b"B" * 8)])
        assert th._member_bytes(p, ["canon.bin", "canon.f32"]) == ("canon.bin", b"B" * 8)
        q = make_bundle(tmp_path, kind, [("canon.f32", b"F" * 8)], name="only")
        assert th._member_bytes(q, ["canon.bin", "canon.f32"]) == ("canon.f32", b"F" * 8)

    @pytest.mark.parametrize("kind", KINDS)
    def test_names_are_case_sensitive(self, th, tmp_path, kind):
        p = make_bundle(tmp_path, kind, [("Color.json", b"{}")])
        assert th._member_bytes(p, ["color.json"]) == (None, None)
        assert th._member_bytes(p, ["Color.json"]) == ("Color.json", b"{}")

    @pytest.mark.parametrize("kind", KINDS)
    def test_name_with_a_directory_part(self, th, tmp_path, kind):
        p = make_bundle(tmp_path, kind, [("models/identity.tflite", b"ID")])
        found = th._member_bytes(p, ["models/identity.tflite"])
        assert found == (("models/identity.tflite", b"ID") if kind == "dir" else (None, None))
        # In a container the base name addresses it; in a directory only the joined path does.
        assert th._member_bytes(p, ["identity.tflite"]) == ((None, None) if kind == "dir" else ("identity.tflite", b"ID"))

    def test_directory_passes_over_a_subdirectory_of_the_wanted_name(self, th, tmp_path):
        p = make_bundle(tmp_path, "dir", [("canon.bin/inner", b"no"), ("canon.f32", b"yes")])
        assert th._member_bytes(p, ["canon.bin", "canon.f32"]) == ("canon.f32", b"yes")

    def test_directory_follows_symbolic_links(self, th, tmp_path):
        p = make_bundle(tmp_path, "dir", [])
        target = write(tmp_path / "elsewhere.bin", b"linked")
        os.symlink(target, os.path.join(p, "canon.bin"))
        os.symlink(tmp_path / "nowhere", os.path.join(p, "color.json"))
        assert th._member_bytes(p, ["color.json", "canon.bin"]) == ("canon.bin", b"linked")

    def test_directory_never_falls_through_to_other_kinds(self, th, tmp_path):
        p = make_bundle(tmp_path, "dir", [("a.imx", b"IMX\0\0\0\0\0")])
        assert th._member_bytes(p, ["x"]) == (None, None)

    @pytest.mark.parametrize(
        "off,size,expected",
        [
            (0, 3, b"IMX"),
            ("end", 5, b""),
            ("beyond", 5, b""),
            (2**64 - 1, 5, b""),
            ("last3", 2**64 - 1, b"xyz"),  # a forged size gives only the bytes that exist
            ("last3", 2, b"xy"),
            (4, 0, b""),
        ],
    )
    def test_member_range_against_the_end_of_the_file(self, th, tmp_path, off, size, expected):
        head_len = 8 + 2 + 1 + 16
        total = head_len + 3
        off = {"end": total, "beyond": total + 100, "last3": head_len}.get(off, off)
        p = write(tmp_path / "r.imx", raw_imx([(b"m", off, size)], body=b"xyz"))
        assert th._member_bytes(p, ["m"]) == ("m", expected)
        assert ref.member_bytes(p, ["m"]) == ("m", expected)

    def test_empty_container_skips_the_zip_test(self, th, tmp_path):
        inner = zip_bytes([("canon.bin", b"zipped")])
        p = write(tmp_path / "both", raw_imx([]) + inner)
        assert zipfile.is_zipfile(p) and zipfile.ZipFile(p).read("canon.bin") == b"zipped"
        assert th._member_bytes(p, ["canon.bin"]) == (None, None)
        assert th._listing(p) == []

    def test_broken_container_goes_on_to_the_zip_test(self, th, tmp_path):
        # Magic and a count of 5, then zip bytes: the table runs off the end, so the zip counts.
        inner = zip_bytes([("a/x.bin", b"zipped")])
        p = write(tmp_path / "broken", raw_imx([], count=5) + inner)
        assert th._imx_toc(p) is None
        assert th._member_bytes(p, ["x.bin"]) == ("x.bin", b"zipped") == ref.member_bytes(p, ["x.bin"])
        assert th._listing(p) == ["x.bin"]

    @pytest.mark.parametrize("data", [raw_imx([(b"\xed\xa0\x80", 0, 0)]), raw_imx([(b"x", 0, 0)], count=2), b"IMX\0"])
    def test_broken_container_without_zip_has_no_members(self, th, tmp_path, data):
        p = write(tmp_path / "b", data)
        assert th._member_bytes(p, ["x"]) == (None, None)
        assert th._listing(p) == []

    def test_missing_path(self, th, tmp_path):
        assert th._member_bytes(tmp_path / "missing", ["canon.bin"]) == (None, None)
        assert th._listing(tmp_path / "missing") == []

    def test_zip_with_data_in_front(self, th, tmp_path):
        p = write(tmp_path / "stub.zip", b"#!stub\n" * 10 + zip_bytes([("d/canon.bin", b"C")]))
        assert th._member_bytes(p, ["canon.bin"]) == ("canon.bin", b"C") == ref.member_bytes(p, ["canon.bin"])

    def test_empty_zip(self, th, tmp_path):
        p = write(tmp_path / "empty.zip", zip_bytes([]))
        assert th._member_bytes(p, ["canon.bin"]) == (None, None)
        assert th._listing(p) == []

    def test_zip_that_passes_the_zip_test_but_is_corrupt_raises(self, th, tmp_path):
        eocd = struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, 1, 1, 46, 0, 0)
        p = write(tmp_path / "corrupt.zip", b"junk" * 16 + eocd)
        assert zipfile.is_zipfile(p)
        with pytest.raises(RuntimeError, match="cannot open zip archive"):
            th._member_bytes(p, ["canon.bin"])
        with pytest.raises(RuntimeError, match="cannot open zip archive"):
            th._listing(p)

    @pytest.mark.parametrize("method", [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED])
    def test_zip_entry_failing_its_crc_raises(self, th, tmp_path, method):
        payload = bytes(range(256)) * 8
        data = bytearray(zip_bytes([("m/canon.bin", payload), ("ok.bin", b"fine")], method))
        if method == zipfile.ZIP_STORED:
            data[data.find(payload) + 100] ^= 0x01
        else:
            # The data inflate cleanly; the recorded CRC (local and central headers) is wrong.
            data[data.find(b"PK\x03\x04") + 14] ^= 0xFF
            data[data.find(b"PK\x01\x02") + 16] ^= 0xFF
        p = write(tmp_path / "crc.zip", bytes(data))
        with pytest.raises(RuntimeError, match=r"Bad CRC-32 for file 'm/canon.bin'"):
            th._member_bytes(p, ["canon.bin"])
        assert th._member_bytes(p, ["ok.bin"]) == ("ok.bin", b"fine")

    def test_read_error_of_a_directory_member_is_an_oserror(self, th):
        # Reading this process's memory file at offset 0 fails with EIO: a file that opens but
        # cannot be read.
        if not os.path.isfile("/proc/self/mem"):
            pytest.skip("no /proc")
        with pytest.raises(OSError) as info:
            th._member_bytes("/proc/self", ["mem"])
        assert info.value.errno == errno.EIO

    def test_a_single_name_is_refused(self, th, tmp_path):
        with pytest.raises(TypeError, match="sequence of member names"):
            th._member_bytes(tmp_path, "canon.bin")

    def test_nul_in_the_path_is_a_value_error_at_the_zip_test(self, th):
        with pytest.raises(ValueError, match="embedded null byte"):
            th._member_bytes("bad\0path", ["x"])


class TestListing:
    def test_directory_in_system_order_with_subdirectories(self, th, tmp_path):
        p = make_bundle(tmp_path, "dir", [(f"m{i}.bin", b"") for i in range(20)] + [("sub/inner", b"")])
        assert th._listing(p) == os.listdir(p)
        assert sorted(th._listing(p)) == sorted([f"m{i}.bin" for i in range(20)] + ["sub"])

    def test_container_base_names_in_stored_order_duplicates_kept(self, th, tmp_path):
        p = make_bundle(tmp_path, "imx", [("z.bin", b""), ("a/color.json", b""), ("b/color.json", b"")])
        assert th._listing(p) == ["z.bin", "color.json", "color.json"]

    def test_zip_base_names_in_archive_order(self, th, tmp_path):
        p = make_bundle(tmp_path, "zip", [("z.bin", b""), ("dir/", b""), ("dir/a.tflite", b"")])
        assert th._listing(p) == ["z.bin", "", "a.tflite"] == ref.listing(p)

    def test_zip_names_decoded_as_the_archive_says(self, th, tmp_path):
        # "é.bin" is stored flagged as UTF-8; the other name carries raw bytes without the flag,
        # which read as code page 437.
        data = bytearray(zip_bytes([("é.bin", b"1"), ("name@@.bin", b"2")]))
        start = 0
        while (at := data.find(b"name@@", start)) >= 0:
            data[at + 4 : at + 6] = b"\x82\xe9"
            start = at + 6
        p = write(tmp_path / "names.zip", bytes(data))
        assert th._listing(p) == ref.listing(p) == ["é.bin", "nameéΘ.bin"]
        assert th._member_bytes(p, ["nameéΘ.bin"]) == ("nameéΘ.bin", b"2")

    def test_pathlike_and_bytes_paths(self, th, tmp_path):
        p = make_bundle(tmp_path, "imx", [("x.bin", b"")])
        assert th._listing(pathlib.Path(p)) == th._listing(os.fsencode(p)) == ["x.bin"]


def test_make_imx_writes_what_the_reader_reads(th, tmp_path):
    members = [("manifest.json", b"{}"), ("models/combined_litert.tflite", bytes(range(256))), ("empty", b"")]
    p = tmp_path / "out.imx"
    write_imx(p, members)
    toc = th._imx_toc(p)
    assert [name for name, _, _ in toc] == [name for name, _ in members]
    for name, data in members:
        assert th._member_bytes(p, [name.rsplit("/", 1)[-1]]) == (name.rsplit("/", 1)[-1], data)
    # Replaced atomically: no temporary file is left beside it.
    assert os.listdir(tmp_path) == ["out.imx"]
