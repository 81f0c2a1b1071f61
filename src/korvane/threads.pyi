from typing import Callable, Generic, ParamSpec, TypeVar, final

_P = ParamSpec("_P")
_T = TypeVar("_T")

__all__ = ["Handle", "handle"]

@final
class Handle(Generic[_P, _T]):
    """A callable that calls a bound method (or any callable) as it is, made once by the thread that calls it."""

    def __new__(cls, method: Callable[_P, _T]) -> Handle[_P, _T]: ...
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _T: ...
    @property
    def __self__(self) -> object | None: ...
    @property
    def __func__(self) -> Callable[..., _T]: ...

def handle(method: Callable[_P, _T]) -> Handle[_P, _T]: ...
