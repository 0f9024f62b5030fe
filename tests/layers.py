"""Checks the layering of src/: a module includes only its own headers and those of the
layers below it (base; net and timer; monitor; output; app), and tools/ only base and net."""

import os
import re
import sys

LAYERS = {"base": 0, "net": 1, "timer": 1, "monitor": 2, "output": 3, "app": 4}
INCLUDE = re.compile(r'^#include "([a-z]+)/[^"]+"', re.M)


def allowed(module, included):
    if module == "tools":
        return included in ("base", "net")
    return included == module or LAYERS[included] < LAYERS[module]


def main(root):
    wrong = []
    for folder in ("src", "tools"):
        for directory, _, files in os.walk(os.path.join(root, folder)):
            module = "tools" if folder == "tools" else os.path.basename(directory)
            for name in files:
                path = os.path.join(directory, name)
                with open(path) as source:
                    for included in INCLUDE.findall(source.read()):
                        if included in LAYERS and not allowed(module, included):
                            wrong.append("%s includes %s/" % (os.path.relpath(path, root),
                                                              included))
    for line in wrong:
        print(line)
    print("layers: %d files checked against %s" % (sum(len(f) for _, _, f in os.walk(
        os.path.join(root, "src"))), ", ".join(sorted(LAYERS))))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
