"""The README and the pages in docs/ point only at what exists: every relative
link at a file (and, into a page, at one of its headings), every scripts/ or
tools/ path they name at a file of the repository."""
import re
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
PAGES = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]

FENCE = re.compile(r"^```.*?^```", re.S | re.M)
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#{1,6}\s+(.+?)\s*$", re.M)
TOOL_PATH = re.compile(r"(?<![\w./-])((?:scripts|tools)/[\w./-]*[\w-])")


def anchors(page):
    """The anchors a page's headings get: lower case, punctuation dropped, spaces as hyphens."""
    text = FENCE.sub("", page.read_text(encoding="utf-8"))
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in HEADING.findall(text)}


def test_relative_links_lead_somewhere():
    assert len(PAGES) > 1, "no pages in docs/"
    broken = []
    for page in PAGES:
        for target in LINK.findall(FENCE.sub("", page.read_text(encoding="utf-8"))):
            if re.match(r"[a-z][a-z0-9+.-]*:", target):  # http:, https:, mailto:
                continue
            path, _, anchor = target.partition("#")
            dest = (page.parent / path).resolve() if path else page
            if not dest.exists():
                broken.append(f"{page.relative_to(REPO)}: {target} (no such file)")
            elif anchor and dest.suffix == ".md" and anchor not in anchors(dest):
                broken.append(f"{page.relative_to(REPO)}: {target} (no such heading)")
    assert not broken, "\n".join(broken)


def test_named_scripts_and_tools_exist():
    missing = [f"{page.relative_to(REPO)}: {name}"
               for page in PAGES
               for name in sorted(set(TOOL_PATH.findall(page.read_text(encoding="utf-8"))))
               if not (REPO / name).exists()]
    assert not missing, "\n".join(missing)
