"""Imports zel_sql from an installed site-packages folder, as a script would.

    python3 -I check_installed.py SITE_PACKAGES

Run in isolated mode (-I), so that nothing but the named folder provides the
package; its extension must find libzel_sql by itself.
"""

import pathlib
import sys

site_packages = pathlib.Path(sys.argv[1]).resolve()
sys.path.insert(0, str(site_packages))

import zel_sql  # noqa: E402

package = pathlib.Path(zel_sql.__file__).resolve().parent
if package != site_packages / "zel_sql":
    sys.exit(f"zel_sql was imported from {package}, not from {site_packages}")
extension = pathlib.Path(zel_sql._zel_sql.__file__).resolve()
if extension.parent != package:
    sys.exit(f"the extension {extension} lies outside the package {package}")
for name in ("py.typed", "_zel_sql.pyi"):
    if not (package / name).is_file():
        sys.exit(f"no {name} in {package}")
if zel_sql.standardize_facility_name(" vmiran ") != "MIRAN_SIM":
    sys.exit("standardize_facility_name gives a wrong result")
print(f"zel_sql imported from {package}")
