#!/usr/bin/env bash
# Builds the user's documentation (mkdocs.yml: docs/ and the stubs' docstrings) with
# warnings as errors, into FOLDER if given, else into a temporary folder removed after,
# and checks the built site: no constructor headed `__new__`, every page reachable from
# the navigation of the home page.
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
"$tools/bin/python" - "$site" <<'PY'
import html.parser, pathlib, posixpath, sys

site = pathlib.Path(sys.argv[1])

class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.hrefs, self.headings = set(), []
    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "a" and attrs.get("href"):
            self.hrefs.add(attrs["href"].split("#")[0])
        if tag in ("h1", "h2", "h3", "h4", "h5", "h6") and "id" in attrs:
            self.headings.append(attrs["id"])

def links(page):
    parser = Links()
    parser.feed(page.read_text())
    return parser

pages = {p.relative_to(site).as_posix() for p in site.rglob("*.html")} - {"404.html", "search.html"}
reached = {h if h.endswith(".html") else posixpath.normpath(posixpath.join(h, "index.html"))
           for h in links(site / "index.html").hrefs if "://" not in h}
unreached = sorted(pages - reached)
new_headings = [f"{p}#{h}" for p in sorted(pages) for h in links(site / p).headings if h.endswith("__new__")]
if unreached or new_headings:
    sys.exit(f"docs.sh: pages not in the navigation: {unreached}; constructors headed __new__: {new_headings}")
PY
echo "documentation built into $site ($(find "$site" -name '*.html' | wc -l) pages)"
