"""Shared timing helpers: interleaved runs, best-of-N, ratios printed in one table."""
import gc
import platform
import sys
import time


def header(title: str) -> None:
    print(f"\n== {title}")
    print(f"   Python {sys.version.split()[0]} on {platform.platform()}")


def best_per_call(fn, number: int, repeat: int) -> list[float]:
    """Seconds per call for each of `repeat` batches of `number` calls."""
    out = []
    for _ in range(repeat):
        gc.disable()
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        out.append((time.perf_counter() - t0) / number)
        gc.enable()
    return out


def compare(label: str, ours, baseline, number: int = 2000, repeat: int = 15, target: float | None = None) -> float:
    """Times `ours` and `baseline` in alternating batches; prints both and their ratio."""
    ours(), baseline()  # warm caches on both sides
    a, b = [], []
    for _ in range(repeat):
        a += best_per_call(ours, number, 1)
        b += best_per_call(baseline, number, 1)
    ta, tb = min(a), min(b)
    ratio = ta / tb
    verdict = "" if target is None else ("  ok" if ratio <= target else f"  ABOVE target {target:.2f}x")
    print(f"   {label:<58} {ta * 1e6:9.2f} us vs {tb * 1e6:9.2f} us  ratio {ratio:5.2f}x{verdict}")
    return ratio


def report(label: str, seconds: float, extra: str = "") -> None:
    print(f"   {label:<58} {seconds * 1e6:9.2f} us {extra}")


def acompare(label: str, ours, baseline, number: int = 300, repeat: int = 15, target: float | None = None) -> float:
    """compare() for coroutine functions: batches of awaited calls on the running loop."""
    import asyncio

    async def batch(fn):
        gc.disable()
        t0 = time.perf_counter()
        for _ in range(number):
            await fn()
        dt = (time.perf_counter() - t0) / number
        gc.enable()
        return dt

    async def run():
        await ours(), await baseline()
        a, b = [], []
        for _ in range(repeat):
            a.append(await batch(ours))
            b.append(await batch(baseline))
        return min(a), min(b)

    ta, tb = asyncio.get_event_loop().run_until_complete(run())
    ratio = ta / tb
    verdict = "" if target is None else ("  ok" if ratio <= target else f"  ABOVE target {target:.2f}x")
    print(f"   {label:<58} {ta * 1e6:9.2f} us vs {tb * 1e6:9.2f} us  ratio {ratio:5.2f}x{verdict}")
    return ratio
