"""Fail when a built documentation page would load anything from the network.

    python scripts/check_docs_offline.py build/docs

The pages must read fully offline: every script, stylesheet, image, frame or
font they load comes from the build itself. This reads every HTML page and
every stylesheet under the directory and lists each resource with a network
address (a scheme such as https: or a host, as in //cdn.example.org/x.js).
Links a reader follows (<a href>, <link rel="next">) are not loads.
"""

import html.parser
import pathlib
import re
import sys
import urllib.parse

# Addresses that name no host: the page's own files and inline data.
LOCAL_SCHEMES = {"", "data", "blob", "about", "file"}
# <link rel=...> values that make the browser fetch the target.
LOADING_RELS = {"stylesheet", "preload", "modulepreload", "prefetch", "icon", "manifest"}
# Elements that fetch what their attribute names, whatever else they carry.
LOADING_ATTRIBUTES = {
    "script": ("src",),
    "img": ("src", "srcset"),
    "iframe": ("src",),
    "frame": ("src",),
    "embed": ("src",),
    "object": ("data",),
    "source": ("src", "srcset"),
    "audio": ("src",),
    "video": ("src", "poster"),
    "track": ("src",),
    "input": ("src",),
}
CSS_COMMENT = re.compile(r"/\*.*?\*/", re.DOTALL)
CSS_LOAD = re.compile(r"""@import\s+(?:url\(\s*)?['"]?([^'")\s;]+)|url\(\s*['"]?([^'")\s]+)""")


def is_remote(address: str) -> bool:
    parts = urllib.parse.urlsplit(address.strip())
    return bool(parts.netloc) or parts.scheme.lower() not in LOCAL_SCHEMES


def remote_in_css(text: str) -> list[str]:
    """Network addresses that a stylesheet imports or loads (fonts, images)."""
    found = []
    for match in CSS_LOAD.finditer(CSS_COMMENT.sub("", text)):
        address = match.group(1) or match.group(2)
        if is_remote(address):
            found.append(address)
    return found


class _Loads(html.parser.HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.remote: list[tuple[int, str]] = []
        self._in_style = False

    def _add(self, address: str) -> None:
        if is_remote(address):
            self.remote.append((self.getpos()[0], address))

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        values = {name: value or "" for name, value in attrs}
        names = LOADING_ATTRIBUTES.get(tag, ())
        if tag == "link" and LOADING_RELS & set(values.get("rel", "").lower().split()):
            names = ("href",)
        for name in names:
            if name in values:
                # A srcset lists "address width" pairs, comma separated.
                candidates = values[name].split(",") if name == "srcset" else [values[name]]
                for candidate in candidates:
                    if candidate.strip():
                        self._add(candidate.split()[0])
        for address in remote_in_css(values.get("style", "")):
            self._add(address)
        self._in_style = tag == "style"

    def handle_endtag(self, tag: str) -> None:
        self._in_style = False

    def handle_data(self, data: str) -> None:
        if self._in_style:
            for address in remote_in_css(data):
                self._add(address)


def remote_loads(html_text: str) -> list[tuple[int, str]]:
    """(line, address) of every resource the page would load from the network."""
    parser = _Loads()
    parser.feed(html_text)
    parser.close()
    return parser.remote


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    root = pathlib.Path(argv[0])
    pages = sorted(root.rglob("*.html"))
    if not pages:
        print(f"{root}: no HTML pages to check", file=sys.stderr)
        return 1
    problems = []
    for page in pages:
        for line, address in remote_loads(page.read_text(encoding="utf-8")):
            problems.append(f"{page}:{line}: loads {address}")
    for sheet in sorted(root.rglob("*.css")):
        for address in remote_in_css(sheet.read_text(encoding="utf-8")):
            problems.append(f"{sheet}: loads {address}")
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        print(
            f"{len(problems)} resources from the network: the pages must read offline",
            file=sys.stderr,
        )
        return 1
    print(f"{len(pages)} pages load nothing from the network")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
