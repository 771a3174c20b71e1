"""Reads a pre-flight's JSON and page back with Python's own parsers and prints, sorted, each row's
file and maker and each group's maker, from either, in hex: "json-file 4D..", "page-group 4D..".
usage: read_reports.py REPORT.json REPORT.html"""
import html.parser
import json
import sys

report = json.load(open(sys.argv[1], encoding="utf-8"))
out = [f"json-file {r['file'].encode().hex().upper()}" for r in report["rows"]]
out += [f"json-maker {r['system']['maker'].encode().hex().upper()}" for r in report["rows"]]
out += [f"json-group {g['system_maker'].encode().hex().upper()}" for g in report["groups"]]


class Page(html.parser.HTMLParser):
    """The cells of each table row, entities decoded, after the row's class."""

    rows, cell = [], None

    def handle_starttag(self, tag, attrs):
        if tag == "tr":
            self.rows.append([dict(attrs).get("class", "")])
        elif tag == "td":
            self.cell = ""

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data

    def handle_endtag(self, tag):
        if tag == "td":
            self.rows[-1].append(self.cell)
            self.cell = None


page = Page()
page.feed(open(sys.argv[2], encoding="utf-8").read())
for row in page.rows:
    if row[0].startswith("row "):
        out += [f"page-file {row[1].encode().hex().upper()}", f"page-maker {row[3].encode().hex().upper()}"]
    elif row[0].startswith("group"):
        out.append(f"page-group {row[2].encode().hex().upper()}")
print("\n".join(sorted(out)))
