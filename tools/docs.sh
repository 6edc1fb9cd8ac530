#!/usr/bin/env bash
# Builds the user's documentation (mkdocs.yml: docs/ and the stubs' docstrings) with
# warnings as errors, into FOLDER if given, else into a temporary folder removed after,
# and checks the built site (checks/site_links.py): no constructor headed `__new__`,
# every page reachable from the navigation of the home page.
# The tools are installed once, at the versions pinned below (all of them, so that a
# new release of a dependency cannot change what a warning is), into a virtual
# environment in the cache folder (tools/lib.sh), one for each set of pins.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh

pins=(mkdocs==1.6.1 mkdocstrings==1.0.8 mkdocstrings-python==2.0.11 griffelib==2.4.1 mkdocs-autorefs==1.4.5
      Markdown==3.11.4 pymdown-extensions==13.1.2 Jinja2==3.1.6 MarkupSafe==3.0.4 PyYAML==6.0.4
      pyyaml_env_tag==1.1 Pygments==2.21.0 click==8.5.1 ghp-import==2.1.0 mergedeep==1.3.4 mkdocs-get-deps==0.2.2
      packaging==26.4 pathspec==1.1.1 platformdirs==4.14.9 python-dateutil==4.0.0 tzdata==2026.6 watchdog==7.1.1)
tools=$cache/docs-tools-$(echo "${pins[*]}" | sha256sum | cut -c1-12)
if [ "$(cat "$tools/pins" 2>/dev/null)" != "${pins[*]}" ]; then
    rm -rf "$tools"
    python3 -m venv "$tools"
    # --no-deps with every pin; pip check then fails on a dependency missing from the list.
    if ! quietly "$tools/bin/python" -m pip install --only-binary=:all: --no-deps "${pins[@]}" ||
       ! quietly "$tools/bin/python" -m pip check; then
        echo "docs.sh: cannot install ${pins[*]}" >&2
        exit 1
    fi
    echo "${pins[*]}" >"$tools/pins"
fi

site=${1:-}
if [ -z "$site" ]; then
    site=$(mktemp -d)
    trap 'rm -rf "$site"' EXIT
fi
# The API reference is read from the stubs alone, never from a module that Python could import.
quietly env -u PYTHONPATH "$tools/bin/mkdocs" build --strict --site-dir "$site"
"$tools/bin/python" checks/site_links.py "$site"
echo "documentation built into $site ($(find "$site" -name '*.html' | wc -l) pages)"
