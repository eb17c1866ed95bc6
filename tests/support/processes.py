"""The test scripts' helpers for the processes they start."""

import subprocess


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
