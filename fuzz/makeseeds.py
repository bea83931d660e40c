#!/usr/bin/env python3
"""Writes the small seed inputs of the single-board output, partition
description and package targets into corpus/<target>/. Run it from anywhere;
the files it writes are committed. Seeds it does not write are inputs the
fuzzers found, kept verbatim (lzma_large_dictionary)."""
import io
import os
import stat
import struct
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def single_output():
    # First byte: bit 0 is "break already seen", the rest the starting progress.
    put("singleoutput", "good_run", b"\x00" + b"\r\n".join([
        b"Waiting for USB device connection: 1",
        b"break",
        b"Waiting for USB device connection: 2",
        b"updated size: 1024/204800(0%)",
        b"updated size: 204800/204800(100%)",
        b"F:\\images\\boot.img updated size: 10/100(10%)",
        b"USB download complete",
    ]) + b"\n")
    put("singleoutput", "failures", b"\x03" + b"\n".join([
        b"usb commuicate failed!!!",
        b"[ERR] updating file is too large",
        b"USB download failed",
        b"updated size: -5/99(",
        b"updated size: 2147483647/100(",
    ]))
    put("singleoutput", "not_found", b"\x15" + b"break\ndevice not foundce\nusb device not found\n")


def partitions():
    put("partitionfile", "two", b'<?xml version="1.0" encoding="UTF-8"?>\n<partitions>\n'
        b'  <partition label="boot" size_in_kb="4096" file="boot.img" mountpoint="/boot" type="ext4"/>\n'
        b'  <partition label="rootfs" size_in_kb="1048576" file="rootfs.img" mountpoint="/" type="ext4"/>\n'
        b'</partitions>\n')
    put("partitionfile", "crlf_nested_ns", b'<a>\r\n<b><p:partition xmlns:p="urn:x" label="x" file="..\\x.img"/>'
        b'</b>\r\n<partition>text<partition file="y"/></partition></a>\r\n')
    put("partitionfile", "entities", b'<!DOCTYPE a [<!ENTITY e "&#60;partition label=&#34;e&#34;/>">'
        b'<!ENTITY f "&e;&e;&e;">]><a>&f;&f;<partition label="&amp;&#10;"/></a>')
    put("partitionfile", "broken", b'<partitions><partition label="a"/><partition label="b" <partition/>')
    put("partitionfile", "utf16", '<?xml version="1.0" encoding="UTF-16"?><a><partition label="\u00e9" '
        'file="f"/></a>'.encode("utf-16"))


def zip_bytes(entries, compression=zipfile.ZIP_DEFLATED):
    """entries: (name, data, kind) with kind 'file', 'dir' or 'link'."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression) as z:
        for name, data, kind in entries:
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.compress_type = compression
            info.create_system = 3
            if kind == "dir":
                info.external_attr = (stat.S_IFDIR | 0o755) << 16 | 0x10
            elif kind == "link":
                info.external_attr = (stat.S_IFLNK | 0o777) << 16
            else:
                info.external_attr = (stat.S_IFREG | 0o644) << 16
            z.writestr(info, data)
    return buffer.getvalue()


def packages():
    put("packageextractor", "plain", zip_bytes([
        ("images/", b"", "dir"), ("images/boot.img", b"boot" * 40, "file"),
        ("images/part.xml", b'<partition file="boot.img"/>', "file"), ("empty/", b"", "dir")]))
    put("packageextractor", "stored", zip_bytes([("a.bin", b"\x00\x01\x02", "file"), ("b/c.bin", b"c", "file")],
                                                zipfile.ZIP_STORED))
    put("packageextractor", "unsafe_paths", zip_bytes([
        ("../evil", b"x", "file"), ("/abs", b"x", "file"), ("C:x", b"x", "file"), ("a\\b", b"x", "file"),
        ("sub/../../x", b"x", "file"), ("./ok/./f", b"x", "file"), ("..", b"", "dir")], zipfile.ZIP_STORED))
    put("packageextractor", "link_entries", zip_bytes([
        ("in", b"/tmp", "link"), ("in/x", b"x", "file"), ("rel", b"../../..", "link"), ("rel/y", b"y", "file")],
        zipfile.ZIP_STORED))
    put("packageextractor", "through_planted", zip_bytes([
        ("in/x", b"x", "file"), ("file", b"replaced", "file"), ("sub/up/y", b"y", "file"),
        ("sub/up/", b"", "dir"), ("sub/dangling", b"d", "file"), ("in/", b"", "dir")], zipfile.ZIP_STORED))
    put("packageextractor", "duplicates_conflicts", zip_bytes([
        ("x", b"first", "file"), ("x", b"second", "file"), ("y", b"file", "file"), ("y/z", b"under", "file"),
        ("sub", b"file over folder", "file")], zipfile.ZIP_STORED))
    put("packageextractor", "compressions", zip_bytes([("z", b"bz" * 300, "file")], zipfile.ZIP_BZIP2) )
    put("packageextractor", "lzma", zip_bytes([("l", b"lz" * 300, "file")], zipfile.ZIP_LZMA))
    put("packageextractor", "empty", zip_bytes([]))
    # A wrong checksum in the stored data.
    good = bytearray(zip_bytes([("crc", b"checksum me", "file")], zipfile.ZIP_STORED))
    at = good.find(b"checksum me")
    good[at] ^= 0x20
    put("packageextractor", "bad_crc", bytes(good))
    # A deflate bomb: a megabyte of zeros in about a kilobyte.
    put("packageextractor", "ratio", zip_bytes([("zeros", b"\x00" * (1 << 20), "file")]))
    # zip64 fields, as written and with sizes claimed near the top of the range.
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as z:
        for name in ("a", "b"):
            with z.open(zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0)), "w", force_zip64=True) as f:
                f.write(b"x")
    data = bytearray(buffer.getvalue())
    put("packageextractor", "zip64", bytes(data))
    at = data.find(b"\x01\x00")
    while at >= 0:
        if struct.unpack_from("<H", data, at + 2)[0] in (8, 16, 24, 28):
            struct.pack_into("<Q", data, at + 4, 0x7FFFFFFFFFFFFF00)
        at = data.find(b"\x01\x00", at + 2)
    put("packageextractor", "zip64_claims_beyond_range", bytes(data))
    # Truncated: the central directory cut off.
    put("packageextractor", "truncated", zip_bytes([("t", b"t" * 100, "file")])[:-30])


if __name__ == "__main__":
    single_output()
    partitions()
    packages()
