"""A block of the framework's memory: where it starts and how large it is."""

from __future__ import annotations

__all__ = ["MemoryBlock"]


def _check_count(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must be >= 0, got {value}")
    return int(value)


class MemoryBlock:
    """An immutable span of ``size`` bytes starting at byte ``offset`` of a pool.

    Two blocks are equal when they have the same type, offset and size, and
    equal blocks hash alike, so a block can be looked up in sets and dicts and
    removed from the block index by value: ``tree.delete(b.size, MemoryBlock(b.offset, b.size))``
    removes the first stored block equal to the given one.
    """

    __slots__ = ("_offset", "_size")

    def __init__(self, offset: int, size: int) -> None:
        object.__setattr__(self, "_offset", _check_count("offset", offset))
        object.__setattr__(self, "_size", _check_count("size", size))

    @property
    def offset(self) -> int:
        """First byte of the block."""
        return self._offset

    @property
    def size(self) -> int:
        """Length of the block in bytes."""
        return self._size

    @property
    def end(self) -> int:
        """The byte just past the block (``offset + size``)."""
        return self._offset + self._size

    def split(self, size: int) -> tuple[MemoryBlock, MemoryBlock | None]:
        """Cuts the first ``size`` bytes off the block.

        Returns ``(head, rest)``: ``head`` holds the first ``size`` bytes and
        ``rest`` the remainder, or ``None`` when nothing remains. Raises
        ``ValueError`` when ``size`` exceeds the block.
        """
        size = _check_count("size", size)
        if size > self._size:
            raise ValueError(f"cannot split {size} bytes off a block of {self._size}")
        head = MemoryBlock(self._offset, size)
        if size == self._size:
            return head, None
        return head, MemoryBlock(self._offset + size, self._size - size)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"MemoryBlock is immutable; cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"MemoryBlock is immutable; cannot delete {name!r}")

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._offset == other._offset and self._size == other._size

    def __hash__(self) -> int:
        return hash((type(self).__name__, self._offset, self._size))

    def __repr__(self) -> str:
        return f"MemoryBlock(offset={self._offset}, size={self._size})"

    def __reduce__(self):
        return (type(self), (self._offset, self._size))
