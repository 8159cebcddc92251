"""Types that exist for type checkers only (no runtime module): the shapes of the library's decorators."""

from collections.abc import Callable, Coroutine
from typing import Any, Generic, ParamSpec, TypeVar, overload

_P = ParamSpec("_P")
_R = TypeVar("_R")

class StatementDecorator(Generic[_R]):
    """What a statement decorator does to a function: the parameters stay, the result becomes
    _R (a coroutine of _R for an `async def`)."""

    @overload
    def __call__(self, func: Callable[_P, Coroutine[Any, Any, Any]]) -> Callable[_P, Coroutine[Any, Any, _R]]: ...
    @overload
    def __call__(self, func: Callable[_P, Any]) -> Callable[_P, _R]: ...
