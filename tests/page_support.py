"""Reads a report page back: its job groups and rows, and anything it would load."""

from html.parser import HTMLParser


class Page(HTMLParser):
    """The job groups of a page: (id, open, [[cell texts and link targets] per row])."""

    def __init__(self, text):
        super().__init__()
        self.groups, self.cell, self.external = [], None, []
        self.feed(text)

    def handle_starttag(self, tag, attributes):
        attributes = dict(attributes)
        if tag in ("script", "link", "img", "iframe", "object") or "src" in attributes:
            self.external.append(tag)
        if tag == "details" and "asset" in attributes.get("class", "").split():
            self.groups.append((attributes["id"], "open" in attributes, []))
        elif tag == "tr" and "job" in attributes.get("class", "").split():
            self.groups[-1][2].append([])
        elif tag == "td" and self.groups and self.groups[-1][2]:
            self.cell = ""
        elif tag == "a" and self.cell is not None:
            self.cell += f"[{attributes['href']}]"

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data

    def handle_endtag(self, tag):
        if tag == "td" and self.cell is not None:
            self.groups[-1][2][-1].append(self.cell.strip())
            self.cell = None
