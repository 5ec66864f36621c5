#!/usr/bin/env python3
"""Each folder of the program includes only from its own folder and the
folders whose libraries its library links, directly or through others, as
CMakeLists.txt declares them with quillon_library(<folder> <links>...). The
program's entry may include from every library the program links.

Prints each include that points the wrong way and exits 1 if there is one."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[2])
cmake = (root / "CMakeLists.txt").read_text()

links = {}
for folder, linked in re.findall(r"^quillon_library\((\w+)((?:\s+[\w:${}]+)*)\)", cmake, re.M):
    links[folder] = [name[len("quillon_"):] for name in linked.split() if name.startswith("quillon_")]


def below(folder, seen=None):
    seen = set() if seen is None else seen
    for lower in links.get(folder, []):
        if lower not in seen:
            seen.add(lower)
            below(lower, seen)
    return seen


entry = re.search(r"add_executable\(quillon-agent (\S+)\)", cmake).group(1)
entry_links = re.search(r"target_link_libraries\(quillon-agent PRIVATE([^)]*)\)", cmake).group(1).split()
entry_allowed = {entry.split("/")[0]}
for name in entry_links:
    if name.startswith("quillon_") and name[len("quillon_"):] in links:
        entry_allowed |= {name[len("quillon_"):]} | below(name[len("quillon_"):])

wrong = []
for folder in links:
    allowed = {folder} | below(folder)
    for source in sorted((root / folder).glob("*.[ch]*")):
        relative = source.relative_to(root).as_posix()
        may = entry_allowed if relative == entry else allowed
        for number, line in enumerate(source.read_text().splitlines(), 1):
            m = re.match(r'\s*#\s*include\s+"(\w+)/', line)
            if m and m.group(1) in links and m.group(1) not in may:
                wrong.append(f"{relative}:{number}: includes {m.group(1)}/, which {folder} does not stand on")

if len(links) < 5:
    wrong.append(f"only {len(links)} libraries read from {root / 'CMakeLists.txt'}")
print("\n".join(wrong) if wrong else f"includes follow the layers of {len(links)} libraries")
sys.exit(1 if wrong else 0)
