#!/usr/bin/python3
# SPDX-License-Identifier: Zlib
"""What the release's SBOM must say, checked against the artifacts
themselves and the toolchain, not against the SBOM tool's own reading:

  sbom_expectations.py OUT

- every artifact SHA256SUMS lists (but the SBOM and signatures) is a file
  component with that SHA-256;
- every binary inside each .zip and .tar.gz is named, with the SHA-256 of
  its bytes as packed (signed, where the release is signed);
- every binary carries libstdc++ and libgcc at the version the compiler
  gives (-dumpfullversion, or its Debian package for mingw-w64, whose
  compiler says "12-posix"), licensed GPL-3.0-with-GCC-exception; every
  Windows one also the mingw-w64 runtime and winpthreads at the version of
  the Debian package mingw-w64-<arch>-dev;
- every Windows binary depends on exactly the DLLs its import table names
  (read here with objdump from the packed bytes); every Linux one on glibc,
  with a minimum version.
"""
import hashlib
import json
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import zipfile

out = sys.argv[1]
document = json.load(open(os.path.join(out, "kiv.cdx.json")))
problems = []


def dpkg_version(package):
    version = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package], check=True,
                             capture_output=True, text=True).stdout
    return re.sub(r"^\d+:", "", version).rsplit("-", 1)[0]


def imports_of(data):
    with tempfile.NamedTemporaryFile() as file:
        file.write(data)
        file.flush()
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", file.name], check=True,
                              capture_output=True, text=True).stdout
    return sorted(set(re.findall(r"^\s*DLL Name: (\S+)", dump, re.M)))


files = {c["name"]: c for c in document["components"] if c.get("type") == "file"}
dependencies = {d["ref"]: d.get("dependsOn", []) for d in document.get("dependencies", [])}
gcc_linux = subprocess.run(["g++", "-dumpfullversion"], check=True, capture_output=True,
                           text=True).stdout.strip()

for line in open(os.path.join(out, "SHA256SUMS")):
    digest, name = line.split(None, 1)
    name = name.strip()
    if name == "kiv.cdx.json" or name.startswith("signatures/"):
        continue
    component = files.get(name)
    if not component or component["hashes"] != [{"alg": "SHA-256", "content": digest}]:
        problems.append(f"{name}: not in the SBOM with its SHA-256")


def packed_binaries(path):
    """(path inside the archive without its top folder, bytes) of each binary."""
    if path.endswith(".zip"):
        with zipfile.ZipFile(path) as archive:
            entries = [(n, archive.read(n)) for n in archive.namelist()]
    else:
        with tarfile.open(path) as archive:
            entries = [(m.name, archive.extractfile(m).read()) for m in archive.getmembers() if m.isfile()]
    for name, data in entries:
        if data[:4] == b"\x7fELF" or data[:2] == b"MZ":
            yield name.split("/", 1)[1], data


checked = 0
for name in sorted(files):
    if name.endswith(".deb"):
        continue
    windows = name.endswith(".zip")
    arch = "x86-64" if name.endswith("win64.zip") else "i686"
    inner = {c["properties"][0]["value"]: c for c in files[name]["components"]}
    for relative, data in packed_binaries(os.path.join(out, name)):
        checked += 1
        component = inner.get(relative)
        where = f"{name}: {relative}"
        if not component:
            problems.append(f"{where}: not in the SBOM")
            continue
        if component["hashes"][0]["content"] != hashlib.sha256(data).hexdigest():
            problems.append(f"{where}: the SBOM's SHA-256 is not the packed file's")
        parts = {c["name"]: c for c in component.get("components", [])}
        gcc = dpkg_version(f"gcc-mingw-w64-{arch}-posix") if windows else gcc_linux
        expected = {"libstdc++": gcc, "libgcc": gcc}
        if windows:
            expected["mingw-w64 runtime"] = expected["winpthreads"] = dpkg_version(f"mingw-w64-{arch}-dev")
        for part, version in expected.items():
            if part not in parts or parts[part].get("version") != version:
                problems.append(f"{where}: {part} {version} not among its components")
        for part in ("libstdc++", "libgcc"):
            if part in parts and parts[part]["licenses"] != [{"license": {"id": "GPL-3.0-with-GCC-exception"}}]:
                problems.append(f"{where}: {part} without its licence")
        needs = dependencies.get(component["bom-ref"], [])
        if windows:
            wanted = [f"windows:{dll}" for dll in imports_of(data)]
            if sorted(needs) != wanted:
                problems.append(f"{where}: depends on {needs}, imports {wanted}")
        else:
            glibc = [c for c in document["components"] if c["bom-ref"] == "linux:glibc"]
            if "linux:glibc" not in needs or not glibc or not any(
                    p["name"] == "kiv:minimum-version" for p in glibc[0].get("properties", [])):
                problems.append(f"{where}: no dependency on glibc with a minimum version")

if not checked:
    problems.append("no binaries found in the release's archives")
for problem in problems:
    print("SBOM:", problem, file=sys.stderr)
if problems:
    sys.exit(1)
print(f"SBOM: {len(files)} artifacts with their SHA-256, {checked} packed binaries with their "
      "hashes, static runtimes and versions, imports and C library")
