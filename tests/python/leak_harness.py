"""What the leak tests of both extensions share. A test module's setup
source defines PATHS, {name: (expected exception class name or None, call)};
the harness adds `run`, which calls one path many times and checks that each
call ends as expected, and measures in a child process how far the resident
memory grows while each path runs."""

import json
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

RUN = r"""
def run(name, times):
    expected, call = PATHS[name]
    for _ in range(times):
        try:
            call()
        except BaseException as e:
            if type(e).__name__ != expected:
                raise
        else:
            assert expected is None, name
"""

_GROWTH = r"""
import gc, json
page = os.sysconf("SC_PAGE_SIZE")

def resident():
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page

growth = {}
for name in PATHS:
    times = int(sys.argv[1]) // FEWER.get(name, 1)
    run(name, SETTLE or times // 5)  # caches, free lists and arenas settle first
    before = resident()
    run(name, times)
    growth[name] = resident() - before
print(json.dumps(growth))
"""


def namespace(setup, tmp_path, monkeypatch):
    """The setup run in tmp_path, with `run` beside its PATHS."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.syspath_prepend(HERE)
    names = {}
    exec(setup + RUN, names)
    return names


def resident_growth(setup, folder, calls, timeout, fewer=None, settle=0):
    """{path name: bytes the child's resident memory grew} over `calls`
    calls of each path (fewer for the names in `fewer`, divided by its value),
    after `settle` calls (or a fifth of the count) that are not measured."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("under AddressSanitizer freed memory is held in quarantine, so RSS grows anyway")
    if not os.path.exists("/proc/self/statm"):
        pytest.skip("needs /proc/self/statm to read the resident size")
    child = setup + RUN + f"FEWER = {fewer or {}!r}\nSETTLE = {settle!r}\n" + _GROWTH
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE] + [p for p in sys.path if p]))
    done = subprocess.run([sys.executable, "-c", child, str(calls)], cwd=folder, env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout)
    assert done.returncode == 0, "the child running the paths failed:\n" + done.stderr.decode()[-2000:]
    return json.loads(done.stdout.decode().strip().splitlines()[-1])
