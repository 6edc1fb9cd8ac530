"""Checks the built documentation site: every page reachable from the
navigation of the home page, and no constructor headed `__new__`; run by
tools/docs.sh on the site it builds.

    python checks/site_links.py SITE
"""

import html.parser
import pathlib
import posixpath
import sys

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
    sys.exit(f"site_links.py: pages not in the navigation: {unreached}; constructors headed __new__: {new_headings}")
