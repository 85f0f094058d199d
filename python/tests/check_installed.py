"""Imports zel_sql from an installed site-packages folder, as a script would.

    python3 -I check_installed.py SITE_PACKAGES

Run in isolated mode (-I), so that nothing but the named folder provides the
module; the module must find libzel_sql by itself.
"""

import pathlib
import sys

site_packages = pathlib.Path(sys.argv[1]).resolve()
sys.path.insert(0, str(site_packages))

import zel_sql  # noqa: E402

module = pathlib.Path(zel_sql.__file__).resolve()
if module.parent != site_packages:
    sys.exit(f"zel_sql was imported from {module}, not from {site_packages}")
if not module.with_name("zel_sql.pyi").is_file():
    sys.exit(f"no zel_sql.pyi beside {module}")
if zel_sql.standardize_facility_name(" vmiran ") != "MIRAN_SIM":
    sys.exit("standardize_facility_name gives a wrong result")
print(f"zel_sql imported from {module}")
