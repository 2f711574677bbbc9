"""Read-only access to an orvi database file, byte by byte.

The tools that must not disturb a database (``orvi check``, ``orvi info``)
read the file here with plain Python instead of opening it with
``orvi.open``: opening takes the writer lock, finishes an interrupted commit
and removes a leftover vacuum file, all of which write. Nothing in this
module ever opens a file for writing.

Layout (all integers little-endian, offsets absolute):

    0 .. 4096           page 0; the 128-byte header at its start
    4096 .. 4198400     the commit log area (4 MiB)
    4198400 .. end      1 MiB extents (node slots, edge slots, property
                        bytes) and the extent-index pages that list them

Header fields: magic "ORVI" + 12 zero bytes, u16 major, u16 minor, u32 page
size, then u64 node_count, edge_count, next_node_id, next_edge_id, the three
index-chain heads (node, edge, prop), prop_tail, wal_offset, wal_length and
checksum (the XOR of the eleven words at 16..96 and the magic as a u32).

Node slot (64 bytes, 63 to a page after an 8-byte gap): id, first_out,
first_in, prop_offset (u64), prop_len (u32), reserved, out_degree,
in_degree (u32), label_offset (u64), label_len (u32), flags (u8).
Edge slot (80 bytes, 51 to a page): id, from, to, next_out, next_in,
prop_offset (u64), prop_len (u32), reserved, label_offset (u64),
label_len (u32), flags (u8). Flags bit 0 marks a deleted record; slot id 0
marks a slot never written.

A pending commit: when the header's wal_length is nonzero the log area holds
the page images of a commit that may not have reached its home pages. The
reader can lay those images over the file in memory (``overlay_log``) to see
the state that the next ``orvi.open`` will produce by replaying them.
"""

from __future__ import annotations

import os
import struct
import zlib
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

PAGE_SIZE = 4096
HEADER_SIZE = 128
WAL_OFFSET = 4096
WAL_SIZE = 4 * 1024 * 1024
DATA_START = WAL_OFFSET + WAL_SIZE
EXTENT_SIZE = 1024 * 1024
NODE_SLOT_SIZE = 64
NODE_SLOTS_PER_PAGE = 63
NODE_SLOTS_PER_EXTENT = NODE_SLOTS_PER_PAGE * (EXTENT_SIZE // PAGE_SIZE)
EDGE_SLOT_SIZE = 80
EDGE_SLOTS_PER_PAGE = 51
EDGE_SLOTS_PER_EXTENT = EDGE_SLOTS_PER_PAGE * (EXTENT_SIZE // PAGE_SIZE)
INDEX_ENTRIES_PER_PAGE = 510
MAX_BLOB = EXTENT_SIZE - 8
WAL_PAGE_ENTRY = 17 + PAGE_SIZE + 4
WAL_COMMIT_ENTRY = 21
# The most page images one commit can log: 1018 * 4117 + 21 <= 4 MiB.
MAX_COMMIT_PAGES = (WAL_SIZE - WAL_COMMIT_ENTRY) // WAL_PAGE_ENTRY
MAX_NESTING = 32
MAGIC = b"ORVI" + b"\0" * 12
# No offset stored in a healthy file comes near this; the engine refuses
# index pages, extents and blobs at or beyond it.
MAX_FILE_OFFSET = 1 << 62
DELETED = 0x01

_HEADER = struct.Struct("<16sHHIQQQQQQQQQQQ")
_NODE_SLOT = struct.Struct("<QQQQI4xIIQIB3x")
_EDGE_SLOT = struct.Struct("<QQQQQQI4xQIB11x")
_U32 = struct.Struct("<I")
_U64 = struct.Struct("<Q")
_I64 = struct.Struct("<q")
_F64 = struct.Struct("<d")

KINDS = ("node", "edge", "prop")


class FormatError(Exception):
    """The bytes do not follow the file format; the message says where."""


@dataclass
class Header:
    version: Tuple[int, int]
    page_size: int
    node_count: int
    edge_count: int
    next_node_id: int
    next_edge_id: int
    index_heads: Dict[str, int]
    prop_tail: int
    wal_offset: int
    wal_length: int
    checksum: int


def header_checksum(raw: bytes) -> int:
    value = _U32.unpack_from(raw, 0)[0]
    for offset in range(16, 104, 8):
        value ^= _U64.unpack_from(raw, offset)[0]
    return value


def parse_header(raw: bytes) -> Header:
    """Parses and checks the first 128 bytes of a database file, with the
    checks ``orvi.open`` makes, in the same order; FormatError names the
    first that fails."""
    # Bytes that do not begin as a database's say it is not one, whatever
    # its length; only what could be a database cut short is "too small".
    if raw[:len(MAGIC)] != MAGIC[:len(raw)]:
        raise FormatError("invalid magic bytes")
    if len(raw) < HEADER_SIZE:
        raise FormatError("file too small to contain header")
    fields = _HEADER.unpack_from(raw, 0)
    major, minor, page_size = fields[1], fields[2], fields[3]
    if (major, minor) != (1, 0):
        raise FormatError(f"unsupported file format version: {major}.{minor} (supported: 1.0)")
    if page_size != PAGE_SIZE:
        raise FormatError(f"unsupported page size: {page_size}")
    stored = fields[14]
    computed = header_checksum(raw)
    if computed != stored:
        raise FormatError(
            f"header checksum mismatch: expected 0x{computed:016x}, got 0x{stored:016x}"
        )
    return Header(
        version=(major, minor),
        page_size=page_size,
        node_count=fields[4],
        edge_count=fields[5],
        next_node_id=fields[6],
        next_edge_id=fields[7],
        index_heads={"node": fields[8], "edge": fields[9], "prop": fields[10]},
        prop_tail=fields[11],
        wal_offset=fields[12],
        wal_length=fields[13],
        checksum=stored,
    )


@dataclass
class NodeSlot:
    id: int
    first_out: int
    first_in: int
    prop_offset: int
    prop_len: int
    out_degree: int
    in_degree: int
    label_offset: int
    label_len: int
    flags: int


@dataclass
class EdgeSlot:
    id: int
    source: int
    target: int
    next_out: int
    next_in: int
    prop_offset: int
    prop_len: int
    label_offset: int
    label_len: int
    flags: int


def valid_region_page(offset: int) -> bool:
    return DATA_START <= offset < MAX_FILE_OFFSET and offset % PAGE_SIZE == 0


def node_slot_position(node_id: int) -> Tuple[int, int]:
    """(extent number, offset inside the extent) of a node's slot."""
    i = node_id - 1
    r = i % NODE_SLOTS_PER_EXTENT
    return i // NODE_SLOTS_PER_EXTENT, PAGE_SIZE * (r // NODE_SLOTS_PER_PAGE) + 8 + (
        NODE_SLOT_SIZE * (r % NODE_SLOTS_PER_PAGE)
    )


def edge_slot_position(edge_id: int) -> Tuple[int, int]:
    """(extent number, offset inside the extent) of an edge's slot."""
    i = edge_id - 1
    r = i % EDGE_SLOTS_PER_EXTENT
    return i // EDGE_SLOTS_PER_EXTENT, PAGE_SIZE * (r // EDGE_SLOTS_PER_PAGE) + 8 + (
        EDGE_SLOT_SIZE * (r % EDGE_SLOTS_PER_PAGE)
    )


@dataclass
class Chain:
    """One kind's extent list as read from its index pages."""

    extents: List[int] = field(default_factory=list)
    index_pages: List[int] = field(default_factory=list)


class DbFile:
    """A database file opened read-only, optionally with the page images of
    a pending commit laid over it in memory. Reads past the end of the file
    give zeros, as they do for the database itself (extents are allocated
    before their pages are written)."""

    def __init__(self, path: str):
        self.path = path
        self._fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        self._size = os.fstat(self._fd).st_size
        self._overlay: Dict[int, bytes] = {}
        self._pages: Dict[int, bytes] = {}

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    def __enter__(self) -> "DbFile":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def size(self) -> int:
        return self._size

    def read_raw(self, offset: int, length: int) -> bytes:
        """The file's own bytes, without the overlay, zero-filled past its
        end."""
        if offset >= self._size:
            return b"\0" * length
        data = os.pread(self._fd, length, offset)
        if len(data) < length:
            data += b"\0" * (length - len(data))
        return data

    def page(self, offset: int) -> bytes:
        if offset in self._overlay:
            return self._overlay[offset]
        cached = self._pages.get(offset)
        if cached is None:
            if len(self._pages) >= 512:
                self._pages.clear()
            cached = self.read_raw(offset, PAGE_SIZE)
            self._pages[offset] = cached
        return cached

    def read(self, offset: int, length: int) -> bytes:
        out = bytearray()
        while length > 0:
            base = offset - offset % PAGE_SIZE
            start = offset - base
            chunk = min(length, PAGE_SIZE - start)
            out += self.page(base)[start : start + chunk]
            offset += chunk
            length -= chunk
        return bytes(out)

    def overlay_log(self, images: Dict[int, bytes]) -> None:
        self._overlay = dict(images)
        self._pages.clear()

    def header(self) -> Header:
        if self.size < PAGE_SIZE:
            # Judged by the bytes it has, as orvi.open judges it.
            parse_header(self.read_raw(0, min(self.size, HEADER_SIZE))[: self.size])
            raise FormatError(
                f"file too small to contain header page: {self.size} of {PAGE_SIZE} bytes"
            )
        return parse_header(self.read(0, HEADER_SIZE))

    def walk_chain(self, kind: str, head: int) -> Chain:
        """The extent list of one kind; FormatError for a cycle, an oversized
        count or an index page outside the data region."""
        chain = Chain()
        seen = set()
        page = head
        while page != 0:
            if page in seen:
                raise FormatError(f"{kind} extent-index chain contains a cycle at 0x{page:x}")
            if not valid_region_page(page):
                raise FormatError(
                    f"{kind} extent-index chain points outside the data region at 0x{page:x}"
                )
            if page not in self._overlay and page + PAGE_SIZE > self._size:
                raise FormatError(
                    f"{kind} extent-index page at 0x{page:x} lies beyond the end of the file"
                )
            seen.add(page)
            raw = self.page(page)
            nxt = _U64.unpack_from(raw, 0)[0]
            count = _U32.unpack_from(raw, 8)[0]
            if count > INDEX_ENTRIES_PER_PAGE:
                raise FormatError(
                    f"{kind} extent-index page at 0x{page:x} reports count={count} > max "
                    f"{INDEX_ENTRIES_PER_PAGE}"
                )
            chain.index_pages.append(page)
            for j in range(count):
                base = _U64.unpack_from(raw, 16 + 8 * j)[0]
                if not valid_region_page(base):
                    raise FormatError(
                        f"{kind} extent-index page at 0x{page:x} lists an extent at 0x{base:x} "
                        "outside the data region"
                    )
                chain.extents.append(base)
            page = nxt
        return chain

    def node_slots_of_page(self, extent_base: int, page_no: int) -> List[NodeSlot]:
        raw = self.page(extent_base + PAGE_SIZE * page_no)
        return [
            NodeSlot(*_NODE_SLOT.unpack_from(raw, 8 + NODE_SLOT_SIZE * k))
            for k in range(NODE_SLOTS_PER_PAGE)
        ]

    def edge_slots_of_page(self, extent_base: int, page_no: int) -> List[EdgeSlot]:
        raw = self.page(extent_base + PAGE_SIZE * page_no)
        return [
            EdgeSlot(*_EDGE_SLOT.unpack_from(raw, 8 + EDGE_SLOT_SIZE * k))
            for k in range(EDGE_SLOTS_PER_PAGE)
        ]


@dataclass
class PendingCommit:
    """What the log area holds when the header's wal_length is nonzero."""

    length: int
    images: Dict[int, bytes]
    committed: bool
    problem: Optional[str] = None


def read_pending_commit(db: DbFile, header: Header) -> Optional[PendingCommit]:
    """Parses the commit log the way recovery does, without replaying it.
    Returns None when no commit is pending. ``committed`` says whether the
    log is complete: its entries pass their checksums and end in a commit
    record exactly at the logged length. Only then does the next open
    replay the images; otherwise it drops them. ``problem`` names a log
    that makes opening fail."""
    length = header.wal_length
    if length == 0:
        return None
    if length > WAL_SIZE:
        return PendingCommit(length, {}, False, (
            f"the header names {length} bytes of log but the log area holds only {WAL_SIZE}"
        ))
    if header.wal_offset != WAL_OFFSET:
        return PendingCommit(length, {}, False, (
            f"the header's log offset {header.wal_offset} is not the log area at {WAL_OFFSET}"
        ))
    data = db.read_raw(header.wal_offset, length)
    images: List[Tuple[int, bytes]] = []
    committed = False
    pos = 0
    while len(data) - pos >= 4:
        entry_len = _U32.unpack_from(data, pos)[0]
        if entry_len < 17 or pos + entry_len > len(data):
            break
        body = data[pos : pos + entry_len - 4]
        if zlib.crc32(body) != _U32.unpack_from(data, pos + entry_len - 4)[0]:
            break
        kind = data[pos + 4]
        page = _U64.unpack_from(data, pos + 5)[0]
        if kind == 1:
            if entry_len < WAL_PAGE_ENTRY:
                break
            data_len = _U32.unpack_from(data, pos + 13)[0]
            if data_len != PAGE_SIZE:
                return PendingCommit(length, {}, False, f"WAL: unexpected data_length {data_len}")
            if not (DATA_START <= page <= MAX_FILE_OFFSET and page % PAGE_SIZE == 0):
                return PendingCommit(length, {}, False,
                                     f"WAL: page image for invalid offset {page}")
            images.append((page, data[pos + 17 : pos + 17 + PAGE_SIZE]))
        pos += entry_len
        if kind == 2:
            committed = pos == len(data)
            break
    return PendingCommit(length, dict(images) if committed else {}, committed)


# --- property values -------------------------------------------------------


class DecodeError(Exception):
    """A label or property blob that does not decode."""


def decode_value(data: bytes, pos: int = 0, depth: int = 0) -> Tuple[Any, int]:
    """Decodes one property value at ``pos``; returns it and the position
    after it. Every length is checked against the data before use, and
    nesting deeper than anything the module can store is refused, so a
    damaged blob cannot make the decoder read wildly or recurse without
    bound."""
    n = len(data)
    if depth > MAX_NESTING + 1:
        raise DecodeError(f"values nested deeper than {MAX_NESTING} levels")
    if pos >= n:
        raise DecodeError("prop_codec: unexpected end of data")
    tag = data[pos]
    if tag == 0:
        return None, pos + 1
    if tag == 1:
        if pos + 2 > n:
            raise DecodeError("prop_codec: bool truncated")
        return data[pos + 1] != 0, pos + 2
    if tag == 2:
        if pos + 9 > n:
            raise DecodeError("prop_codec: int64 truncated")
        return _I64.unpack_from(data, pos + 1)[0], pos + 9
    if tag == 3:
        if pos + 9 > n:
            raise DecodeError("prop_codec: float64 truncated")
        return _F64.unpack_from(data, pos + 1)[0], pos + 9
    if tag == 4:
        if pos + 5 > n:
            raise DecodeError("prop_codec: string length truncated")
        length = _U32.unpack_from(data, pos + 1)[0]
        end = pos + 5 + length
        if end > n:
            raise DecodeError("prop_codec: string data truncated")
        try:
            return data[pos + 5 : end].decode("utf-8"), end
        except UnicodeDecodeError:
            raise DecodeError("prop_codec: invalid UTF-8") from None
    if tag == 5:
        if pos + 5 > n:
            raise DecodeError("prop_codec: list count truncated")
        count = _U32.unpack_from(data, pos + 1)[0]
        pos += 5
        items = []
        for _ in range(count):
            item, pos = decode_value(data, pos, depth + 1)
            items.append(item)
        return items, pos
    if tag == 6:
        if pos + 5 > n:
            raise DecodeError("prop_codec: map count truncated")
        count = _U32.unpack_from(data, pos + 1)[0]
        pos += 5
        result = {}
        for _ in range(count):
            if pos + 4 > n:
                raise DecodeError("prop_codec: map key length truncated")
            key_len = _U32.unpack_from(data, pos)[0]
            if pos + 4 + key_len > n:
                raise DecodeError("prop_codec: map key data truncated")
            try:
                key = data[pos + 4 : pos + 4 + key_len].decode("utf-8")
            except UnicodeDecodeError:
                raise DecodeError("prop_codec: invalid UTF-8 in key") from None
            result[key], pos = decode_value(data, pos + 4 + key_len, depth + 1)
        return result, pos
    raise DecodeError(f"prop_codec: unknown tag 0x{tag:02x}")


def decode_props(data: bytes) -> Dict[str, Any]:
    if not data:
        return {}
    value, _ = decode_value(data)
    if not isinstance(value, dict):
        raise DecodeError("props: expected Map")
    return value


def decode_labels(data: bytes) -> List[str]:
    if not data:
        return []
    value, _ = decode_value(data)
    if not isinstance(value, list):
        raise DecodeError("labels: expected List")
    if not all(isinstance(item, str) for item in value):
        raise DecodeError("labels: expected String in list")
    return value


def decode_edge_label(data: bytes) -> str:
    if not data:
        return ""
    value, _ = decode_value(data)
    if not isinstance(value, str):
        raise DecodeError("edge label is not a string")
    return value


def encoded_size(value: Any) -> int:
    """Bytes the module's encoding of ``value`` takes, for planning commits
    (a bool is tested before int, as the module does)."""
    if value is None:
        return 1
    if isinstance(value, bool):
        return 2
    if isinstance(value, (int, float)):
        return 9
    if isinstance(value, str):
        return 5 + len(value.encode("utf-8", "surrogatepass"))
    if isinstance(value, (list, tuple)):
        return 5 + sum(encoded_size(item) for item in value)
    if isinstance(value, dict):
        return 5 + sum(
            4 + len(str(key).encode("utf-8", "surrogatepass")) + encoded_size(item)
            for key, item in value.items()
        )
    return 9


# --- the writer lock, as seen from outside ----------------------------------


@dataclass
class LockState:
    """The lock directory beside a database: absent, or naming its owner.
    ``alive`` is None when the owner could not be determined."""

    directory: str
    present: bool
    pid: Optional[int] = None
    alive: Optional[bool] = None


def lock_state(path: str) -> LockState:
    directory = path + ".lock"
    if not os.path.isdir(directory):
        return LockState(directory, False)
    pid = None
    try:
        with open(os.path.join(directory, "owner.json"), encoding="utf-8") as f:
            text = f.read()
        key = text.find('"pid"')
        colon = text.find(":", key) if key >= 0 else -1
        if colon >= 0:
            digits = text[colon + 1 :].lstrip()
            run = len(digits) - len(digits.lstrip("0123456789"))
            if run:
                pid = int(digits[:run])
    except (OSError, UnicodeDecodeError):
        pass
    if pid is None:
        return LockState(directory, True)
    if pid <= 0:
        return LockState(directory, True, pid, False)
    try:
        os.kill(pid, 0)
        alive = True
    except ProcessLookupError:
        alive = False
    except OSError:
        alive = True
    return LockState(directory, True, pid, alive)
