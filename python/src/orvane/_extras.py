"""What to install for an optional part of the package, named as pip installs it: the
package is installed from a wheel or a checkout, so `OrvaneHardwareAPI[extra]` finds no
distribution on an index; the extra's own requirements, with their ranges, always do."""
from importlib import metadata

DISTRIBUTION = "OrvaneHardwareAPI"


def install_hint(extra: str) -> str:
    """`pip install '<requirement>' ...` for the extra, from the installed metadata."""
    try:
        requirements = metadata.requires(DISTRIBUTION) or []
    except metadata.PackageNotFoundError:  # a build folder on PYTHONPATH has no metadata
        requirements = []
    marker = f'extra == "{extra}"'
    wanted = [r.split(";")[0].strip() for r in requirements
              if marker in r.replace("'", '"')]
    if not wanted:
        return f"pip install '.[{extra}]' in a checkout of {DISTRIBUTION}"
    return "pip install " + " ".join(f"'{w}'" for w in wanted)
