"""What a built setup.exe holds, read back from the file alone: its settings, the product
description's other sections compiled into it, its payloads, the product package it carries or
the package its server gets, its Authenticode signature, and what a deployment system needs to
know. scripts/inspect.py prints it; the build runs it on every product setup.exe it makes.

What was compiled in is checked by description.check_executable, the checks the build runs on
descriptions, so inspect and the build cannot disagree about a rule.

    image      the file read back: settings, options, string tables, version, payloads
    contents   the compiled sections, payloads and package, as a description says them
    signature  setup.exe's signature and the package for the server
    report     inspect(): the whole report, the deployment summary, the exit code
    render     the report and the differences between two builds, as text

    report = inspect(path); print(render(report)); sys.exit(exit_code(report))

Standard library only, plus msitools (msiinfo) for the package, osslsigncode for a package's
signature, and description_rules (or g++ to build it) for the description's rules.
"""

from .image import NotASetup, SetupImage, read_setup
from .render import differences, render, render_differences
from .report import exit_code, inspect

__all__ = ["NotASetup", "SetupImage", "differences", "exit_code", "inspect", "read_setup",
           "render", "render_differences"]
