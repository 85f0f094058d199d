"""The map of the sources, docs/architecture.md, names only files that exist:
in a "### `folder/`" section a bare name is a file of that folder; a name
with a slash is a path from the top of the repository."""

import os
import re

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
FILE_NAME = re.compile(r"`([\w./<>*-]+\.(?:h|cpp|py|pyi|sh|md|txt|json|ini|cmake|1))`")


# Files that the build writes, named by the map as such.
GENERATED = {"test_environment.sh"}


def named_files():
    """(line number, name, the paths it may stand for) of every file the map
    names: a path from the top or under include/ (a public header as it is
    included); a bare name in a folder's section, in that folder or among
    the public headers."""
    folder = ""
    with open(os.path.join(ROOT, "docs", "architecture.md"), encoding="utf-8") as doc:
        for number, line in enumerate(doc, 1):
            if line.startswith("#"):
                heading = re.match(r"###\s+`([\w./-]+/)`", line)
                folder = heading.group(1) if heading else ""
                continue
            for name in FILE_NAME.findall(line):
                if any(c in name for c in "<>*") or name in GENERATED:
                    continue  # a pattern, such as <name>_fuzzer.cpp, or a build's file
                if "/" in name:
                    yield number, name, [name, "include/" + name]
                elif folder:
                    yield number, name, [folder + name, "include/zel/sql/" + name]
                else:
                    yield number, name, None


def test_every_file_the_architecture_map_names_exists():
    present = set()
    for top, dirs, files in os.walk(ROOT):
        dirs[:] = [d for d in dirs if d != ".git" and not d.startswith("build")]
        present.update(os.path.relpath(os.path.join(top, f), ROOT) for f in files)
    basenames = {os.path.basename(f) for f in present}
    missing = []
    for number, name, paths in named_files():
        found = name in basenames if paths is None else any(p in present for p in paths)
        if not found:
            missing.append(f"line {number}: {name}")
    assert not missing, "docs/architecture.md names files that do not exist:\n" + "\n".join(
        missing)
