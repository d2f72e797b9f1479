#!/usr/bin/env python3
"""Tells whether the Python running it can run the local test store.

Exit status 0 when it has the versions of moto, boto3 and botocore pinned in
requirements.txt beside this file (s3_test_server.py patches their internals,
so another version may pass or fail for the wrong reason) and the packages of
moto's server. Otherwise exit status 1 and one line on stderr saying what is
missing. It only reads package metadata, so it answers in a fraction of a
second.
"""

import os
import re
import sys

EXACT = ("moto", "boto3", "botocore")
# What moto's ThreadedMotoServer imports beyond moto itself.
SERVER_PACKAGES = ("flask", "flask-cors", "werkzeug")


def pinned_versions(path):
    pins = {}
    with open(path) as requirements:
        for line in requirements:
            match = re.match(r"^\s*([A-Za-z0-9_.-]+)(\[[^\]]*\])?==([^\s#;]+)", line)
            if match:
                pins[match.group(1).lower()] = match.group(3)
    return pins


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    pins = pinned_versions(os.path.join(here, "requirements.txt"))
    try:
        from importlib import metadata
    except ImportError:
        print("Python %d.%d is too old for moto %s"
              % (sys.version_info[0], sys.version_info[1], pins.get("moto", "?")),
              file=sys.stderr)
        return 1

    problems = []
    for name in EXACT:
        wanted = pins.get(name)
        try:
            found = metadata.version(name)
        except metadata.PackageNotFoundError:
            problems.append("%s==%s missing" % (name, wanted))
            continue
        if found != wanted:
            problems.append("%s is %s, not %s" % (name, found, wanted))
    for name in SERVER_PACKAGES:
        try:
            metadata.version(name)
        except metadata.PackageNotFoundError:
            problems.append("%s missing (moto[server])" % name)
    if problems:
        print("%s: %s" % (sys.executable, "; ".join(problems)), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
