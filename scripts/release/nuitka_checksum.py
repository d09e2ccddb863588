"""Run by scripts/release/check_frozen.sh, with the interpreter of the venv it froze the demo
in, when Nuitka found a stale checksum in the field's package configuration file: prints, for
each module entry of CONFIG, its line as it is to read, with the checksum Nuitka computes for
the entry, so that the file can be put right by hand.

    python scripts/release/nuitka_checksum.py CONFIG
"""

import sys

from nuitka.Tracing import general
from nuitka.utils.Yaml import PackageConfigYaml, getYamlDataHash


def main(path):
    with open(path, "rb") as f:
        config = PackageConfigYaml(general, path, f.read(), False, False)
    for module, entry in config.data.items():
        print(f"- module-name: '{module}' # checksum: {getYamlDataHash(entry)}")


if __name__ == "__main__":
    main(sys.argv[1])
