"""Grouping of concurrent requests to one model into one run.

A :class:`Batcher` owns one worker thread. Requests queue up as items; the
worker takes the first waiting item, keeps collecting for at most
``max_wait`` seconds (or until ``max_batch`` items are in hand) and hands
the whole group to ``run_group`` at once. Engine calls release the
interpreter lock, so the event loop keeps serving while a group runs.
``max_batch=1`` turns grouping off: items then run one at a time.
"""

from __future__ import annotations

import queue
import threading
import time
from concurrent.futures import Future
from typing import Callable, Sequence

__all__ = ["Batcher"]

_STOP = object()


class Batcher:
    """Runs ``run_group(items) -> results`` (one result per item, in order) on
    groups of submitted items; ``on_group(n)`` is told each group's size."""

    def __init__(self, run_group: Callable[[list], Sequence], max_batch: int = 16,
                 max_wait: float = 0.003, name: str = "batcher",
                 on_group: Callable[[int], None] | None = None):
        if max_batch < 1:
            raise ValueError(f"max_batch must be at least 1, got {max_batch}")
        if max_wait < 0:
            raise ValueError(f"max_wait must not be negative, got {max_wait}")
        self.run_group = run_group
        self.max_batch = max_batch
        self.max_wait = max_wait
        self.on_group = on_group
        self._queue: queue.Queue = queue.Queue()
        self._closed = False
        self._close_lock = threading.Lock()
        self._thread = threading.Thread(target=self._loop, name=name, daemon=True)
        self._thread.start()

    def submit(self, item) -> Future:
        """Queue ``item``; the future gets its result or the run's exception."""
        fut: Future = Future()
        with self._close_lock:
            if self._closed:
                raise RuntimeError("the server is shutting down")
            self._queue.put((item, fut))
        return fut

    def close(self) -> None:
        """Finish every queued item, then stop the worker."""
        with self._close_lock:
            if self._closed:
                return
            self._closed = True
            self._queue.put(_STOP)
        self._thread.join()

    def _loop(self) -> None:
        stopping = False
        while not stopping:
            first = self._queue.get()
            if first is _STOP:
                return
            group = [first]
            deadline = time.monotonic() + self.max_wait
            while len(group) < self.max_batch:
                left = deadline - time.monotonic()
                try:
                    nxt = self._queue.get(timeout=left) if left > 0 else self._queue.get_nowait()
                except queue.Empty:
                    break
                if nxt is _STOP:
                    stopping = True
                    break
                group.append(nxt)
            self._run(group)

    def _run(self, group: list) -> None:
        live = [(item, fut) for item, fut in group if fut.set_running_or_notify_cancel()]
        if not live:
            return
        if self.on_group:
            self.on_group(len(live))
        try:
            results = self.run_group([item for item, _ in live])
            if len(results) != len(live):
                raise RuntimeError(f"a group of {len(live)} gave {len(results)} results")
        except Exception as e:
            if len(live) == 1:
                live[0][1].set_exception(e)
                return
            # One bad item must not fail the others: run them one by one.
            for item, fut in live:
                try:
                    fut.set_result(self.run_group([item])[0])
                except Exception as e1:
                    fut.set_exception(e1)
            return
        for (_, fut), r in zip(live, results):
            fut.set_result(r)
