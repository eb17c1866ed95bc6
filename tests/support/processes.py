"""The test scripts' helpers for the processes they start."""

import os
import subprocess


class Display:
    """An Xvfb of its own, on a display number it picks itself; wide enough for the window at
    200 %. With -noreset: a server that resets when its last client leaves takes no connection
    meanwhile."""

    def __enter__(self):
        read, write = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1600x900x24", "-nolisten", "tcp",
             "-noreset"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as numbers:
            self.name = ":" + numbers.readline().strip()
        return self

    def __exit__(self, *exc):
        stop(self.process)


def stop(process):
    """Ends `process`: asks it to terminate, kills it when it has not within 30 s, and closes the
    pipes the test read it through."""
    if process.poll() is None:
        process.terminate()
    try:
        process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    for pipe in (process.stdout, process.stderr):
        if pipe is not None:
            pipe.close()
