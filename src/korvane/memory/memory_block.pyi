"""A block of the framework's memory: where it starts and how large it is."""

from typing_extensions import Self

__all__ = ["MemoryBlock"]

def _check_count(name: str, value: object) -> int: ...

class MemoryBlock:
    """An immutable span of ``size`` bytes starting at byte ``offset`` of a pool."""

    __slots__ = ("_offset", "_size")
    def __init__(self, offset: int, size: int) -> None: ...
    @property
    def offset(self) -> int:
        """First byte of the block."""

    @property
    def size(self) -> int:
        """Length of the block in bytes."""

    @property
    def end(self) -> int:
        """The byte just past the block (``offset + size``)."""

    def split(self, size: int) -> tuple[MemoryBlock, MemoryBlock | None]: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[type[Self], tuple[int, int]]: ...
