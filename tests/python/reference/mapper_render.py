"""Slow, direct rendering of mapper elements: the rules written out plainly, element by element."""
import re

# A word: runs of non-blanks where a quoted run ('..', "..", `..`, E'..' with backslash escapes,
# $tag$..$tag$; unclosed: to the end) counts whole.
_WORD = re.compile(r"""(?:(?<![\w$])[Ee]'(?:\\[\s\S]|''|[^'\\])*(?:'|\\?$)|(?<![\w$])(\$(?:[A-Za-z_]\w*)?\$)[\s\S]*?(?:\1|$)"""
                   r"""|'[^']*(?:'|$)|"[^"]*(?:"|$)|`[^`]*(?:`|$)|[^\s'"`])+""")


def words(s):
    return [m.group(0) for m in _WORD.finditer(s)]


def normalise(s):
    return " ".join(words(s))


def _trim(s, entries, front):
    s = normalise(s)
    ordered = sorted((e for e in entries if e), key=len, reverse=True)
    while True:
        hit = next((e for e in ordered if (s.startswith(e) if front else s.endswith(e))), None)
        if hit is None:
            return s.strip()
        s = (s[len(hit):] if front else s[: len(s) - len(hit)]).strip()


def trim_prefix(s, prefixes):
    return _trim(s, prefixes, True)


def trim_suffix(s, suffixes):
    return _trim(s, suffixes, False)


class GenericError(Exception):
    """Stands for the host's plain Exception that the library raises with a fixed message."""


def body(element, params, fragments):
    out = element.text or ""
    for child in element:
        out += render(child, params, fragments) + (child.tail or "")
    return out


def render(element, params, fragments):
    tag = element.tag
    if tag == "include":
        return body(fragments[element.attrib["refid"]], params, fragments)
    if tag in ("sql", "when", "otherwise"):
        return body(element, params, fragments)
    if tag == "if":
        return body(element, params, fragments) if eval(element.attrib["test"], {"params": params}) else ""
    if tag == "where":
        w = words(body(element, params, fragments))
        while w and w[0].upper() in ("AND", "OR"):
            w.pop(0)
        return "WHERE " + " ".join(w) if w else ""
    if tag == "set":
        return "SET " + trim_prefix(body(element, params, fragments), {","})
    if tag == "trim":
        a = element.attrib
        heads = {p.strip() for p in a["prefixOverrides"].split("|")} if "prefixOverrides" in a else set()
        tails = {p.strip() for p in a["suffixOverrides"].split("|")} if "suffixOverrides" in a else set()
        text = body(element, params, fragments)
        if heads - {""}:
            text = trim_prefix(text, heads)
        if tails - {""}:
            text = trim_suffix(text, tails)
        return a.get("prefix", "") + " " + text + " " + a.get("suffix", "")
    if tag == "choose":
        for child in element:
            if child.tag == "when" and eval(child.attrib["test"], {"params": params}):
                return body(child, params, fragments)
        for child in element:
            if child.tag == "otherwise":
                return body(child, params, fragments)
        raise GenericError("Missing otherwise element")
    if tag == "foreach":
        a = element.attrib
        coll = a["collection"]
        value = eval(coll, dict(params))
        if not isinstance(value, list):
            raise GenericError("Collection must be a list")
        parts = [
            body(element, params, fragments).replace("#{" + a["item"] + "}", "#{" + coll + "_for_index_" + str(i) + "}")
            for i in range(len(value))
        ]
        return a["open"] + a["separator"].join(parts) + a["close"]
    raise TypeError(tag)
