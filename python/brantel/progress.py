"""A one-line progress notice on a terminal, for work that may take a while.

A background thread draws a spinner once the work has run for ``delay``
seconds. On the regular interpreter a reduction or a blob decode holds the
global interpreter lock for its whole run, so that thread cannot draw during
it; callers that expect such a long native call pass ``announce=True`` and the
notice is written at once instead. Nothing is written unless the stream is a
terminal, so pipes and logs stay clean.
"""

from __future__ import annotations

import sys
import threading
import time
from types import TracebackType
from typing import TextIO

_FRAMES = "|/-\\"


class Progress:
    def __init__(
        self,
        label: str,
        *,
        stream: TextIO | None = None,
        delay: float = 1.0,
        announce: bool = False,
        interval: float = 0.1,
    ) -> None:
        self.label = label
        self.stream = stream if stream is not None else sys.stderr
        self.delay = delay
        self.announce = announce
        self.interval = interval
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._drawn = False
        self._lock = threading.Lock()
        self._start = 0.0

    def _enabled(self) -> bool:
        try:
            return self.stream.isatty()
        except (AttributeError, ValueError):
            return False

    def _draw(self, text: str) -> None:
        with self._lock:
            self.stream.write("\r\x1b[K" + text)
            self.stream.flush()
            self._drawn = True

    def _run(self) -> None:
        if self._stop.wait(self.delay):
            return
        frame = 0
        while not self._stop.is_set():
            elapsed = time.monotonic() - self._start
            self._draw(f"{_FRAMES[frame % len(_FRAMES)]} {self.label} ({elapsed:.0f}s)")
            frame += 1
            self._stop.wait(self.interval)

    def __enter__(self) -> Progress:
        if not self._enabled():
            return self
        self._start = time.monotonic()
        if self.announce:
            self._draw(f"{self.label} ...")
        self._thread = threading.Thread(target=self._run, name="brantel-progress", daemon=True)
        self._thread.start()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        if self._drawn:
            with self._lock:
                self.stream.write("\r\x1b[K")
                self.stream.flush()
