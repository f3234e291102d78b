#!/usr/bin/python3
"""Reassembles one model from an npm package that carries it in chunks (as @imgly/background-removal-data does).

    unpack-model.py PACKAGE.tgz RESOURCE OUT LICENCE-KEY

dist/resources.json lists each resource's chunks in order, each named by its sha256, with its byte range;
every chunk's hash and range are checked and the chunks are written one after another into OUT. Prints the
package's licence entry for LICENCE-KEY in ThirdPartyLicenses.json as "LICENCE SOURCE" on stdout. One line on
stderr and exit status 1 when anything does not match.
"""

import hashlib
import json
import sys
import tarfile


def member(archive, name):
    handle = archive.extractfile("package/" + name)
    if handle is None:
        raise ValueError("the package has no " + name)
    return handle.read()


def main(argv):
    if len(argv) != 5:
        print("usage: unpack-model.py PACKAGE.tgz RESOURCE OUT LICENCE-KEY", file=sys.stderr)
        return 2
    package, resource, out, licence_key = argv[1:]
    try:
        with tarfile.open(package, "r:gz") as archive:
            resources = json.loads(member(archive, "dist/resources.json"))
            if resource not in resources:
                raise ValueError("dist/resources.json lists no " + resource)
            entry = resources[resource]
            written = 0
            with open(out, "wb") as target:
                for chunk in entry["chunks"]:
                    data = member(archive, "dist/" + chunk["hash"])
                    begin, end = chunk["offsets"]
                    if hashlib.sha256(data).hexdigest() != chunk["hash"]:
                        raise ValueError("chunk " + chunk["hash"] + " does not match its name")
                    if begin != written or end - begin != len(data):
                        raise ValueError("chunk " + chunk["hash"] + " is not where resources.json puts it")
                    target.write(data)
                    written += len(data)
            if written != entry["size"]:
                raise ValueError("the chunks hold %d bytes, resources.json says %d" % (written, entry["size"]))
            licences = json.loads(member(archive, "ThirdPartyLicenses.json"))
            stated = licences.get(licence_key)
            if not stated:
                raise ValueError("ThirdPartyLicenses.json names no " + licence_key)
            print(stated.get("license", "unknown"), stated.get("source", "unknown"))
    except Exception as error:  # one line whatever went wrong: the caller reports it
        print("unpack-model: " + " ".join(str(error).split()), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
