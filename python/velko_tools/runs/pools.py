"""Where batches run: worker processes of this machine, or the workers of a Dask cluster,
behind one small interface."""

from __future__ import annotations

import contextlib
import importlib.util
import os
import signal
import threading
from typing import Any, Protocol

from velko_tools.runs.work import _run_batch

# A batch also retries on Dask when its task raised (a shared file system failing a write).
DASK_RETRIES = 2


def _follow_driver(driver: Any) -> None:
    """Ends a pool's worker once the driver has gone. Its workers outlive a driver killed
    outright (they and the forkserver keep each other alive), so each watches the read end of
    a pipe whose only write end the driver holds, and exits at its end of file."""
    import threading

    def watch() -> None:
        try:
            driver.recv()
        except (EOFError, OSError):
            pass
        os._exit(1)

    threading.Thread(target=watch, name="velko-follow-driver", daemon=True).start()


def _start_forkserver() -> None:
    """Starts the forkserver, unless it runs, with SIGINT ignored. Ctrl-C reaches every process
    of the terminal's group, and the forkserver (importing its preloads) and each worker would
    print a traceback of their own; the driver stops them itself. An ignored signal stays
    ignored through fork and exec, so every worker the forkserver forks ignores it too. Only
    the main thread may change the handler; from another, Ctrl-C reaches the main thread
    alone, never this one."""
    import multiprocessing.forkserver
    import multiprocessing.resource_tracker

    if threading.current_thread() is not threading.main_thread():
        multiprocessing.forkserver.ensure_running()
        return
    # The forkserver starts the resource tracker, which ignores SIGINT itself: started before,
    # it leaves the few milliseconds of the forkserver's own start ignoring Ctrl-C. Blocked
    # meanwhile, a Ctrl-C stays pending instead of being ignored (Linux keeps a blocked signal
    # even while its action is to ignore it) and arrives once unblocked, unless another thread
    # (a numerical library's) took it.
    multiprocessing.resource_tracker.ensure_running()
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            multiprocessing.forkserver.ensure_running()
        finally:
            signal.signal(signal.SIGINT, previous if previous is not None else signal.SIG_DFL)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


class Pool(Protocol):
    """Where a run's batches go: ``slots`` batches run at once; ``submit`` starts one
    (_run_batch's arguments) and returns its future; ``wait`` returns the futures of a set
    that are done (at least one); ``lost`` tells whether an error raised by a future's result
    says the pool broke, in which case the pool is ready again and the batches in flight are
    to be submitted again; ``close`` ends the pool, stopping its work with ``cancel``."""

    @property
    def slots(self) -> int: ...

    def submit(self, *args: Any) -> Any: ...

    def wait(self, futures: set[Any]) -> set[Any]: ...

    def lost(self, error: BaseException) -> bool: ...

    def close(self, cancel: bool = False) -> None: ...


class _LocalPool:
    """Worker processes of this machine. A worker killed (SIGKILL, the kernel's OOM killer)
    breaks the whole pool: it is started again and the batches in flight submitted again."""

    def __init__(self, workers: int, search: bool = False) -> None:
        import concurrent.futures.process
        import multiprocessing

        self.futures = concurrent.futures
        self.workers = workers
        # Not fork: the driver may hold threads (a progress bar's, a Dask client's).
        self.context = multiprocessing.get_context("forkserver")
        # Imported once in the forkserver rather than in each worker, pool restarts included;
        # pyarrow's first conversion imports pandas, the slowest of them.
        preload = ["velko_tools.runs.work", "pyarrow.parquet"]
        if importlib.util.find_spec("pandas") is not None:
            preload.append("pandas")
        if search:
            preload += ["pyhmmer", "pyrodigal"]
        self.context.set_forkserver_preload(preload)
        _start_forkserver()
        self.driver_gone, self.driver_alive = self.context.Pipe(duplex=False)
        self.pool = self._start()

    def _start(self) -> Any:
        import multiprocessing

        # The executor starts its workers as it needs them: those are the processes of our
        # context that this process starts from now on.
        self.others = set(multiprocessing.active_children())
        return self.futures.ProcessPoolExecutor(
            self.workers,
            mp_context=self.context,
            initializer=_follow_driver,
            initargs=(self.driver_gone,),
        )

    def _workers(self) -> list[Any]:
        import multiprocessing

        return [
            process
            for process in multiprocessing.active_children()
            if process not in self.others and isinstance(process, self.context.Process)
        ]

    @property
    def slots(self) -> int:
        return self.workers

    def submit(self, *args: Any) -> Any:
        return self.pool.submit(_run_batch, *args)

    def wait(self, futures: set[Any]) -> set[Any]:
        done, _ = self.futures.wait(futures, return_when=self.futures.FIRST_COMPLETED)
        return done

    def lost(self, error: BaseException) -> bool:
        """True when `error` says the pool broke; the pool is then started again."""
        if not isinstance(error, self.futures.process.BrokenProcessPool):
            return False
        self._stop(cancel=True)
        self.pool = self._start()
        return True

    def _stop(self, cancel: bool) -> None:
        if cancel:
            # Workers still counting would finish a batch no one waits for.
            for process in self._workers():
                with contextlib.suppress(OSError):
                    process.kill()
        self.pool.shutdown(wait=True, cancel_futures=cancel)

    def close(self, cancel: bool = False) -> None:
        self._stop(cancel)
        self.driver_gone.close()
        self.driver_alive.close()


class _DaskPool:
    """The workers of a distributed.Client. Dask reschedules a task whose worker died (up to
    its allowed-failures), and the task itself retries DASK_RETRIES times."""

    def __init__(self, client: Any) -> None:
        self.client = client

    @property
    def slots(self) -> int:
        threads: dict[str, int] = self.client.nthreads()
        return max(1, sum(threads.values()))

    def submit(self, *args: Any) -> Any:
        return self.client.submit(_run_batch, *args, pure=False, retries=DASK_RETRIES)

    def wait(self, futures: set[Any]) -> set[Any]:
        from distributed import wait

        done, _ = wait(list(futures), return_when="FIRST_COMPLETED")
        return set(done)

    def lost(self, error: BaseException) -> bool:
        return False

    def close(self, cancel: bool = False) -> None:
        pass  # the client is the caller's
