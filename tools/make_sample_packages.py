#!/usr/bin/env python3
"""Writes sample package zips and the configuration documents that list them,
in the folder layout api_server.py serves:
  <out>/config/dev.json, <out>/config/com.json, <out>/files/Orvane_<ide>_<version>.zip"""

import argparse
import hashlib
import json
import os
import random
import zipfile

FRAMEWORK_VERSION = "1.4.2"
IDE_VERSIONS = [("22.0", "RAD Studio 11"), ("23.0", "RAD Studio 12")]
PLATFORMS = ["Win32", "Win64"]
# The framework's package names carry the "Orvane_" marker the IDE registration
# looks for when it removes them again.
BPLS = ["Orvane_Core.bpl", "Orvane_Visual.bpl"]
DCPS = ["Orvane_Core.dcp", "Orvane_Visual.dcp"]
DLL = "Win32/Release/OrvaneNative.dll"


def sample_bytes(label, size=2048):
    """Deterministic filler so zips are reproducible and not trivially empty."""
    seed = (label + "\n").encode("utf-8")
    return (seed * (size // len(seed) + 1))[:size]


def write_zip(path, ide_version, docs_mb=0):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        if docs_mb > 0:
            # Incompressible filler, stored as is: a download and an extraction
            # long enough to watch their progress.
            filler = random.Random(ide_version).randbytes(docs_mb * 1024 * 1024)
            z.writestr("Docs/Orvane-Reference.bin", filler, compress_type=zipfile.ZIP_STORED)
        for platform in PLATFORMS:
            release = platform + "/Release/"
            for name in BPLS + DCPS:
                z.writestr(release + name, sample_bytes(ide_version + " " + release + name))
            z.writestr(release + "OrvaneNative.dll", sample_bytes(release + "OrvaneNative.dll"))
            z.writestr(release + "C/hpp/Orvane.Core.hpp",
                       "#pragma once\n// Orvane %s for BDS %s\n" % (FRAMEWORK_VERSION, ide_version))
            z.writestr(release + "C/lib/OrvaneCore.lib", sample_bytes(release + "OrvaneCore.lib"))
        z.writestr("README.txt", "Orvane %s sample package for BDS %s\n"
                   % (FRAMEWORK_VERSION, ide_version))


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def configuration(edition_name, name_marker, digests):
    entries = []
    for ide_version, ide_name in IDE_VERSIONS:
        entries.append({
            "name": "Orvane %s for %s%s" % (edition_name, ide_name, name_marker),
            "version": ide_version,
            "file": "Orvane_%s_%s.zip" % (ide_version, FRAMEWORK_VERSION),
            # Relative "file/" paths are fetched from the same server with a token.
            "url": "file/",
            "platforms": ",".join(PLATFORMS),
            "bpls": ",".join(BPLS),
            "dcps": ",".join(DCPS),
            "dlls": DLL,
            # The installer hashes the zip while it downloads and refuses a mismatch.
            "sha256": digests[ide_version],
        })
    # Listed but not downloadable yet: shown disabled.
    entries.append({"name": "Orvane %s for RAD Studio 13 (coming soon)" % edition_name,
                    "version": "24.0", "file": "", "url": "file/"})
    # Without "file": listed, can be ticked, not counted as available.
    entries.append({"name": "Orvane %s nightly for RAD Studio 12" % edition_name,
                    "version": "23.0", "url": "file/"})
    return {"url": "", "ide": entries}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True, help="folder to fill")
    parser.add_argument("--docs-mb", type=int, default=0,
                        help="add a documentation file of this many MiB to each zip")
    args = parser.parse_args()
    os.makedirs(os.path.join(args.out, "config"), exist_ok=True)
    os.makedirs(os.path.join(args.out, "files"), exist_ok=True)
    digests = {}
    for ide_version, _ in IDE_VERSIONS:
        path = os.path.join(args.out, "files", "Orvane_%s_%s.zip" % (ide_version, FRAMEWORK_VERSION))
        write_zip(path, ide_version, args.docs_mb)
        digests[ide_version] = sha256_of(path)
    documents = {"dev": configuration("Developer", "", digests),
                 "com": configuration("Commercial", " GAMEPACKAGE", digests)}
    for mode, document in documents.items():
        with open(os.path.join(args.out, "config", mode + ".json"), "w", encoding="utf-8") as f:
            json.dump(document, f, indent=2)
            f.write("\n")


if __name__ == "__main__":
    main()
