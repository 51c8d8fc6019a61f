"""has_metadata(), read_labels() and the archive side of read_metadata() on
model files built here: where the archive is found, how entries are matched,
and which damage means "no metadata" and which is an error."""
import os
import pathlib
import struct
import subprocess
import sys
import textwrap
import zipfile

import pytest

import tallowind_ara2 as ara2
from fixtures.dvm_files import (CRC, FLAGS, UNCOMPRESSED_SIZE, archive_bytes, model_bytes,
                                patch_entry_headers, zip64_archive_bytes)

META = '{"model": {"model_task": "detect"}}'


def outcomes(path):
    """What each of the three functions gives for `path` (an exception's text
    and class name when it raises)."""
    result = []
    for function in (ara2.has_metadata, ara2.read_labels, ara2.read_metadata):
        try:
            value = function(path)
            result.append(repr(value) if isinstance(value, ara2.DvmMetadata) else value)
        except Exception as error:  # noqa: BLE001 - the class is part of what is checked
            result.append((type(error).__name__, str(error)))
    return result


@pytest.mark.parametrize("prefix_size", [0, 1, 21, 5000, 200_000])
def test_file_without_archive_has_no_metadata(make_dvm, prefix_size):
    assert outcomes(make_dvm(prefix_size=prefix_size)) == [False, [], None]


@pytest.mark.parametrize("compression", [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED])
@pytest.mark.parametrize("prefix_size", [0, 100, 300_000])
def test_archive_after_model_bytes_is_found(make_dvm, compression, prefix_size):
    path = make_dvm({"labels.txt": "cat\ndog\n", "tallowind.json": META},
                    compression=compression, prefix_size=prefix_size)
    assert outcomes(path) == [True, ["cat", "dog"], 'DvmMetadata(task=Some("detect"), classes=0, outputs=0)']


def test_archive_appended_in_place_with_absolute_offsets(tmp_path):
    # zipfile's append mode on a non-ZIP file records offsets from the file start.
    path = tmp_path / "appended.dvm"
    path.write_bytes(model_bytes(7000))
    with zipfile.ZipFile(path, "a", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("labels.txt", "a\nb")
        archive.writestr("tallowind.json", META)
    assert outcomes(path) == [True, ["a", "b"], 'DvmMetadata(task=Some("detect"), classes=0, outputs=0)']


def test_archive_with_comment_and_other_entries(tmp_path):
    raw = model_bytes(500) + archive_bytes(
        [("weights/extra.bin", b"\0" * 100), ("labels.txt", "x"), ("tallowind.json", "{}")], comment=b"c" * 1000)
    path = tmp_path / "commented.dvm"
    path.write_bytes(raw)
    assert outcomes(path) == [True, ["x"], "DvmMetadata(task=None, classes=0, outputs=0)"]


@pytest.mark.parametrize("entries, expected", [
    ({}, [False, [], None]),
    ({"labels.txt": "a"}, [False, ["a"], None]),
    ({"tallowind.json": "{}"}, [True, [], "DvmMetadata(task=None, classes=0, outputs=0)"]),
    ({"Tallowind.json": "{}", "LABELS.txt": "a"}, [False, [], None]),
    ({"models/tallowind.json": "{}", "models/labels.txt": "a"}, [False, [], None]),
    ({"/tallowind.json": "{}", "./labels.txt": "a"}, [False, [], None]),
    ({"tallowind.json/": "", "labels.txt.bak": "a"}, [False, [], None]),
], ids=["empty archive", "labels only", "metadata only", "other case", "subdirectory", "path prefixes",
        "longer names"])
def test_entries_match_full_name_exactly(make_dvm, entries, expected):
    assert outcomes(make_dvm(entries)) == expected


@pytest.mark.parametrize("text, labels", [
    ("person\r\n\r\n  car \nbus", ["person", "car", "bus"]),
    ("traffic light\n \t \t\nstop sign\n", ["traffic light", "stop sign"]),
    ("\ufeffperson\ncar", ["\ufeffperson", "car"]),
    ("\u3000wide\u3000\n\u0085next\u00a0\n\u2028\u2029\u202f\u205f\u1680\u200a\n", ["wide", "next"]),
    ("keep\u00a0inner\nx\x0by\x0c", ["keep\u00a0inner", "x\x0by"]),
    ("dup\ndup\n\ndup", ["dup", "dup", "dup"]),
    ("zero\u200bwidth\u200b", ["zero\u200bwidth\u200b"]),
    ("", []),
    ("\n\n\r\n", []),
], ids=["windows line ends", "blank lines and inner spaces", "byte-order mark kept", "unicode white space",
        "inner white space kept", "duplicates kept", "zero width space is not white space", "empty", "only blank"])
def test_labels_are_split_trimmed_and_filtered(make_dvm, text, labels):
    assert ara2.read_labels(make_dvm({"labels.txt": text})) == labels


@pytest.mark.parametrize("entry", ["labels.txt", "tallowind.json"])
@pytest.mark.parametrize("compression", [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED])
def test_entry_that_is_not_utf8_fails(make_dvm, entry, compression):
    path = make_dvm({entry: b'{"nms": "\xff"}', "other": "x"}, compression=compression)
    function = ara2.read_labels if entry == "labels.txt" else ara2.read_metadata
    with pytest.raises(ara2.MetadataError) as raised:
        function(path)
    assert raised.value.args == ("stream did not contain valid UTF-8",)


def damaged_file(tmp_path, damage, compression=zipfile.ZIP_STORED):
    data = model_bytes(1000) + archive_bytes({"labels.txt": "alpha\nbeta\n" * 50, "tallowind.json": META},
                                             compression)
    path = tmp_path / "damaged.dvm"
    path.write_bytes(damage(data))
    return path


def flip_byte_in(name_text):
    def damage(data):
        at = data.index(name_text.encode())
        return data[:at] + bytes([data[at] ^ 0x20]) + data[at + 1:]
    return damage


def set_end_record(offset, value):
    def damage(data):
        data = bytearray(data)
        struct.pack_into("<H", data, data.rindex(b"PK\x05\x06") + offset, value)
        return bytes(data)
    return damage


def damage_central_signatures(data):
    return data.replace(b"PK\x01\x02", b"PK\x01\x09")


NO_METADATA = [False, [], None]


def everywhere(message):
    """The outcome of a file whose archive is found but cannot be used: all three raise."""
    return [("MetadataError", "ZIP error: " + message)] * 3


@pytest.mark.parametrize("damage, expected", [
    (damage_central_signatures, everywhere("damaged archive: no central directory entry at offset 669 (entry 1 of 2)")),
    (set_end_record(10, 7), everywhere("damaged archive: the end record counts 2 entries on this disk but 7 in all")),
    (lambda d: d[:-22 - 30] + d[-22:],                        # directory shorter than the end record says
     everywhere("damaged archive: no central directory entry at offset 669 (entry 1 of 2)")),
    (set_end_record(16, 669 + 1000 + 1),                      # the directory's offset from the file's start, plus 1
     everywhere("damaged archive: the central directory (116 bytes at offset 1670) does not fit before the end "
                "record at offset 1785")),
    (lambda d: d[:-22], NO_METADATA),                         # end record cut off
    (lambda d: d[: len(d) // 2], NO_METADATA),                # truncated in the middle
    (lambda d: set_end_record(16, 0xFFFF)(d) + b"junk", NO_METADATA),  # what looks like a record, inside the model
    (set_end_record(4, 1), everywhere("unsupported archive: multi-disk archives are not supported")),
    (lambda d: d[:-5], everywhere("unexpected end of file in the end of central directory record")),
], ids=["central directory signature", "entry counts", "directory offsets", "offset one past", "no end record",
        "truncated", "record inside the model", "multi-disk", "truncated end record"])
def test_damaged_archive_is_an_error_and_a_missing_one_is_not(tmp_path, damage, expected):
    assert outcomes(damaged_file(tmp_path, damage)) == expected


@pytest.mark.parametrize("prefix_size", [0, 5000])
def test_zip64_archive_is_read(make_dvm, prefix_size):
    entries = {"labels.txt": "cat\ndog", "tallowind.json": META}
    path = make_dvm(raw=model_bytes(prefix_size) + zip64_archive_bytes(entries))
    assert zipfile.ZipFile(path).read("labels.txt") == b"cat\ndog"
    assert outcomes(path) == [True, ["cat", "dog"], 'DvmMetadata(task=Some("detect"), classes=0, outputs=0)']


def test_zip64_archive_appended_in_place(tmp_path, monkeypatch):
    path = tmp_path / "appended.dvm"
    path.write_bytes(model_bytes(3000))
    monkeypatch.setattr(zipfile, "ZIP64_LIMIT", 0)
    monkeypatch.setattr(zipfile, "ZIP_FILECOUNT_LIMIT", 0)
    with zipfile.ZipFile(path, "a", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("labels.txt", "a\nb")
    monkeypatch.undo()
    assert outcomes(path) == [False, ["a", "b"], None]


@pytest.mark.parametrize("damage, message", [
    (lambda d: d.replace(b"PK\x06\x06", b"PK\x06\x00"),
     "the zip64 end of central directory locator leads to no zip64 end record"),
    # The second entry's zip64 field (its sizes and offset) loses two of its three values.
    (lambda d: d.replace(b"\x01\x00\x18\x00", b"\x01\x00\x08\x00", 1),
     "entry tallowind.json refers to a zip64 extra field that does not hold its sizes and offset"),
], ids=["zip64 end record", "zip64 field"])
def test_damaged_zip64_structures_are_errors(make_dvm, damage, message):
    data = zip64_archive_bytes({"labels.txt": "cat", "tallowind.json": META})
    path = make_dvm(raw=model_bytes(100) + damage(data))
    assert outcomes(path) == everywhere("damaged archive: " + message)


@pytest.mark.parametrize("compression", [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED])
@pytest.mark.parametrize("damage, message", [
    (lambda d: patch_entry_headers(patch_entry_headers(d, "labels.txt", CRC, "<I", 0xDEADBEEF),
                                   "tallowind.json", CRC, "<I", 0xDEADBEEF), "invalid checksum"),
    (lambda d: patch_entry_headers(patch_entry_headers(d, "labels.txt", FLAGS, "<H", 1),
                                   "tallowind.json", FLAGS, "<H", 1),
     "ZIP error: unsupported archive: encrypted entries are not supported"),
    (lambda d: d.replace(b"PK\x03\x04", b"PK\x03\x00"), "ZIP error: invalid Zip archive: bad local file header"),
], ids=["bad checksum", "encrypted", "local header"])
def test_unreadable_entry_fails_but_metadata_is_still_seen(tmp_path, compression, damage, message):
    path = damaged_file(tmp_path, damage, compression)
    assert outcomes(path) == [True, ("MetadataError", message), ("MetadataError", message)]


def test_changed_stored_data_fails_its_checksum(tmp_path):
    path = damaged_file(tmp_path, flip_byte_in("alpha"))
    with pytest.raises(ara2.MetadataError, match="^invalid checksum$"):
        ara2.read_labels(path)
    assert ara2.read_metadata(path).task == "detect"


@pytest.mark.parametrize("declared, message", [
    (10, "invalid checksum"),
    (2_000_000, "entry data ended before its declared size"),
], ids=["smaller than the data", "larger than the data"])
def test_lying_uncompressed_size_is_caught(tmp_path, declared, message):
    data = model_bytes(100) + archive_bytes({"labels.txt": "z" * 100_000})
    path = tmp_path / "lying.dvm"
    path.write_bytes(patch_entry_headers(data, "labels.txt", UNCOMPRESSED_SIZE, "<I", declared))
    with pytest.raises(ara2.MetadataError) as raised:
        ara2.read_labels(path)
    assert str(raised.value) == message


def test_zip_bomb_is_refused_without_inflating(tmp_path):
    data = archive_bytes({"labels.txt": bytes(100 << 20)})
    assert len(data) < 1 << 20
    path = tmp_path / "bomb.dvm"
    path.write_bytes(model_bytes(100) + data)
    with pytest.raises(ara2.MetadataError) as raised:
        ara2.read_labels(path)
    assert str(raised.value) == (
        "ZIP error: entry labels.txt declares 104857600 bytes, more than the 16777216 this reader accepts")
    assert ara2.has_metadata(path) is False


@pytest.mark.parametrize("compression, method", [(zipfile.ZIP_BZIP2, 12), (zipfile.ZIP_LZMA, 14)])
def test_unsupported_compression_is_a_zip_error(make_dvm, compression, method):
    path = make_dvm({"labels.txt": "a", "tallowind.json": "{}"}, compression=compression)
    message = f"ZIP error: unsupported archive: compression method {method} is not supported"
    assert outcomes(path) == [True, ("MetadataError", message), ("MetadataError", message)]


def test_corrupt_deflate_stream_fails(tmp_path):
    data = bytearray(model_bytes(10) + archive_bytes({"labels.txt": "abc" * 1000}))
    start = data.index(b"labels.txt") + len("labels.txt")
    data[start] = 0xFF  # a reserved block type
    path = tmp_path / "corrupt.dvm"
    path.write_bytes(bytes(data))
    with pytest.raises(ara2.MetadataError, match="^corrupt deflate stream$"):
        ara2.read_labels(path)


# --- File access --------------------------------------------------------------

FUNCTIONS = [ara2.has_metadata, ara2.read_labels, ara2.read_metadata]


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("make_path, message", [
    (lambda tmp: tmp / "missing.dvm", "No such file or directory (os error 2)"),
    (lambda tmp: tmp, "Is a directory (os error 21)"),
    (lambda tmp: str(tmp / "a\0b.dvm"), "file name contained an unexpected NUL byte"),
    (lambda tmp: tmp / "missing" / "x.dvm", "No such file or directory (os error 2)"),
], ids=["missing", "directory", "NUL in path", "missing directory"])
def test_unreadable_file_is_metadata_error(tmp_path, function, make_path, message):
    with pytest.raises(ara2.MetadataError) as raised:
        function(make_path(tmp_path))
    assert raised.value.args == (message,)
    assert not isinstance(raised.value, ara2.ProxyError)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_file_without_permission_fails(make_dvm, function):
    path = make_dvm({"tallowind.json": "{}"})
    path.chmod(0)
    with pytest.raises(ara2.MetadataError, match=r"^Permission denied \(os error 13\)$"):
        function(path)


class FsPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("convert", [str, pathlib.Path, lambda p: FsPath(str(p))], ids=["str", "pathlib", "PathLike"])
def test_path_forms(make_dvm, convert):
    path = make_dvm({"labels.txt": "a", "tallowind.json": "{}"})
    assert ara2.has_metadata(convert(path)) is True
    assert ara2.read_labels(path=convert(path)) == ["a"]
    assert isinstance(ara2.read_metadata(convert(path)), ara2.DvmMetadata)


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("argument", [b"model.dvm", FsPath(b"model.dvm"), FsPath(pathlib.Path("m.dvm")), None, 3],
                         ids=["bytes", "PathLike giving bytes", "PathLike giving a Path", "None", "int"])
def test_non_str_paths_are_type_errors(function, argument):
    with pytest.raises(TypeError):
        function(argument)


def test_path_that_is_not_utf8(tmp_path):
    name = os.fsdecode(b"model-\xff\xfe.dvm")
    path = tmp_path / name
    path.write_bytes(model_bytes(50) + archive_bytes({"labels.txt": "ok"}))
    assert ara2.read_labels(path) == ["ok"]
    assert ara2.read_labels(str(path)) == ["ok"]


def test_nothing_is_cached(make_dvm):
    path = make_dvm({"labels.txt": "first", "tallowind.json": "{}"})
    assert ara2.read_labels(path) == ["first"]
    path.write_bytes(model_bytes(10) + archive_bytes({"labels.txt": "second"}))
    assert ara2.read_labels(path) == ["second"]
    assert ara2.has_metadata(path) is False
    path.unlink()
    with pytest.raises(ara2.MetadataError):
        ara2.has_metadata(path)


def test_results_are_new_objects(make_dvm):
    path = make_dvm({"labels.txt": "a\nb"})
    first = ara2.read_labels(path)
    first.append("c")
    assert ara2.read_labels(path) == ["a", "b"]


@pytest.mark.parametrize("compression", ["stored", "deflated"])
def test_emulated_model_files_are_read(tmp_path, compression):
    # The emulator's builder writes the archive independently of this reader.
    model_builder = pytest.importorskip("ara2_emulator.model_builder")
    path = tmp_path / "emulated.dvm"
    model_builder.build_model({"metadata": {"model": {"model_task": "classify"}, "dataset": {"classes": ["a", "b"]}},
                               "labels": ["a ", "b"], "archive_compression": compression}, path)
    assert outcomes(path) == [True, ["a", "b"], 'DvmMetadata(task=Some("classify"), classes=2, outputs=0)']
    model_builder.build_model({}, path)
    assert outcomes(path) == NO_METADATA


# --- Reading bounded by what the archive needs ----------------------------------

@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_devices_are_refused_at_once(function):
    with pytest.raises(ara2.MetadataError) as raised:
        function("/dev/zero")
    assert raised.value.args == ("not a regular file",)


@pytest.mark.not_sanitized("AddressSanitizer's shadow memory needs far more address space than the limit allows")
def test_large_model_costs_only_its_archive(tmp_path):
    # A sparse 5 GiB model, its archive after it; the child may map no more
    # than 1.5 GiB, so reading the file whole cannot even be attempted.
    path = tmp_path / "large.dvm"
    with open(path, "wb") as file:
        file.seek(5 << 30)
        file.write(archive_bytes({"labels.txt": "cat\ndog", "tallowind.json": META}))
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import resource
        import tallowind_ara2 as ara2

        def bytes_read():
            with open("/proc/self/io") as io:
                return next(int(line.split()[1]) for line in io if line.startswith("rchar:"))

        resource.setrlimit(resource.RLIMIT_AS, (3 << 29, 3 << 29))
        before = bytes_read()
        print(ara2.has_metadata({str(path)!r}), ara2.read_labels({str(path)!r}),
              ara2.read_metadata({str(path)!r}).task)
        print(bytes_read() - before < 1 << 20)
        """)], capture_output=True, text=True, timeout=60)
    assert (child.returncode, child.stdout) == (0, "True ['cat', 'dog'] detect\nTrue\n"), child.stderr
