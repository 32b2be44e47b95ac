"""Threads that start together, for the tests that race writers."""

import threading


def start_threads(count, target):
    """Starts target(i) for i in range(count) in threads released at once by a barrier. Returns
    the threads and the list that collects their failures."""
    go, failures = threading.Barrier(count), []

    def run(i):
        go.wait()
        try:
            target(i)
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            failures.append(error)

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(count)]
    for thread in threads:
        thread.start()
    return threads, failures


def join_threads(threads, failures):
    """Waits for the threads and re-raises the first failure among them."""
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads), "a racing thread did not finish"
    if failures:
        raise failures[0]  # with its own traceback, which says where in the thread it failed


def in_threads(count, target):
    join_threads(*start_threads(count, target))
