"""Plain Python versions of the LZSS encoders and of both decoders (lenient and strict).

Written for clarity, not speed, step by step as the format defines them, so that the native
code can be compared with them byte for byte on small inputs. Units are ints: bytes for the
byte stream, 32-bit little-endian values for the 4-byte stream.
"""

import struct

WINDOW_SLOTS = 4096
TREE_ROOT = 4096
NO_NODE = 4097


class SearchTree:
    def __init__(self, units):
        self.units = units
        self.parent = [NO_NODE] * 4098
        self.left = [NO_NODE] * 4098
        self.right = [NO_NODE] * 4098
        # position 0 starts in the tree as its top node
        self.right[TREE_ROOT] = 0
        self.parent[0] = TREE_ROOT

    def insert(self, h, m):
        """Search for position h comparing at most m units, put h in the tree, return
        (match_length, match_node)."""
        units = self.units
        d = h % WINDOW_SLOTS
        best_length, best_node = 0, None
        e = self.right[TREE_ROOT]
        while True:
            base = h - h % WINDOW_SLOTS
            p = base + e if e < d else base - WINDOW_SLOTS + e
            i = 0
            while i < m and units[h + i] == units[p + i]:
                i += 1
            if i > best_length:
                best_length, best_node = i, e
                if i == m:
                    self.replace(e, d)
                    return best_length, best_node
            links = self.left if units[h + i] < units[p + i] else self.right
            if links[e] == NO_NODE:
                links[e] = d
                self.parent[d] = e
                self.left[d] = NO_NODE
                self.right[d] = NO_NODE
                return best_length, best_node
            e = links[e]

    def delete(self, s):
        parent, left, right = self.parent, self.left, self.right
        if parent[s] == NO_NODE:
            return
        if right[s] == NO_NODE or left[s] == NO_NODE:
            y = left[s] if right[s] == NO_NODE else right[s]
            parent[y] = parent[s]
            q = parent[s]
            if right[q] == s:
                right[q] = y
            else:
                left[q] = y
            parent[s] = NO_NODE
        else:
            q = left[s]
            while right[q] != NO_NODE:
                q = right[q]
            self.delete(q)
            self.replace(s, q)

    def replace(self, e, d):
        parent, left, right = self.parent, self.left, self.right
        q = parent[e]
        if left[q] == e:
            left[q] = d
        else:
            right[q] = d
        parent[d] = parent[e]
        left[d] = left[e]
        right[d] = right[e]
        parent[left[e]] = d
        parent[right[e]] = d
        parent[e] = NO_NODE


def _encode(units, unpacked_size, max_match, min_match, literal, keep_empty_tail):
    n = len(units)
    if n == 0:
        return b""
    tree = SearchTree(units)
    out = bytearray(8)
    position = node = advance = 0
    match_length, match_node = 0, None
    flag, tokens, slot = 0, bytearray(), 0
    while True:
        ended = False
        for _ in range(advance):
            h = position + 1
            node = (node + 1) % WINDOW_SLOTS
            tree.delete(node)
            if h >= n:
                ended = True
                break
            match_length, match_node = tree.insert(h, min(n - h, max_match))
            position = h
        if ended:
            break
        if match_length >= min_match:
            word = (((node - match_node) % WINDOW_SLOTS) << 4) | (match_length - min_match)
            tokens += word.to_bytes(2, "little")
            advance = match_length
        else:
            flag |= 1 << slot
            tokens += literal(units[position])
            advance = 1
        slot += 1
        if slot == 8:
            out += bytes([flag]) + tokens
            flag, tokens, slot = 0, bytearray(), 0
    if tokens or keep_empty_tail:
        out += bytes([flag]) + tokens
    out[0:4] = len(out).to_bytes(4, "little")
    out[4:8] = unpacked_size.to_bytes(4, "little")
    return bytes(out)


def lzss_pack_level(data, level, suppress_empty_tail_group=False):
    max_match = min(level if level >= 3 else 2, 17)
    return _encode(
        list(data), len(data), max_match, 2, lambda b: bytes([b]), not suppress_empty_tail_group
    )


def lzss32_pack(data):
    assert len(data) % 4 == 0
    units = [int.from_bytes(data[k : k + 4], "little") for k in range(0, len(data), 4)]
    return _encode(units, len(data), 16, 1, lambda u: u.to_bytes(4, "little")[:3], False)


def lzss_unpack(stream: bytes) -> bytes:
    """The lenient decoder, step by step: empty steps for sources before the output."""
    n = len(stream)
    if n < 8:
        return b""
    (unpacked_size,) = struct.unpack_from("<I", stream, 4)
    out = bytearray()
    i = 8
    while i < n and len(out) < unpacked_size:
        flags = stream[i]
        i += 1
        for bit in range(8):
            if len(out) >= unpacked_size:
                break
            if flags >> bit & 1:
                if i >= n:
                    return bytes(out)
                out.append(stream[i])
                i += 1
                continue
            if i + 1 >= n:
                return bytes(out)
            word = stream[i] | stream[i + 1] << 8
            i += 2
            start = len(out) - (word >> 4)
            for k in range((word & 0x0F) + 2):
                if len(out) >= unpacked_size:
                    break
                s = start + k
                if 0 <= s < len(out):
                    out.append(out[s])
    return bytes(out)


def lzss32_unpack(data):
    """The strict decoder; raises ValueError with the decoder's messages."""
    n = len(data)
    if n < 8:
        raise ValueError("lzss32 short")
    unpacked_size = int.from_bytes(data[4:8], "little")
    out = bytearray()
    i = 8
    while len(out) < unpacked_size:
        if i >= n:
            raise ValueError("lzss32 eof")
        flags = data[i]
        i += 1
        for bit in range(8):
            if len(out) >= unpacked_size:
                break
            if flags >> bit & 1:
                if i + 3 > n:
                    raise ValueError("lzss32 eof")
                out += data[i : i + 3] + b"\xff"
                i += 3
            else:
                if i + 2 > n:
                    raise ValueError("lzss32 eof")
                word = data[i] | data[i + 1] << 8
                distance = (word >> 4) * 4
                if distance == 0:
                    raise ValueError("lzss32 off0")
                if distance > len(out):
                    raise ValueError("lzss32 back")
                for _ in range(((word & 0x0F) + 1) * 4):
                    if len(out) >= unpacked_size:
                        break
                    out.append(out[-distance])
                i += 2
    return bytes(out)


def tokens(stream, literal_bytes=1, min_match=2):
    """The tokens of a well-formed stream: ("lit", bytes) or ("ref", distance, length)."""
    unpacked_size = int.from_bytes(stream[4:8], "little")
    produced, i, found = 0, 8, []
    unit = 4 if literal_bytes == 3 else 1
    while i < len(stream) and produced < unpacked_size:
        flags = stream[i]
        i += 1
        for bit in range(8):
            if i >= len(stream) or produced >= unpacked_size:
                break
            if flags >> bit & 1:
                found.append(("lit", stream[i : i + literal_bytes]))
                i += literal_bytes
                produced += unit
            else:
                word = stream[i] | stream[i + 1] << 8
                found.append(("ref", word >> 4, (word & 0x0F) + min_match))
                i += 2
                produced += ((word & 0x0F) + min_match) * unit
    return found
