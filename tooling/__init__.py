"""The build and release tooling of setup.exe, in Python: what turns a product description into
the resources of a setup.exe, signs what the build makes, and reads a built setup.exe back.

    description/   the product description: its format and the checks the build runs on it
    resources      a description into the resources a product's setup.exe carries
                   (python3 -m tooling.resources, run by the build)
    signing        Authenticode signing through osslsigncode (python3 -m tooling.signing)
    inspection/    what a built setup.exe holds, and its findings (scripts/inspect.py)
    pe_image       the headers, imports and resources of a PE image
    authenticode   the Authenticode signature of a PE file or a package

The build runs the entry points with the repository's root on PYTHONPATH; scripts and tests put
it on sys.path. Standard library only, plus the external tools each module names.
"""

from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]
PROGRAM_SOURCES = REPO_ROOT / 'Install' / 'Bootstrapper'
