"""The host's way of awaiting an operation: an async def that calls the bound method
and awaits it, `n` times. A partial or a lambda around the call would add a call that
the host's code does not make (a C-level call for every column)."""

import functools


def awaiting_loop(make):
    """An async def `loop(n)` awaiting the call `make` stands for `n` times; a partial
    of a bound method is called as `target.name(a0, a1, ...)`, anything else as it is."""
    if not (isinstance(make, functools.partial) and hasattr(make.func, "__self__") and not make.keywords):
        async def loop(n):
            for _ in range(n):
                await make()
        return loop
    namespace = {"target": make.func.__self__, **{"a%d" % i: a for i, a in enumerate(make.args)}}
    call = "target.%s(%s)" % (make.func.__name__, ", ".join("a%d" % i for i in range(len(make.args))))
    exec("async def loop(n):\n    for _ in range(n):\n        await %s\n" % call, namespace)
    return namespace["loop"]
