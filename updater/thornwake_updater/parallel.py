"""Work on several threads at once, ended by the first failure."""

import threading
import time

WORKERS = 4


class Stopped(Exception):
    """Another item of the same work failed; this one ends too."""


class DeadlinePassed(Exception):
    """The work as a whole did not finish in time."""


def run_parallel(items, work, workers=None, deadline=None, at_thread_end=None):
    """Call work(item, should_stop) for every item on up to workers threads.

    The first failure stops the other threads (should_stop() turns true; work
    may then raise Stopped) and is raised here. deadline() (a time.monotonic
    value, asked again and again) bounds the wait as a whole: DeadlinePassed.
    at_thread_end() runs on each thread before it ends.
    """
    items = list(items)
    workers = WORKERS if workers is None else workers
    if not items:
        return
    if workers <= 1 or len(items) == 1:
        for item in items:
            work(item, lambda: False)
        return
    queue = _Queue(items)
    # Daemon threads: a thread stuck where no timeout reaches cannot keep the updater alive.
    threads = [threading.Thread(target=queue.drain, args=(work, at_thread_end), daemon=True)
               for _ in range(min(workers, len(items)))]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            while thread.is_alive():
                thread.join(0.25)
                if deadline is not None and time.monotonic() > deadline():
                    raise DeadlinePassed()
    except BaseException:
        queue.stop.set()
        raise
    if queue.errors:
        raise queue.errors[0]


class _Queue:
    """The items not taken yet, and the failures so far."""

    def __init__(self, items):
        self.items = items
        self.position = 0
        self.errors = []
        self.lock = threading.Lock()
        self.stop = threading.Event()

    def _next(self):
        with self.lock:
            if self.position >= len(self.items):
                return False, None
            self.position += 1
            return True, self.items[self.position - 1]

    def drain(self, work, at_thread_end):
        try:
            while not self.stop.is_set():
                more, item = self._next()
                if not more:
                    return
                try:
                    work(item, self.stop.is_set)
                except Stopped:
                    return
                except BaseException as exc:
                    with self.lock:
                        self.errors.append(exc)
                    self.stop.set()
                    return
        finally:
            if at_thread_end is not None:
                at_thread_end()
