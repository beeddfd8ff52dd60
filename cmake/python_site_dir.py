"""Prints the directory, relative to the install prefix given as argument,
where this interpreter finds pure Python packages installed under that
prefix: for Debian's python3, lib/python3/dist-packages for /usr and
lib/python3.X/dist-packages for /usr/local. For a prefix the interpreter
does not search it prints the conventional lib/python3.X/site-packages (the
packages are then found through PYTHONPATH). The site directories count
whether or not they exist yet: python3 leaves a missing one out of sys.path,
and searches it once an install has made it. Run it with -I, so that the
user's site directory does not count."""

import os
import re
import site
import sys
import sysconfig

prefix = os.path.normpath(os.path.abspath(sys.argv[1]))
pattern = re.compile(r"lib(64)?/python3(\.\d+)?/(dist|site)-packages")
for entry in site.getsitepackages():
    relative = os.path.relpath(os.path.normpath(entry), prefix)
    if pattern.fullmatch(relative):
        print(relative)
        break
else:
    purelib = sysconfig.get_path("purelib", "posix_prefix", {"base": prefix})
    print(os.path.relpath(purelib, prefix))
