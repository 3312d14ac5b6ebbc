"""Files hashed as Windows' subject interface packages hash them for a catalog: a PE image by its
Authenticode hash, every other file whole."""
import hashlib
import struct

# An unsigned PE image whose size is not a multiple of 8 is hashed as if zero bytes padded it to
# one: osslsigncode and Windows' signing tools pad it so, as the certificate table that signing
# appends must start on an 8-byte boundary.
PE_ALIGNMENT = 8


def pe_layout(data):
    """(checksum offset, certificate directory offset, certificate table (start, size) or None) of
    a PE image, or None for any other file."""
    if len(data) < 64 or data[:2] != b"MZ":
        return None
    header, = struct.unpack_from("<I", data, 0x3C)
    optional = header + 24
    if optional + 2 > len(data) or data[header:header + 4] != b"PE\0\0":
        return None
    magic, = struct.unpack_from("<H", data, optional)
    directories = optional + {0x10B: 96, 0x20B: 112}.get(magic, -optional - 1)
    if directories < 0 or directories + 5 * 8 > len(data):
        return None
    security = directories + 4 * 8
    start, size = struct.unpack_from("<II", data, security)
    if size and (start < security + 8 or start + size > len(data)):
        return None
    return optional + 64, security, (start, size) if size else None


def file_hash(data, algorithm):
    """("pe" or "flat", digest): a PE image's Authenticode hash (without its checksum, its
    certificate directory entry and the certificate table), any other file's hash whole."""
    layout = pe_layout(data)
    digest = hashlib.new(algorithm)
    if layout is None:
        digest.update(data)
        return "flat", digest.digest()
    checksum, security, table = layout
    end = len(data)
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:security])
    if table and table[0] + table[1] == end:
        end = table[0]
    digest.update(data[security + 8:end])
    if table is None:
        digest.update(b"\0" * (-end % PE_ALIGNMENT))
    return "pe", digest.digest()
