#!/usr/bin/python3
"""An independent HTML5 parser as the oracle of tst_html.

Reads JSON {"pages": [...], "queries": [[selector, [take, ...]], ...]} on
standard input; writes for each page its visible text and, for each query,
the records of the elements soupsieve selects from html5lib's tree. The
tree is serialised and laid out here, apart from the code under test.
"""
import json
import sys

import bs4
import soupsieve
from bs4.element import Comment, Declaration, Doctype, NavigableString, ProcessingInstruction

SPACE = " \t\n\f\r"
RAW_TEXT = {"style", "script", "xmp", "iframe", "noembed", "noframes", "plaintext"}
VOID = {"area", "base", "basefont", "bgsound", "br", "col", "embed", "frame", "hr", "img",
        "input", "keygen", "link", "meta", "param", "source", "track", "wbr"}
HIDDEN = {"head", "title", "script", "style", "template", "noembed", "noframes", "iframe",
          "datalist", "area", "base", "basefont", "link", "meta", "param", "rp", "source",
          "track", "embed", "frameset"}
BLOCK = {"address", "article", "aside", "blockquote", "body", "caption", "center", "dd",
         "details", "dialog", "dir", "div", "dl", "dt", "fieldset", "figcaption", "figure",
         "footer", "form", "h1", "h2", "h3", "h4", "h5", "h6", "header", "hgroup", "hr", "html",
         "legend", "li", "listing", "main", "menu", "nav", "ol", "optgroup", "option", "p",
         "plaintext", "pre", "search", "section", "summary", "table", "tbody", "textarea",
         "tfoot", "thead", "tr", "ul", "xmp"}
PRE = {"pre", "listing", "xmp", "textarea", "plaintext"}
HTML_NS = "http://www.w3.org/1999/xhtml"
SVG_NS = "http://www.w3.org/2000/svg"


def is_text(node):
    return isinstance(node, NavigableString) and not isinstance(
        node, (Comment, Declaration, Doctype, ProcessingInstruction))


def is_html(tag):
    return tag.namespace in (None, HTML_NS)


def escape(text, attribute):
    text = text.replace("&", "&amp;").replace("\u00a0", "&nbsp;")
    text = text.replace("<", "&lt;").replace(">", "&gt;")
    return text.replace('"', "&quot;") if attribute else text


def serialise(node, out):
    if isinstance(node, Comment):
        out.append("<!--%s-->" % node)
    elif is_text(node):
        parent = node.parent
        raw = parent is not None and is_html(parent) and parent.name in RAW_TEXT
        out.append(str(node) if raw else escape(str(node), False))
    elif isinstance(node, bs4.Tag):
        out.append("<" + node.name)
        for name, value in node.attrs.items():
            out.append(' %s="%s"' % (name, escape(value, True)))
        out.append(">")
        if is_html(node) and node.name in VOID:
            return
        for child in node.children:
            serialise(child, out)
        out.append("</%s>" % node.name)


def raw_text(tag):
    return "".join(str(s) for s in tag.descendants if is_text(s))


def display_none(style):
    compact = "".join(c for c in style.lower() if c not in SPACE)
    at = compact.find("display:none")
    while at >= 0:
        after = at + 12
        if (at == 0 or compact[at - 1] in ";{") and (after == len(compact) or compact[after] in ";!"):
            return True
        at = compact.find("display:none", at + 1)
    return False


def shown(tag):
    if is_html(tag):
        if tag.name in HIDDEN:
            return False
    elif tag.namespace == SVG_NS and tag.name in ("title", "desc", "script", "style"):
        return False
    return "hidden" not in tag.attrs and not display_none(tag.attrs.get("style", ""))


class Layout:
    """innerText with the default style sheet, as the house defines it."""

    def __init__(self, pre=False):
        self.out = []
        self.line = False
        self.space = False
        self.tabs = 0
        self.pre = 1 if pre else 0

    def end_line(self):
        if self.line:
            self.out.append("\n")
        self.line = self.space = False
        self.tabs = 0

    def content(self):
        if self.tabs:
            self.out.append("\t" * self.tabs)
            self.tabs = 0
            self.space = False
        elif self.space:
            self.out.append(" ")
            self.space = False
        self.line = True

    def text(self, text):
        if self.pre:
            for i, part in enumerate(text.split("\n")):
                if i:
                    self.out.append("\n")
                    self.line = False
                    self.tabs = 0
                if part:
                    self.content()
                    self.out.append(part)
            return
        word = []
        for c in text + " ":
            if c in SPACE:
                if word:
                    self.content()
                    self.out.append("".join(word))
                    word = []
                if self.line:
                    self.space = True
            else:
                word.append(c)
        # The space after the last word is the loop's own unless the text ends in one.
        if text and text[-1] not in SPACE:
            self.space = False

    def element(self, tag, row=None):
        if not shown(tag):
            return
        name = tag.name if is_html(tag) else None
        block = name in BLOCK
        if name == "br":
            if self.pre:
                self.out.append("\n")
                self.line = False
            else:
                self.end_line()
            return
        if name in ("td", "th") and row is not None:
            if row[0] > 0:
                self.tabs += 1
                self.space = False
            row[0] += 1
        elif block:
            self.end_line()
        pre = name in PRE
        self.pre += pre
        cells = [0] if name == "tr" else None
        for child in tag.children:
            if isinstance(child, bs4.Tag):
                self.element(child, cells)
            elif is_text(child):
                self.text(str(child))
        self.pre -= pre
        if block:
            self.end_line()

    def result(self):
        self.end_line()
        return "".join(self.out)


def hidden_or_inside(tag):
    node = tag
    while isinstance(node, bs4.Tag):
        if not shown(node):
            return True
        node = node.parent
    return False


def inside_pre(tag):
    node = tag.parent
    while isinstance(node, bs4.Tag):
        if is_html(node) and node.name in PRE:
            return True
        node = node.parent
    return False


def field(tag, take):
    if take == "raw":
        return raw_text(tag)
    if take == "html":
        out = []
        serialise(tag, out)
        return "".join(out)
    if take == "inner":
        out = []
        for child in tag.children:
            serialise(child, out)
        return "".join(out)
    if take.startswith("attr:"):
        return tag.attrs.get(take[5:], "")
    if hidden_or_inside(tag):
        return raw_text(tag)
    layout = Layout(pre=inside_pre(tag) and not (is_html(tag) and tag.name in PRE))
    layout.element(tag)
    text = layout.result()
    return text[:-1] if text.endswith("\n") else text


def tokens(text):
    """html5lib's tokenizer alone, its tokens as tst_html writes them."""
    from html5lib._tokenizer import HTMLTokenizer
    out, chars = [], []
    for token in HTMLTokenizer(text):
        kind = token["type"]
        if kind == 7:  # a parse error: no token
            continue
        if kind in (1, 2):
            chars.append(token["data"])
            continue
        if chars:
            out.append("T " + "".join(chars))
            chars = []
        if kind in (3, 5):
            attributes = "".join(" %s=%s" % (k, v) for k, v in token["data"].items())
            out.append("S %s%s%s" % (token["name"], attributes, " /" if token["selfClosing"] else ""))
        elif kind == 4:
            out.append("E " + token["name"])
        elif kind == 6:
            out.append("C " + token["data"])
        elif kind == 0:
            ids = [token["publicId"], token["systemId"]]
            out.append("D %s|%s|%s|%s" % (token["name"] or "", *("-" if i is None else i for i in ids),
                                         "ok" if token["correct"] else "quirks"))
    if chars:
        out.append("T " + "".join(chars))
    return out


def main():
    request = json.load(sys.stdin)
    if "tokenize" in request:
        json.dump([tokens(text) for text in request["tokenize"]], sys.stdout)
        return
    answer = []
    for page in request["pages"]:
        soup = bs4.BeautifulSoup(page, "html5lib", multi_valued_attributes=None)
        root = soup.find(True)
        layout = Layout()
        layout.element(root)
        records = []
        for selector, takes in request["queries"]:
            css = selector.replace(":contains(", ":-soup-contains(")
            records.append([[field(tag, take) for take in takes]
                            for tag in soupsieve.select(css, soup)])
        answer.append({"text": layout.result(), "records": records})
    json.dump(answer, sys.stdout)


if __name__ == "__main__":
    main()
