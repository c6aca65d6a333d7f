#!/usr/bin/env python3
"""Writes the WiX source of the benchmark's packages: the demo product's own source with one more
file, bulk-$(var.BulkSize).bin, installed with the product's first feature, so that a package of
any size is still the demo product. The demo's file sources are copied beside it, because wixl
reads sources only relative to the WiX source's folder.
Usage: make_bulk_package_source.py DEMO_WXS OUTPUT_WXS"""
import shutil
import sys
from pathlib import Path

COMPONENT = '''          <Component Id="Bulk" Guid="{3D5D1BE9-E6C8-47FA-84A3-95160B1C2D3A}">
            <File Id="Bulk" Name="bulk.bin" Source="bulk-$(var.BulkSize).bin" KeyPath="yes"/>
          </Component>
'''
REFERENCE = '      <ComponentRef Id="Bulk"/>\n'


def insert(text: str, marker: str, addition: str, before: bool) -> str:
    if text.count(marker) != 1:
        sys.exit(f"the demo's WiX source no longer has exactly one {marker.strip()!r}")
    return text.replace(marker, addition + marker if before else marker + addition)


demo, output = Path(sys.argv[1]), Path(sys.argv[2])
text = demo.read_text()
text = insert(text, '          <Directory Id="DRIVERSDIR"', COMPONENT, before=True)
text = insert(text, '      <ComponentRef Id="WrittenIniFile"/>\n', REFERENCE, before=False)
output.parent.mkdir(parents=True, exist_ok=True)
for source in ("vesk.txt", "technicalsupport.rtf", "installation-template.ini"):
    shutil.copyfile(demo.parent / source, output.parent / source)
output.write_text(text)
