"""Checks release wheels: python tools/check_wheel.py WHEEL...

A wheel passes when auditwheel finds it consistent with manylinux_2_28 or an
older policy, its file name carries that policy, and it ships the license
under the PEP 639 metadata.
"""

import re
import shutil
import subprocess
import sys
import zipfile
from email.parser import HeaderParser
from pathlib import Path

NEWEST_GLIBC_MINOR = 28


def auditwheel_show(wheel: Path) -> str:
    tool = shutil.which("auditwheel")
    command = [tool] if tool else [sys.executable, "-m", "auditwheel"]
    result = subprocess.run([*command, "show", str(wheel)], capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"{wheel.name}: auditwheel show failed:\n{result.stdout}{result.stderr}")
    return " ".join(result.stdout.split())


def problems(wheel: Path) -> list[str]:
    found = []
    report = auditwheel_show(wheel)
    match = re.search(r'consistent with the following platform tag: "(manylinux_2_(\d+)_\w+)"', report)
    if match is None:
        found.append(f"no manylinux policy in auditwheel's report: {report}")
    else:
        tag, minor = match.group(1), int(match.group(2))
        if minor > NEWEST_GLIBC_MINOR:
            found.append(f"needs {tag}, newer than manylinux_2_{NEWEST_GLIBC_MINOR}")
        if tag not in wheel.name:
            found.append(f"file name does not carry {tag}")
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        metadata_name = next(n for n in names if n.endswith(".dist-info/METADATA"))
        metadata = HeaderParser().parsestr(archive.read(metadata_name).decode())
    if metadata["License-Expression"] != "MIT":
        found.append(f"License-Expression is {metadata['License-Expression']!r}")
    if not any(n.endswith(".dist-info/licenses/LICENSE") for n in names):
        found.append("LICENSE is not in the wheel")
    return found


def main(paths: list[str]) -> int:
    if not paths:
        print(__doc__, file=sys.stderr)
        return 2
    failed = False
    for path in map(Path, paths):
        found = problems(path)
        for problem in found:
            print(f"{path.name}: {problem}", file=sys.stderr)
        if not found:
            print(f"{path.name}: ok ({path.stat().st_size} bytes)")
        failed = failed or bool(found)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
