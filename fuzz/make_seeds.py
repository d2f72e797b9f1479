#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into fuzz/corpus/.

Every seed is built from the published file and wire formats (package,
.bkp, index.json, S3 replies, adapter frames and flash structures,
adapter.json), not from our own code: packages are encrypted with the
openssl command, digests come from Python's hashlib. Seeds are named
seed-*; the files the fuzz campaign adds are named by their SHA-1.

    fuzz/make_seeds.py [CORPUS_FOLDER]
"""

import base64
import hashlib
import json
import os
import struct
import subprocess
import sys

PACKAGE_KEY = b"Tm4&Xq!7pLz#R2wK"


def md5(data):
    return hashlib.md5(data).digest()


def u16(value):
    return struct.pack("<H", value)


def u32(value):
    return struct.pack("<I", value)


def encrypt(plaintext):
    """AES-128-ECB with PKCS#7 padding, by the openssl command."""
    return subprocess.run(
        ["openssl", "enc", "-aes-128-ecb", "-K", PACKAGE_KEY.hex()],
        input=plaintext, stdout=subprocess.PIPE, check=True).stdout


def package_file(marker, version, image, wrong_trailer=False):
    covered = marker + bytes(version) + image
    trailer = bytearray(md5(covered))
    if wrong_trailer:
        trailer[-1] ^= 1
    text = base64.b64encode(encrypt(covered + bytes(trailer)))
    # Line breaks every 64 characters, as openssl enc -base64 writes.
    return b"".join(text[i:i + 64] + b"\n" for i in range(0, len(text), 64))


def pattern(size, seed=0x11):
    state = (seed * 2654435761 + 1) & 0xFFFFFFFF
    out = bytearray()
    for _ in range(size):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        out.append((state >> 16) % 0xFF)
    return bytes(out)


def package_seeds():
    k3_image = pattern(300)
    m7_image = pattern(700, 0x22)
    t5_image = u32(0x20020000) + u32(0x08040201) + pattern(120, 0x33)
    t5_old_image = u32(0x10010000) + u32(0x08020101) + pattern(60, 0x44)
    return {
        "k3-package": b"\x00" + package_file(b"Brivane_K3", [2, 1, 0], k3_image),
        "m7-package": b"\x00" + package_file(b"Brivane_M7", [1, 4, 2], m7_image),
        "k3-wrong-trailer": b"\x00" + package_file(b"Brivane_K3", [2, 0, 5], k3_image, True),
        "k3-major-below-2": b"\x00" + package_file(b"Brivane_K3", [0xFF, 9, 9], k3_image[:40]),
        "header-only": b"\x00" + package_file(b"Brivane_M7", [3, 0, 0], b""),
        "cut-short": b"\x00" + package_file(b"Brivane_K3", [2, 1, 0], k3_image)[:101],
        "not-base64": b"\x00" + b"this is no firmware package\r\n",
        "empty": b"\x00",
        "built-k3": b"\x01\x00" + u32(0) + b"\x00" + b"Brivane_K3" + bytes([2, 3, 4]) +
                    k3_image[:64],
        "built-m7-lines": b"\x01\x01" + u32(0) + b"\x00" + b"Brivane_M7" + bytes([1, 0, 0]) +
                          m7_image[:80],
        "built-changed": b"\x01\x06" + u32(37) + b"\x5a" + b"Brivane_K3" + bytes([2, 0, 0]) +
                         k3_image[:48],
        "t5-image-new": b"\x02\x01" + bytes([5]) + b"5.6.1" + t5_image,
        "t5-image-old": b"\x02\x00" + bytes([6]) + b"5.4.12" + t5_old_image,
        "t5-image-bad-version": b"\x02\x01" + bytes([7]) + b"5.256.0" + t5_image,
        "t5-image-short": b"\x02\x01" + bytes([5]) + b"1.2.3" + b"\x00\x00\x02\x20",
    }


# --- T5 backups --------------------------------------------------------------

CONFIG_AREA, BLOCK_A_AREA, BLOCK_B_AREA, MACRO_AREA = 0, 1, 2, 3


def patch(area, offset, data):
    """One patch of a backup body: area, 24-bit offset, length, bytes."""
    out = b""
    while data:
        piece, data = data[:255], data[255:]
        out += bytes([area, offset & 0xFF]) + u16(offset >> 8) + bytes([len(piece)]) + piece
        offset += len(piece)
    return out


def data_block(length, mark):
    block = bytearray(length)
    block[0:2] = u16(length)
    block[3:9] = b"\xff" * 6
    block[length - 2:length] = u16(mark)
    return bytes(block)


def record(length, record_format, name):
    header_bytes = 132 if record_format >= 4 else 85
    assert length >= header_bytes
    rec = bytearray(length)
    rec[0:2] = u16(length)
    rec[2:4] = u16(0x0102)
    rec[4] = record_format
    rec[5:5 + len(name)] = name
    rec[0x39:0x3B] = u16(0x0A0B)
    for index in range(header_bytes, length):
        rec[index] = (index * 13) & 0xFF
    return bytes(rec)


def macro_block(records, header_extra=b""):
    body = b"".join(records)
    header = bytearray(64)
    header[0:2] = u16(64 + len(body) + 2)
    header[2] = len(records)
    header[3:5] = u16(len(body))
    header[5:5 + len(header_extra)] = header_extra
    return bytes(header) + body + u16(0x55AA)


def config_head(version, boot_mode=1):
    head = bytearray(0x84)
    head[0] = 0x55
    head[1:4] = bytes(version)
    head[4:8] = u32(0x08040000 if tuple(version) >= (5, 5, 0) else 0x08020000)
    head[8:12] = u32(0x1F000)
    head[0x40:0x42] = u16(0xAA55)
    head[0x46:0x50] = b"".join(u16(v) for v in (0x1245, 0x1252, 0x1251, 0x124F, 0x1250))
    head[0x7E] = 0x10
    head[0x82] = boot_mode
    return bytes(head)


def config_tail():
    tail = bytearray(0x4000 - 0x3F1D)
    tail[0] = 0x55
    tail[1] = 1
    tail[0x3FFE - 0x3F1D] = 0xAA
    tail[0x3FFF - 0x3F1D] = 0xAA
    return bytes(tail)


def body_description(options, adapter_version, patches):
    return b"\x01" + bytes([options]) + bytes(adapter_version) + b"".join(patches)


def new_layout_body(version, macro):
    mark = 0x55AA
    return [patch(CONFIG_AREA, 0, config_head(version)), patch(CONFIG_AREA, 0x3F1D, config_tail()),
            patch(BLOCK_A_AREA, 0, data_block(66, mark)),
            patch(BLOCK_B_AREA, 0, data_block(80, mark)), patch(MACRO_AREA, 0, macro)]


def old_layout_body(version, records):
    mark = 0xAA55
    config = bytearray(config_head(version))
    config += bytes(0x124 - len(config))
    config += bytes([len(records)]) + u16(sum(len(r) for r in records))
    config += bytes(0x164 - len(config)) + b"".join(records)
    return [patch(CONFIG_AREA, 0, bytes(config)), patch(CONFIG_AREA, 0x3F1D, config_tail()),
            patch(BLOCK_A_AREA, 0, data_block(66, mark)),
            patch(BLOCK_B_AREA, 0, data_block(70, mark))]


def bkp_file(body_prefix, serial_hex):
    data = bytearray(body_prefix + md5(body_prefix))
    key = md5(serial_hex.encode())
    for index in range(len(data)):
        data[index] ^= key[index % 16]
    return bytes(data)


def backup_seeds():
    v2 = [record(100, 2, b"jump"), record(120, 3, b"combo")]
    v4 = [record(140, 4, b"turbo"), record(90, 1, b"old")]
    serial = bytes(range(0x30, 0x3C))
    prefix = config_head([5, 6, 1]) + bytes(0x200)
    return {
        "bkp-small": b"\x00\x01" + serial + bkp_file(prefix, serial.hex()),
        "bkp-empty-serial": b"\x00\x00" + bkp_file(config_head([5, 4, 0]), ""),
        "bkp-damaged": b"\x00\x01" + serial + bkp_file(prefix, serial.hex())[:-1] + b"\x00",
        "new-converted": body_description(1, [5, 6, 1],
                                          new_layout_body([5, 5, 2], macro_block(v2, b"hdr"))),
        "new-kept": body_description(1, [5, 5, 7], new_layout_body([5, 5, 2], macro_block(v2))),
        "new-format4-across": body_description(
            1, [5, 7, 0], new_layout_body([5, 6, 0], macro_block(v4))),
        "new-empty-macro": body_description(5, [5, 6, 0],
                                            new_layout_body([5, 6, 0], macro_block([]))),
        "old-converted": body_description(1, [5, 6, 0], old_layout_body([5, 4, 0], v2)),
        "old-kept": body_description(3, [5, 5, 0], old_layout_body([5, 4, 3], v2)),
        "old-no-records": body_description(1, [5, 6, 0], old_layout_body([5, 4, 0], [])),
        "old-round-trip": body_description(5, [5, 6, 0], old_layout_body([5, 2, 10], v2[:1])),
        "records": b"\x02" + u16(64) + b"\x02\x01" + macro_block(v2)[:-2],
        "records-format4": b"\x02" + u16(64) + b"\x02\x00" + macro_block(v4)[:-2],
        "records-too-short": b"\x02" + u16(0) + b"\x01\x00" + u16(40) + b"\x02" + bytes(37),
    }


# --- Catalogue ---------------------------------------------------------------

def entry(model, version, info, checksum, **changes):
    value = {"version": version, "url": "", "info": info, "datetime": "2024-03-05 14:22:07",
             "checksum": checksum, "download": "%s_v%s.bin" % (model, version)}
    value.update(changes)
    return value


def catalogue_seeds():
    digest = hashlib.md5(b"firmware").hexdigest()
    real = {
        "T5": [entry("T5", "5.6.1", "Faster boot;Fixes the macro restore;", digest),
               entry("T5", "5.5.2", "Switch support", hashlib.md5(b"5.5.2").hexdigest())],
        "M7": [entry("M7", "1.4.2", "PS5 rumble", hashlib.md5(b"m7").hexdigest())],
        "K3": [entry("K3", "2.1.0", "First release;", hashlib.md5(b"k3").hexdigest())],
    }
    hostile = {
        "T5": [entry("T5", "../../../etc/passwd", "x", digest),
               entry("T5", "1.2.3", "x", digest, download="../index.json"),
               entry("T5", "1.2.3", "x", digest, download="sub/T5_v1.2.3.bin"),
               entry("T5", "1.2", "x", digest, download="T5 v1.2\u0007.bin"),
               {"version": 5, "checksum": digest}, "not an entry", None],
        "M7": {"version": "1.0.0"},
        "K3": [],
    }

    def document(catalogue, compact=True):
        if compact:
            return json.dumps(catalogue, separators=(",", ":"), ensure_ascii=False).encode()
        return json.dumps(catalogue, indent=4).encode()

    return {
        "real-none": b"\x00" + document(real),
        "real-other-bytes": b"\x01" + document(real, False),
        "real-downloaded": b"\x02" + document(real),
        "real-upper-case": b"\x07" + document(real),
        "hostile": b"\x06" + document(hostile),
        "unicode-digits": b"\x02" + document(
            {"T5": [entry("T5", "\u0665.\u0666.\u0667", "arabic;digits", digest)]}),
        "empty-object": b"\x04{}",
        "array": b"\x00[1,2,3]",
        "truncated": b"\x00" + document(real)[:57],
        "numbers": b"\x04" + b'{"T5":[{"version":"1.0.0","n":1e999}],"x":-0.0,"y":12345678901234567890}',
    }


# --- S3 replies --------------------------------------------------------------

def s3_seeds():
    access_denied = (b'<?xml version="1.0" encoding="UTF-8"?>\n<Error>\n  <Code>AccessDenied</Code>\n'
                     b"  <Message>Access Denied</Message>\n  <RequestId>4442587FB7D0A2F9</RequestId>\n"
                     b"  <HostId>eftixk72aD6Ap51TnqcoF8eFidJG9Z/2mkiDFu8yU9AS1ed4OpIszj7UDNEHGran"
                     b"</HostId>\n</Error>\n")
    no_such_key = (b'<?xml version="1.0" encoding="UTF-8"?><Error><Code>NoSuchKey</Code>'
                   b"<Message>The resource you requested does not exist</Message>"
                   b"<Resource>/mybucket/myfoto.jpg</Resource><RequestId>4442587FB7D0A2F9"
                   b"</RequestId></Error>")
    location = (b'<?xml version="1.0" encoding="UTF-8"?>\n<LocationConstraint '
                b'xmlns="http://s3.amazonaws.com/doc/2006-03-01/">%s</LocationConstraint>')
    code = b"SlowDown"
    message = b"Please reduce your request rate & try <again>."
    return {
        "error-access-denied": b"\x00" + access_denied,
        "error-no-such-key": b"\x00" + no_such_key,
        "error-broken": b"\x00<Error><Code>Slow</Code><Mess",
        "error-entities": b"\x00<Error><Code>A&amp;B</Code><Message>&#x41;&lt;&#65;</Message></Error>",
        "location-us-east-1": b"\x01" + location.replace(b"%s", b""),
        "location-eu": b"\x01" + location.replace(b"%s", b"EU"),
        "location-gov": b"\x01" + location.replace(b"%s", b"us-gov-west-1"),
        "location-ap": b"\x01" + location.replace(b"%s", b"ap-northeast-1"),
        "location-newline": b"\x01" + location.replace(b"%s", b"eu-central-1\n"),
        "location-hostile": b"\x01" + location.replace(b"%s", b"x/../../evil\r\nHost: a"),
        "round-trip-plain": b"\x02\x00" + bytes([len(code)]) + code + message,
        "round-trip-indented": b"\x02\x01" + bytes([len(code)]) + code + message,
        "round-trip-cdata": b"\x02\x02" + bytes([len(code)]) + code + message,
    }


# --- Adapter replies ---------------------------------------------------------

def wide_reply(code, address, length, data=b""):
    return b"\x00" + u32(code) + u32(address) + u32(length) + data.ljust(52, b"\x00")


def k3_reply(code, address, length, data=b""):
    return b"\x00\x04" + bytes([code]) + u32(address) + u16(length) + data.ljust(56, b"\x00")


def request_fields(choice, address, length):
    return bytes([choice]) + u32(address) + bytes([length])


def info_block(start, version, image):
    block = bytearray(256)
    block[0] = 0x55
    block[1:5] = u32(start)
    block[5:8] = bytes(version)
    block[8:12] = u32(len(image))
    block[12:28] = md5(image)
    block[255] = 0xAA
    return bytes(block)


def replies_seeds():
    serial_block = b"\x55" + bytes(range(0xA0, 0xAC)) + bytes([5, 6, 1]) + bytes(47) + b"\xaa"
    factory = bytearray(0x4000)
    factory[0:0x84] = config_head([5, 6, 1], 0)
    factory[0x3F1D:] = config_tail()
    old = bytearray(factory)
    old[1:4] = bytes([5, 2, 10])
    old[0x7F] = 7
    old[0x124] = 3
    old[0x3F30] = 0x99
    image = pattern(300)
    return {
        # Choice 1 is a read (0x56), 0 an erase, 5 a run status, 0xF0+ a raw code.
        "t5-read-answered": b"\x00" + request_fields(1, 0x08004000, 52) +
                            wide_reply(0x58, 0x08004000, 52, pattern(52)),
        "t5-read-stale": b"\x00" + request_fields(1, 0x08004034, 52) +
                         wide_reply(0x58, 0x08004000, 52, pattern(52)),
        "t5-erase-done": b"\x00" + request_fields(0, 0, 2) + wide_reply(0x59, 0, 2),
        "t5-run-status": b"\x00" + request_fields(5, 0, 4) + wide_reply(0x5D, 0, 4, b"\x01\x02\x03\x04"),
        "t5-short-reply": b"\x00" + request_fields(1, 0x08003FC0, 52) + b"\x00\x58\x00",
        "t5-raw-code": b"\x00\xf3\x61" + u32(0) + b"\x04" + wide_reply(0x61, 0, 4),
        "k3-read-answered": b"\x01" + request_fields(1, 0x08004100, 56) +
                            k3_reply(0x58, 0x08004100, 56, pattern(56)),
        "k3-boot-flag": b"\x01" + request_fields(5, 0, 1) + k3_reply(0x5D, 0, 1, b"\x01"),
        "k3-refused": b"\x01" + request_fields(2, 0x08005000, 56) + k3_reply(0x00, 0x08005000, 56),
        "t5-factory-config": b"\x02" + serial_block + b"\x00" + bytes(factory),
        "t5-old-settings": b"\x02" + serial_block + b"\x02" + bytes(old),
        "t5-short-config": b"\x02" + serial_block + b"\x01" + bytes(factory[:0x90]),
        "k3-information": b"\x03" + info_block(0x08005000, [2, 1, 0], image) + image,
        "m7-information": b"\x03" + info_block(0x08010000, [1, 4, 2], image[:200]) + image[:200],
        "m7-large-image": b"\x03" + bytearray(info_block(0x08010000, [1, 0, 0], b"")[:8]) +
                          u32(0xF0000) + bytes(243) + b"\xaa",
    }


# --- adapter.json ------------------------------------------------------------

def adapter_seeds():
    def seed(options, flash, configuration):
        text = configuration if isinstance(configuration, bytes) else \
            json.dumps(configuration, indent=4).encode()
        return bytes([options, len(flash)]) + flash + text

    return {
        "t5": seed(0, b"", {"model": "T5", "serialNumber": "30:31:32:33:34:35:36:37:38:39:3a:3b",
                            "runStatus": "0x01020304", "rebootReturnAfterMs": 0,
                            "faults": {"shortReplyBytes": 12, "shortReplyFromReport": 3,
                                       "shortReplyToReport": "0x10", "eraseRefusedAtErase": 2}}),
        "k3-boot": seed(0, b"", {"model": "K3", "productId": "0xb275", "bootFlag": 1,
                                 "chipId": "00112233445566778899aabbccddeeff",
                                 "eraseMsPerSector": 5}),
        "k3-application": seed(0, b"", {"model": "K3", "vendorId": 3642, "interface": 0,
                                        "bootProductId": "0xB270", "reenumerateAfterMs": 300}),
        "m7": seed(0, b"", {"model": "M7", "chipId": "0x0102030405060708090a0b0c",
                            "faults": {"lateReplyAtReport": 7, "lateReplyDelayMs": 1200,
                                       "eraseCutAtErase": 2, "eraseCutAfterSectors": 0,
                                       "unplugAtReport": 40, "replugAfterMs": 800,
                                       "eraseAcknowledgedEarly": True, "openDenied": False}}),
        "echo": seed(0, b"", {"model": "echo", "vendorId": 1234, "productId": 5678,
                              "interface": 2, "appearAfterMs": 10, "replyDelayMs": 1}),
        "composite": seed(1, b"\x01\x02", {"model": "composite", "interface": 0}),
        "t5-small-flash": seed(1, b"\xff" * 16, {"model": "T5"}),
        "unknown-key": seed(0, b"", {"model": "T5", "faults": {"noReplyAtreport": 1}}),
        "wrong-identity": seed(0, b"", {"model": "M7", "productId": "0xB373"}),
        "not-json": seed(0, b"", b'{"model": "T5",'),
        "numbers": seed(0, b"", b'{"model": "T5", "replyDelayMs": 1.5, "appearAfterMs": "0x7fffffffffffffff"}'),
    }


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    corpus = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "corpus")
    groups = {"package": package_seeds(), "backup": backup_seeds(),
              "catalogue": catalogue_seeds(), "s3xml": s3_seeds(),
              "replies": replies_seeds(), "adapterjson": adapter_seeds()}
    for target, seeds in groups.items():
        folder = os.path.join(corpus, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            assert len(data) <= 64 * 1024, (target, name, len(data))
            with open(os.path.join(folder, "seed-" + name), "wb") as file:
                file.write(data)
        print("%s: %d seeds" % (target, len(seeds)))


if __name__ == "__main__":
    main()
