"""The scenario check: one or more built setup.exe run through an ordered list of steps (install,
the same again, an upgrade, a repair, a removal, /w, a distributor's Feature.ini, no interactive
desktop...) in one Wine prefix with Wine's own Windows Installer, as a customer's machine meets
them; scripts/check-setup.sh runs it (python3 -m tooling.scenarios).

    steps     the steps' plain-text form, the standard set, the codes a step expects
    setups    which file of a build runs here, the product each installs, its server's files
    machine   the flavour decision and the Windows-side harness, made only when missing
    run       the prefix and one step in it, through the end-to-end tests' test bed
    report    readable text, JSON and JUnit XML
"""
