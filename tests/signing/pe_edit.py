"""Changes a signed PE file the way an attacker would, for the signing tests.

change-code IN OUT        one byte in the middle of the first code section is changed
damage-signature IN OUT   one byte of the signer's signature (the RSA value in the signer
                          information of the embedded PKCS #7 message) is changed
"""
import struct
import sys

IMAGE_SCN_CNT_CODE = 0x00000020
SECURITY_DIRECTORY = 4


def headers(data):
    nt = struct.unpack_from("<I", data, 0x3C)[0]
    if data[nt:nt + 4] != b"PE\0\0":
        raise SystemExit("not a PE file")
    sections, optional_size = struct.unpack_from("<H12xH", data, nt + 6)
    optional = nt + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    return optional + optional_size, sections, directories


def change_code(data):
    table, count, _ = headers(data)
    for i in range(count):
        entry = table + 40 * i
        raw_size, raw_pointer = struct.unpack_from("<II", data, entry + 16)
        characteristics = struct.unpack_from("<I", data, entry + 36)[0]
        if characteristics & IMAGE_SCN_CNT_CODE and raw_size > 0:
            where = raw_pointer + raw_size // 2
            data[where] ^= 0x01
            return
    raise SystemExit("no code section")


def damage_signature(data):
    _, _, directories = headers(data)
    offset, size = struct.unpack_from("<II", data, directories + 8 * SECURITY_DIRECTORY)
    if offset == 0 or size == 0:
        raise SystemExit("the file is not signed")
    certificate = data[offset:offset + size]
    # The signer's RSA-2048 signature: an OCTET STRING of 256 bytes, the only one in the message
    # (the certificates' own signatures are BIT STRINGs).
    marker = b"\x04\x82\x01\x00"
    found = certificate.find(marker)
    if found < 0 or certificate.find(marker, found + 1) >= 0:
        raise SystemExit("the signer's signature was not found exactly once")
    data[offset + found + len(marker) + 128] ^= 0x01


def main():
    action, source, target = sys.argv[1:4]
    data = bytearray(open(source, "rb").read())
    {"change-code": change_code, "damage-signature": damage_signature}[action](data)
    open(target, "wb").write(bytes(data))


if __name__ == "__main__":
    main()
