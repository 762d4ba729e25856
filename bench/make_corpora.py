#!/usr/bin/env python3
"""Assembles the benchmark corpora from Debian packages, reproducibly.

    bench/corpora/english.txt       about 30 MB: license texts, the Debian
                                    reference, the Python and Perl
                                    documentation sources, English manual pages
    bench/corpora/multilingual.txt  about 20 MB: the Debian reference and
                                    manual pages in seven languages and
                                    scripts, Unicode's emoji test file
    bench/corpora/heldout.txt       about 3 MB of English documentation that
                                    is in neither corpus (git's, for encoding)
    bench/corpora/MANIFEST          package versions, sizes and digests

The packages are installed with apt-get when missing. Files are taken in
sorted order and manual pages rendered at a fixed width, so the same package
versions give the same bytes. Nothing here is committed.
"""
import concurrent.futures
import gzip
import hashlib
import os
import signal
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUT = HERE / "corpora"

ENGLISH_SIZE = 30_000_000
MULTILINGUAL_SIZE = 20_000_000
MAN_SHARE = 1_900_000  # per language in the multilingual corpus

REFERENCE_LANGS = ["de", "fr", "es", "it", "ja", "pt", "zh-cn"]
MAN_LANGS = ["de", "fr", "es", "ru", "ja", "pl", "zh"]
PACKAGES = (["unicode-data", "man-db", "groff-base", "bsdextrautils", "manpages", "manpages-dev",
             "python3.11-doc", "perl-doc", "git-doc", "debian-reference-en"]
            + [f"debian-reference-{lang}" for lang in REFERENCE_LANGS]
            + [f"manpages-{lang}" for lang in MAN_LANGS])


def run(args, **kw):
    return subprocess.run(args, check=True, capture_output=True, **kw).stdout


def ensure_packages():
    missing = [p for p in PACKAGES
               if subprocess.run(["dpkg-query", "-W", "-f=${Status}", p], capture_output=True,
                                 text=True).stdout != "install ok installed"]
    if missing:
        print("installing:", " ".join(missing), flush=True)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "install", "-y", "-q", *missing], check=True, env=env,
                       stdout=subprocess.DEVNULL)


def versions():
    out = run(["dpkg-query", "-W", "-f=${Package} ${Version}\n", *PACKAGES], text=True)
    return sorted(out.splitlines())


def package_files(package, prefix):
    listed = run(["dpkg-query", "-L", package], text=True).splitlines()
    return sorted(p for p in listed if p.startswith(prefix) and Path(p).is_file()
                  and not Path(p).is_symlink())


def render_man(path):
    # Fixed width and no formatting, so the text does not depend on a terminal.
    # A page the formatter chokes on is left out rather than waited for.
    env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MAN_KEEP_FORMATTING="")
    proc = subprocess.Popen(f"man -E UTF-8 -P cat -l '{path}' 2>/dev/null | col -bx", shell=True,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, env=env,
                            start_new_session=True)
    try:
        text, _ = proc.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        print(f"  left out (formatter timed out): {path}", flush=True)
        return b""
    return text if proc.returncode == 0 else b""


def man_pages(package, limit):
    """Rendered pages of `package` in file order, cut at `limit` bytes."""
    pages = package_files(package, "/usr/share/man/")
    out = bytearray()
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for text in pool.map(render_man, pages):
            if len(out) >= limit:
                break
            out += text
    return bytes(out[:limit])


def gunzip(path):
    return gzip.decompress(Path(path).read_bytes())


def english():
    parts = [Path(p).read_bytes() for p in sorted(Path("/usr/share/common-licenses").iterdir())
             if p.is_file() and not p.is_symlink()]
    parts.append(gunzip("/usr/share/debian-reference/debian-reference.en.txt.gz"))
    parts += [Path(p).read_bytes() for p in package_files("python3.11-doc", "/usr/share/doc/python3.11/html/_sources/")]
    parts += [Path(p).read_bytes() for p in package_files("perl-doc", "/usr/share/perl/")
              if p.endswith(".pod")]
    text = b"".join(parts)
    for package in ["manpages", "manpages-dev"]:
        text += man_pages(package, max(0, ENGLISH_SIZE - len(text)))
    return text[:ENGLISH_SIZE]


def heldout():
    return b"".join(Path(p).read_bytes() for p in package_files("git-doc", "/usr/share/doc/git-doc/")
                    if p.endswith(".txt"))


def multilingual():
    parts = [gunzip(f"/usr/share/debian-reference/debian-reference.{lang}.txt.gz")
             for lang in REFERENCE_LANGS]
    parts += [man_pages(f"manpages-{lang}", MAN_SHARE) for lang in MAN_LANGS]
    parts.append(Path("/usr/share/unicode/emoji/emoji-test.txt").read_bytes())
    return b"".join(parts)[:MULTILINGUAL_SIZE]


def main():
    OUT.mkdir(exist_ok=True)
    ensure_packages()
    made = {}
    wanted = sys.argv[1:] or ["english.txt", "multilingual.txt", "heldout.txt"]
    for name, build in [("english.txt", english), ("multilingual.txt", multilingual),
                        ("heldout.txt", heldout)]:
        if name not in wanted and (OUT / name).exists():
            data = (OUT / name).read_bytes()  # kept from an earlier run
        else:
            data = build()
            (OUT / name).write_bytes(data)
        made[name] = data
        print(f"{name}: {len(data):,} bytes", flush=True)
    lines = versions() + [f"{name} {len(d)} {hashlib.sha256(d).hexdigest()}" for name, d in made.items()]
    (OUT / "MANIFEST").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    sys.exit(main())
