#!/usr/bin/python3
# SPDX-License-Identifier: Zlib
"""The release's CycloneDX SBOM (kiv.cdx.json), and its check.

  release_sbom.py write OUT VERSION COMMIT EPOCH --artifact NAME STAGE BUILD ...
  release_sbom.py validate SBOM SCHEMA_DIR [SUMS]

write names every artifact in OUT with its SHA-256 and, for each binary
in it (found in STAGE, the artifact's unpacked tree), its own SHA-256, what
the linker put into it from outside our sources (read from the link map
BUILD holds beside it, with versions from the Debian packages that hold
those files) and what it needs at run time (read from its import table or
dynamic section). Nothing is assumed: a binary without its map, or linked
with a file this tool cannot name, stops the SBOM.

validate checks an SBOM against CycloneDX's JSON schema (from SCHEMA_DIR,
the schema folder of the npm package @cyclonedx/cyclonedx-library), and,
given SHA256SUMS, that every file listed there has that hash in the SBOM.
"""
import argparse
import datetime
import hashlib
import json
import os
import re
import subprocess
import sys
import uuid

CYCLONEDX_VERSION = "1.5"
GCC_LICENCE = "GPL-3.0-with-GCC-exception"

# What the linker may take from outside our sources: by the file's name and
# the Debian package that holds it, the component it belongs to and that
# component's licence (SPDX). The first match counts.
STATIC_PARTS = [
    (r"libstdc\+\+\.a", r"libstdc\+\+-\d+-dev|g\+\+-mingw-w64-.*", "libstdc++", GCC_LICENCE),
    (r"libgcc(_eh)?\.a|crt(begin|end|fastmath).*\.o", r"libgcc-\d+-dev|gcc-mingw-w64-.*", "libgcc",
     GCC_LICENCE),
    # mingw-w64's libpthread.a is a copy of libwinpthread.a.
    (r"lib(win)?pthread\.a", r"mingw-w64-.*-dev", "winpthreads", "MIT AND BSD-3-Clause"),
    (r"libc_nonshared\.a|S?crt1\.o|crt[in]\.o", r"libc6-dev", "glibc static start-up",
     "LGPL-2.1-or-later"),
    # The C runtime's start-up, its static helpers and its import libraries.
    (r".*\.[ao]", r"mingw-w64-.*-dev", "mingw-w64 runtime", "ZPL-2.1"),
]

# Which component a shared object that a Linux binary needs belongs to.
ELF_RUNTIME = {"libc.so.6": "glibc", "ld-linux-x86-64.so.2": "glibc", "libm.so.6": "glibc"}


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def upstream(version):
    """The upstream part of a Debian version: no epoch, no revision."""
    return re.sub(r"^\d+:", "", version).rsplit("-", 1)[0]


_packages = {}


def debian_package(path):
    """(package, version, architecture) of the installed package holding path."""
    # Debian 12 merged /lib into /usr/lib; dpkg still knows /lib's files by /lib.
    candidates = [os.path.normpath(path), os.path.realpath(path)]
    candidates += [re.sub(r"^/usr/lib/", "/lib/", c) for c in candidates]
    for candidate in candidates:
        if candidate in _packages:
            return _packages[candidate]
        found = subprocess.run(["dpkg-query", "-S", candidate], capture_output=True, text=True)
        if found.returncode == 0:
            name = found.stdout.splitlines()[0].split(": ")[0].split(",")[0].strip()
            fields = run("dpkg-query", "-W", "-f", "${Package} ${Version} ${Architecture}\n", name)
            package = tuple(fields.splitlines()[0].split())
            _packages[candidate] = package
            return package
    sys.exit(f"release_sbom: no Debian package holds {path}")


def linked_files(map_path):
    """The absolute paths of the archives whose members, and the objects,
    that a link map says were linked in."""
    files = set()
    with open(map_path, encoding="utf-8", errors="replace") as stream:
        for line in stream:
            member = re.match(r"^(/\S+\.a)\(", line)
            if member:
                files.add(member.group(1))
                continue
            loaded = re.match(r"^LOAD (/\S+\.o)\s*$", line)
            if loaded:
                files.add(loaded.group(1))
    return sorted(files)


def static_components(map_path, ref):
    """The components a binary carries, one per component (its archives merged)."""
    parts = {}
    for path in linked_files(map_path):
        name = os.path.basename(path)
        package, version, arch = debian_package(path)
        for pattern, packages, component, licence in STATIC_PARTS:
            if re.fullmatch(pattern, name) and re.fullmatch(packages, package):
                break
        else:
            sys.exit(f"release_sbom: {map_path} links {path} (from {package}), "
                     "which no component of the SBOM names")
        entry = parts.setdefault(component, {"licence": licence, "packages": set(), "files": set()})
        entry["packages"].add((package, version, arch))
        entry["files"].add(name)
    components = []
    for component, entry in sorted(parts.items()):
        packages = sorted(entry["packages"])
        versions = sorted({upstream(version) for _, version, _ in packages})
        item = {
            "type": "library",
            "bom-ref": f"{ref}#{component}",
            "name": component,
            "version": " ".join(versions),
            "scope": "required",
            "licenses": [{"expression": entry["licence"]}] if " " in entry["licence"]
            else [{"license": {"id": entry["licence"]}}],
            "properties": [{"name": "kiv:linked", "value": "statically"},
                           {"name": "kiv:files", "value": " ".join(sorted(entry["files"]))}],
        }
        if len(packages) == 1:
            package, version, arch = packages[0]
            item["purl"] = f"pkg:deb/debian/{package}@{version}?arch={arch}"
        for package, version, _ in packages:
            item["properties"].append({"name": "kiv:debian-package", "value": f"{package} {version}"})
        components.append(item)
    return components


def pe_facts(path):
    """The DLLs a PE file imports, and whether it carries a signature."""
    dump = run("x86_64-w64-mingw32-objdump", "-p", path)
    imports = sorted(set(re.findall(r"^\s*DLL Name: (\S+)", dump, re.M)))
    security = re.search(r"^Entry 4 ([0-9a-fA-F]+) ([0-9a-fA-F]+) Security Directory", dump, re.M)
    signed = bool(security and int(security.group(2), 16))
    return imports, signed


def elf_facts(path):
    """The shared objects an ELF file needs, and the newest glibc symbol version it asks for."""
    dynamic = run("readelf", "-d", "-W", path)
    needed = sorted(set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", dynamic)))
    symbols = run("objdump", "-T", path)
    versions = {tuple(int(n) for n in v.split(".")) for v in re.findall(r"GLIBC_(\d+(?:\.\d+)+)", symbols)}
    newest = ".".join(str(n) for n in max(versions)) if versions else None
    return needed, newest


class Sbom:
    def __init__(self, version, commit, epoch):
        self.version = version
        self.commit = commit
        self.epoch = epoch
        self.components = []
        self.runtime = {}
        self.dependencies = {}

    def runtime_ref(self, kind, name, minimum=None):
        """The top-level component of something a binary needs at run time."""
        if kind == "windows":
            ref = f"windows:{name}"
            if ref not in self.runtime:
                self.runtime[ref] = {
                    "type": "library", "bom-ref": ref, "name": name, "scope": "required",
                    "description": "system DLL of Windows, loaded from the system at run time",
                    "properties": [{"name": "kiv:linked", "value": "dynamically"}]}
            return ref
        component = ELF_RUNTIME.get(name, name)
        ref = f"linux:{component}"
        if ref not in self.runtime:
            item = {"type": "library", "bom-ref": ref, "name": component, "scope": "required",
                    "description": "the system's C library, loaded at run time",
                    "properties": [{"name": "kiv:linked", "value": "dynamically"}]}
            if component == "glibc":
                package, version, arch = debian_package("/usr/lib/x86_64-linux-gnu/libc.so.6")
                item["version"] = upstream(version)
                item["licenses"] = [{"license": {"id": "LGPL-2.1-or-later"}}]
                item["purl"] = f"pkg:deb/debian/{package}@{version}?arch={arch}"
                item["properties"].append({"name": "kiv:built-against", "value": f"{package} {version}"})
            self.runtime[ref] = item
        if minimum:
            props = self.runtime[ref]["properties"]
            name_ = "kiv:minimum-version"
            old = [p for p in props if p["name"] == name_]
            if not old:
                props.append({"name": name_, "value": minimum})
            elif tuple(map(int, minimum.split("."))) > tuple(map(int, old[0]["value"].split("."))):
                old[0]["value"] = minimum
        return ref

    def binary(self, artifact, stage, relative, maps):
        path = os.path.join(stage, relative)
        ref = f"{artifact}:{relative}"
        name = os.path.basename(relative)
        with open(path, "rb") as stream:
            magic = stream.read(4)
        item = {
            "type": "library" if re.search(r"\.(dll|so)(\.|$)", name) else "application",
            "bom-ref": ref, "name": name, "version": self.version,
            "hashes": [{"alg": "SHA-256", "content": sha256(path)}],
            "licenses": [{"license": {"id": "Zlib"}}],
            "properties": [{"name": "kiv:path", "value": relative}],
        }
        if magic[:2] == b"MZ":
            imports, signed = pe_facts(path)
            depends = [self.runtime_ref("windows", dll) for dll in imports]
            item["properties"].append({"name": "kiv:authenticode", "value": "signed" if signed else "unsigned"})
        else:
            needed, newest = elf_facts(path)
            depends = [self.runtime_ref("linux", so, newest if ELF_RUNTIME.get(so) == "glibc" else None)
                       for so in needed]
        found = maps.get(name + ".map")
        if not found:
            sys.exit(f"release_sbom: no link map {name}.map for {ref}")
        item["components"] = static_components(found, ref)
        self.dependencies[ref] = sorted(set(depends))
        return item

    def artifact(self, out, name, stage, build):
        maps = {}
        for folder, _, files in os.walk(build):
            for file in files:
                if file.endswith(".map"):
                    if file in maps:
                        sys.exit(f"release_sbom: two link maps named {file} in {build}")
                    maps[file] = os.path.join(folder, file)
        binaries = []
        for folder, _, files in os.walk(stage):
            for file in files:
                path = os.path.join(folder, file)
                if os.path.islink(path):
                    continue
                with open(path, "rb") as stream:
                    magic = stream.read(4)
                if magic == b"\x7fELF" or magic[:2] == b"MZ":
                    binaries.append(os.path.relpath(path, stage))
        if not binaries:
            sys.exit(f"release_sbom: no binaries in {stage} for {name}")
        self.components.append({
            "type": "file", "bom-ref": f"artifact:{name}", "name": name, "version": self.version,
            "hashes": [{"alg": "SHA-256", "content": sha256(os.path.join(out, name))}],
            "components": [self.binary(name, stage, b, maps) for b in sorted(binaries)],
        })

    def document(self):
        hashes = "".join(c["hashes"][0]["content"] for c in self.components)
        serial = uuid.uuid5(uuid.NAMESPACE_URL, f"kiv:{self.commit}:{hashes}")
        time = datetime.datetime.fromtimestamp(int(self.epoch), datetime.timezone.utc)
        dependencies = [{"ref": ref, "dependsOn": deps} for ref, deps in sorted(self.dependencies.items())]
        dependencies += [{"ref": ref, "dependsOn": []} for ref in sorted(self.runtime)]
        return {
            "bomFormat": "CycloneDX", "specVersion": CYCLONEDX_VERSION,
            "serialNumber": f"urn:uuid:{serial}", "version": 1,
            "metadata": {
                "timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ"),
                "component": {"type": "application", "bom-ref": "kiv", "name": "kiv",
                              "version": self.version, "licenses": [{"license": {"id": "Zlib"}}],
                              "properties": [{"name": "kiv:commit", "value": self.commit}]},
            },
            "components": self.components + [self.runtime[ref] for ref in sorted(self.runtime)],
            "dependencies": dependencies,
        }


def write(arguments):
    sbom = Sbom(arguments.version, arguments.commit, arguments.epoch)
    for name, stage, build in arguments.artifact:
        sbom.artifact(arguments.out, name, stage, build)
    with open(os.path.join(arguments.out, "kiv.cdx.json"), "w", encoding="utf-8") as stream:
        json.dump(sbom.document(), stream, indent=2, sort_keys=True)
        stream.write("\n")


def validate(arguments):
    import jsonschema  # python3-jsonschema; only validation needs it
    schemas = {}
    for file in os.listdir(arguments.schema_dir):
        if file.endswith(".schema.json"):
            with open(os.path.join(arguments.schema_dir, file), encoding="utf-8") as stream:
                schemas[file] = json.load(stream)
    root = next(s for f, s in schemas.items() if f.startswith(f"bom-{CYCLONEDX_VERSION}.") and "strict" not in f)
    store = {"http://cyclonedx.org/schema/" + file: schema for file, schema in schemas.items()}
    store.update({schema["$id"]: schema for schema in schemas.values() if "$id" in schema})
    resolver = jsonschema.RefResolver(root["$id"], root, store=store)
    with open(arguments.sbom, encoding="utf-8") as stream:
        document = json.load(stream)
    validator = jsonschema.Draft7Validator(root, resolver=resolver,
                                           format_checker=jsonschema.Draft7Validator.FORMAT_CHECKER)
    errors = sorted(validator.iter_errors(document), key=lambda e: list(e.path))
    for error in errors:
        print(f"{arguments.sbom}: {'/'.join(map(str, error.path))}: {error.message[:300]}", file=sys.stderr)
    if errors:
        sys.exit(1)
    if document.get("specVersion") != CYCLONEDX_VERSION:
        sys.exit(f"{arguments.sbom}: specVersion is not {CYCLONEDX_VERSION}")
    failed = False
    if arguments.sums:
        listed = {c["name"]: c["hashes"][0]["content"] for c in document["components"]
                  if c.get("type") == "file"}
        with open(arguments.sums, encoding="utf-8") as stream:
            for line in stream:
                digest, name = line.rstrip("\n").split(None, 1)
                name = name.lstrip("*")
                if name == "kiv.cdx.json" or name.startswith("signatures/"):
                    continue
                if listed.get(name) != digest:
                    print(f"{arguments.sbom}: {name} is not named with its SHA-256 {digest}", file=sys.stderr)
                    failed = True
    if failed:
        sys.exit(1)
    print(f"{arguments.sbom}: valid CycloneDX {CYCLONEDX_VERSION}"
          + (", every artifact named with its SHA-256" if arguments.sums else ""))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    w = commands.add_parser("write")
    w.add_argument("out")
    w.add_argument("version")
    w.add_argument("commit")
    w.add_argument("epoch")
    w.add_argument("--artifact", nargs=3, action="append", required=True, metavar=("NAME", "STAGE", "BUILD"))
    v = commands.add_parser("validate")
    v.add_argument("sbom")
    v.add_argument("schema_dir")
    v.add_argument("sums", nargs="?")
    arguments = parser.parse_args()
    {"write": write, "validate": validate}[arguments.command](arguments)


if __name__ == "__main__":
    main()
