"""The demo product, Corvell Vesk 5, as the end-to-end tests see it: its identity, where it
installs, and how a test leaves a machine without it."""

import shutil

from testbed import SetupTestCase

PRODUCT_CODE = "{6B1F3C52-8E0B-4C4B-9D51-2A6E3F0C7A10}"
# Where the demo package writes the properties it was given.
RECEIVED_KEY = "Software\\Corvell\\Vesk\\Received"
# The demo's caption, its installer log and the ini file that /w writes beside setup.exe.
CAPTION = "Windows Installer Wrapper"
INSTALLER_LOG = "Corvell Vesk.log"
INI_NAME = "CorvellVesk5.ini"
# The uninstall entry of the C++ runtime, whose DisplayVersion tells the run it is present.
RUNTIME_KEY = ("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
               "{9BE518E6-ECC6-35A9-88E4-87755C07200F}")


def install_dir(prefix):
    """Where the 32-bit package installs in this prefix's Windows."""
    return prefix.program_files_32 + "\\Corvell Vesk"


def remove_demo_product(prefix):
    """Removes the product if it is installed or advertised, and what Wine's installer leaves of
    a removed wixl package: its files and its registry values."""
    if prefix.msi_state(PRODUCT_CODE) in (1, 5):
        prefix.msi_remove(PRODUCT_CODE)
    shutil.rmtree(prefix.to_linux(install_dir(prefix)), ignore_errors=True)
    prefix.reg_delete_key("HKLM", RECEIVED_KEY)


class DemoProductCase(SetupTestCase):
    """A test class whose every test leaves the machine without the product."""

    def setUp(self):
        super().setUp()
        self.addCleanup(self.remove_product)

    def remove_product(self):
        remove_demo_product(self.prefix)
