#!/usr/bin/env python3
"""Writes the dialog templates of korvanel.rc as a C++ header.

usage: gen_dialog_template.py RC_FILE RESOURCE_H OUTPUT_H

korvanel.rc is the one place that lists the controls of templates 100 and
102; the Qt dialog builds its windows from the header written here, and the
Win32 window test compares the real windows with it. Only DIALOG and
DIALOGEX blocks are read; everything else in the .rc (icons, strings, the
version block, #include lines) is passed over. Anything inside a dialog
block that is not understood stops the build with the file and line, so the
header never silently differs from the resource the Windows build links.
"""

import os
import re
import sys

# Window style values of the Win32 headers (the ABI: they never change).
STYLES = {
    "WS_POPUP": 0x80000000, "WS_CHILD": 0x40000000, "WS_VISIBLE": 0x10000000,
    "WS_DISABLED": 0x08000000, "WS_CAPTION": 0x00C00000, "WS_BORDER": 0x00800000,
    "WS_VSCROLL": 0x00200000, "WS_HSCROLL": 0x00100000, "WS_SYSMENU": 0x00080000,
    "WS_GROUP": 0x00020000, "WS_TABSTOP": 0x00010000,
    "WS_MINIMIZEBOX": 0x00020000, "WS_MAXIMIZEBOX": 0x00010000,
    "WS_EX_APPWINDOW": 0x00040000,
    "DS_SETFONT": 0x40, "DS_MODALFRAME": 0x80, "DS_CENTER": 0x0800,
    "SS_LEFT": 0x0, "SS_CENTER": 0x1, "SS_RIGHT": 0x2, "SS_ICON": 0x3,
    "SS_NOPREFIX": 0x80, "SS_CENTERIMAGE": 0x200, "SS_REALSIZECONTROL": 0x40,
    "ES_LEFT": 0x0, "ES_MULTILINE": 0x4, "ES_AUTOHSCROLL": 0x80, "ES_WANTRETURN": 0x1000,
    "CBS_SIMPLE": 0x1, "CBS_DROPDOWN": 0x2, "CBS_DROPDOWNLIST": 0x3, "CBS_SORT": 0x100,
    "BS_PUSHBUTTON": 0x0, "BS_DEFPUSHBUTTON": 0x1, "BS_AUTOCHECKBOX": 0x3,
}
# Standard command ids that resource.h does not define.
STANDARD_IDS = {"IDOK": 1, "IDCANCEL": 2}

SS_TYPEMASK = 0x1F
BS_TYPEMASK = 0x0F
# A dialog without a STYLE statement; CAPTION adds WS_CAPTION, FONT
# DS_SETFONT, whether STYLE came before or after.
DIALOG_DEFAULT_STYLE = STYLES["WS_POPUP"] | STYLES["WS_BORDER"] | STYLES["WS_SYSMENU"]

# Statement: (parameters before the style, class, style when none is given,
# style the given one is added to). Every control also has WS_CHILD and
# WS_VISIBLE unless the template says NOT. These are the resource
# compiler's own defaults; the Win32 window test checks the real windows
# against them.
TEXT_FIRST = ("text", "id", "x", "y", "width", "height")
ID_FIRST = ("id", "x", "y", "width", "height")
STATEMENTS = {
    "LTEXT": (TEXT_FIRST, "Static", STYLES["SS_LEFT"] | STYLES["WS_GROUP"], STYLES["SS_LEFT"]),
    "RTEXT": (TEXT_FIRST, "Static", STYLES["SS_RIGHT"] | STYLES["WS_GROUP"], STYLES["SS_RIGHT"]),
    "CTEXT": (TEXT_FIRST, "Static", STYLES["SS_CENTER"] | STYLES["WS_GROUP"], STYLES["SS_CENTER"]),
    "EDITTEXT": (ID_FIRST, "Edit", 0x00810000, 0x00810000),  # ES_LEFT | WS_BORDER | WS_TABSTOP
    "COMBOBOX": (ID_FIRST, "ComboBox", STYLES["CBS_SIMPLE"] | STYLES["WS_TABSTOP"], 0),
    "PUSHBUTTON": (TEXT_FIRST, "Button", STYLES["WS_TABSTOP"], STYLES["WS_TABSTOP"]),
    "DEFPUSHBUTTON": (TEXT_FIRST, "Button", 0x00010001, 0x00010001),  # BS_DEFPUSHBUTTON | WS_TABSTOP
    "CONTROL": (("text", "id", "class", "style", "x", "y", "width", "height"), None, 0, 0),
}


class RcError(Exception):
    pass


class Macro(str):
    """A control text given by a macro name instead of a quoted string."""


def read_defines(path):
    defines = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"\s*#define\s+(\w+)\s+(-?(?:0x[0-9A-Fa-f]+|\d+))\s*(?://.*)?$", line)
            if m:
                defines[m.group(1)] = int(m.group(2), 0)
    return defines


TOKEN = re.compile(r'\s*(?:("(?:[^"\\]|\\.|"")*")|(-?0x[0-9A-Fa-f]+L?|-?\d+L?)|(\w+)|([,|]))')

# windres's escapes: \a is a backspace as \b is (its own quirk), octal takes
# up to three digits and hex up to two; "" is a quote.
ESCAPES = {"a": "\b", "b": "\b", "f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v",
           "\\": "\\", '"': '"'}
ESCAPE = re.compile(r'\\([0-7]{1,3}|[xX][0-9A-Fa-f]{0,2}|.?)|""', re.S)


def rc_string(quoted, where):
    """The text of a quoted .rc string as windres reads it."""
    def one(m):
        if m.group(0) == '""':
            return '"'
        esc = m.group(1)
        if not esc:
            raise RcError("%s: a backslash ends %s" % (where, quoted))
        if esc[:1] in ESCAPES:
            return ESCAPES[esc]
        if esc[:1] in "01234567" and esc:
            return chr(int(esc, 8))
        if esc[:1] in "xX":
            return chr(int(esc[1:] or "0", 16))
        raise RcError("%s: unknown escape \\%s in %s" % (where, esc, quoted))
    return ESCAPE.sub(one, quoted[1:-1])


def tokens(text, where):
    out = []
    pos = 0
    text = text.rstrip()
    while pos < len(text):
        m = TOKEN.match(text, pos)
        if not m:
            raise RcError("%s: cannot read %r" % (where, text[pos:].strip()))
        pos = m.end()
        string, number, word, punct = m.groups()
        if string is not None:
            out.append(("str", rc_string(string, where)))
        elif number is not None:
            out.append(("num", int(number.rstrip("L"), 0)))
        elif word is not None:
            out.append(("word", word))
        else:
            out.append(("punct", punct))
    return out


class Reader:
    def __init__(self, toks, where, names):
        self.toks, self.where, self.names, self.i = toks, where, names, 0

    def fail(self, what):
        raise RcError("%s: %s" % (self.where, what))

    def done(self):
        return self.i >= len(self.toks)

    def end(self, what):
        """Refuses whatever follows the parameters understood."""
        if not self.done():
            self.fail("%s: %r is not read here" % (what, self.toks[self.i][1]))

    def peek(self):
        return self.toks[self.i] if self.i < len(self.toks) else (None, None)

    def take(self):
        if self.done():
            self.fail("statement ends too early")
        self.i += 1
        return self.toks[self.i - 1]

    def comma(self):
        if self.take() != ("punct", ","):
            self.fail("expected a comma")

    def number(self):
        kind, value = self.take()
        if kind == "num":
            return value
        if kind == "word" and value in self.names:
            return self.names[value]
        self.fail("not a number or known name: %r" % (value,))

    def string(self):
        kind, value = self.take()
        if kind != "str":
            self.fail("expected a quoted text, found %r" % (value,))
        return value

    def style(self, start):
        """A | B | NOT C ...: names are added, NOT names taken away."""
        style = start
        while True:
            negate = self.peek() == ("word", "NOT")
            if negate:
                self.take()
            kind, value = self.take()
            if kind == "num":
                bits = value
            elif kind == "word" and value in STYLES:
                bits = STYLES[value]
            else:
                self.fail("unknown style %r" % (value,))
            style = style & ~bits if negate else style | bits
            if self.peek() != ("punct", "|"):
                return style
            self.take()


def kind_of(cls, style, where):
    if cls == "Static":
        return "Icon" if style & SS_TYPEMASK == STYLES["SS_ICON"] else "Static"
    if cls == "Edit":
        return "MultiLineEdit" if style & STYLES["ES_MULTILINE"] else "Edit"
    if cls == "ComboBox":
        return "ComboBox"
    if cls == "Button":
        kinds = {STYLES["BS_PUSHBUTTON"]: "PushButton", STYLES["BS_DEFPUSHBUTTON"]: "DefPushButton",
                 STYLES["BS_AUTOCHECKBOX"]: "CheckBox"}
        if style & BS_TYPEMASK in kinds:
            return kinds[style & BS_TYPEMASK]
    raise RcError("%s: no Qt counterpart for a %s control with style 0x%X" % (where, cls, style))


def parse_control(keyword, toks, where, names):
    if keyword == "ICON":
        raise RcError('%s: windres drops the size of an ICON statement: write it as '
                      'CONTROL icon, id, "Static", SS_ICON, x, y, width, height' % where)
    if keyword not in STATEMENTS:
        raise RcError("%s: unknown control statement %s" % (where, keyword))
    params, cls, default_style, base_style = STATEMENTS[keyword]
    r = Reader(toks, where, names)
    common = STYLES["WS_CHILD"] | STYLES["WS_VISIBLE"]
    c = {"text": ""}
    for n, param in enumerate(params):
        if n:
            r.comma()
        if param == "text":
            kind, value = r.peek()
            if kind == "str":
                c["text"] = r.string()
            elif kind == "word" and value not in names:
                # A text macro of a header the .rc includes (the version
                # line): the generated header includes that header too.
                r.take()
                c["text"] = Macro(value)
            else:
                r.number()  # an image static names its image by number

        elif param == "class":
            cls = r.string()
        elif param == "style":
            c["style"] = r.style(common)
        else:
            c[param] = r.number()
    if keyword != "CONTROL":
        if r.done():
            c["style"] = common | default_style
        else:
            r.comma()
            c["style"] = r.style(common | base_style)
    if not r.done():
        r.fail("extended styles and help ids are not read here")
    c["class"] = cls
    c["kind"] = kind_of(cls, c["style"], where)
    return c


def parse_dialogs(rc_path, names):
    with open(rc_path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    dialogs = {}
    i = 0
    while i < len(lines):
        m = re.match(r"\s*(\w+)\s+(DIALOG|DIALOGEX)\s+(.*)$", lines[i])
        i += 1
        if not m:
            continue
        where = "%s:%d" % (rc_path, i)
        r = Reader(tokens(m.group(3), where), where, names)
        name = m.group(1)
        d = {"id": names[name] if name in names else int(name) if name.isdigit() else None}
        if d["id"] is None:
            raise RcError("%s: unknown dialog name %s" % (where, name))
        for n, param in enumerate(("x", "y", "width", "height")):
            if n:
                r.comma()
            d[param] = r.number()
        r.end("a %s header has x, y, width and height only" % m.group(2))
        d.update(caption="", style=DIALOG_DEFAULT_STYLE, exstyle=0, font=(8, "MS Sans Serif"),
                 controls=[])
        # Header statements up to BEGIN. As windres does, STYLE starts from
        # what CAPTION and FONT before it added, not from the default, and
        # NOT takes a bit away from what is there so far.
        added = 0
        while i < len(lines) and lines[i].strip() != "BEGIN":
            where = "%s:%d" % (rc_path, i + 1)
            head = strip_comment(lines[i]).split(None, 1)
            i += 1
            if not head:
                continue
            r = Reader(tokens(head[1] if len(head) > 1 else "", where), where, names)
            if head[0] == "STYLE":
                d["style"] = r.style(added)
            elif head[0] == "EXSTYLE":
                d["exstyle"] = r.style(0)
            elif head[0] in ("CAPTION", "FONT"):
                bit = STYLES["WS_CAPTION"] if head[0] == "CAPTION" else STYLES["DS_SETFONT"]
                added |= bit
                d["style"] |= bit
                if head[0] == "CAPTION":
                    d["caption"] = r.string()
                else:
                    size = r.number()
                    r.comma()
                    d["font"] = (size, r.string())
            elif head[0] == "LANGUAGE":
                # Which language the resource is filed under; no layout.
                r.take()
                r.comma()
                r.take()
            else:
                raise RcError("%s: unknown dialog statement %s" % (where, head[0]))
            r.end(head[0])
        i += 1
        # Controls up to END; a statement goes on to the next line after a
        # trailing comma or |.
        statement = None
        while True:
            if i >= len(lines):
                raise RcError("%s: dialog without END" % rc_path)
            line = strip_comment(lines[i]).strip()
            i += 1
            if statement and statement[2].rstrip().endswith((",", "|")):
                statement[2] += " " + line
                continue
            starts = re.match(r"([A-Z]+)\s+(.*)$", line)
            if statement:
                d["controls"].append(parse_control(statement[0], tokens(statement[2], statement[1]),
                                                   statement[1], names))
                statement = None
            if line == "END":
                break
            if not line:
                continue
            if not starts:
                raise RcError("%s:%d: cannot read %r" % (rc_path, i, line))
            statement = [starts.group(1), "%s:%d" % (rc_path, i), starts.group(2)]
        dialogs[d["id"]] = d
    return dialogs


def strip_comment(line):
    """The line without a // comment (one inside quotes stays)."""
    m = re.match(r'((?:[^"/]|"(?:[^"]|"")*"|/(?!/))*)', line)
    return m.group(1)


def c_string(text):
    if isinstance(text, Macro):
        return str(text)
    out = []
    for byte in text.encode("utf-8"):
        ch = chr(byte)
        if ch in '"\\':
            out.append("\\" + ch)
        elif 0x20 <= byte < 0x7F:
            out.append(ch)
        else:
            out.append("\\%03o" % byte)
    return '"' + "".join(out) + '"'


def text_headers(rc_path, ids_path):
    """The headers the .rc includes besides the ids and the system's."""
    with open(rc_path, encoding="utf-8") as f:
        found = re.findall(r'^\s*#\s*include\s+"([^"]+)"', f.read(), re.M)
    return [h for h in found if os.path.basename(h) != os.path.basename(ids_path)]


def write_header(dialogs, names, out, headers):
    by_name = {v: k for k, v in names.items() if k.startswith("ID")}
    wanted = (("MAIN_DIALOG", "IDD_MAIN"), ("ABOUT_DIALOG", "IDD_ABOUTBOX"))
    lines = [
        "// Written by res/gen_dialog_template.py from res/korvanel.rc at build",
        "// time: change the .rc, not this file.",
        "#pragma once",
        "",
    ]
    if any(isinstance(c["text"], Macro) for d in dialogs.values() for c in d["controls"]):
        lines += ['#include "%s"' % h for h in headers] + [""]
    lines += [
        "namespace korvanel {",
        "",
        "enum class ControlKind { Static, Icon, Edit, MultiLineEdit, ComboBox, PushButton, DefPushButton, CheckBox };",
        "",
        "struct ControlTemplate {",
        "    int id;",
        "    ControlKind kind;",
        "    const char* className;  // the Win32 window class",
        "    const char* text;",
        "    unsigned long style;    // the window style the resource compiler writes",
        "    bool visible;",
        "    bool enabled;",
        "    bool tabStop;",
        "    int x, y, width, height;  // dialog units",
        "};",
        "",
    ]
    for prefix, name in wanted:
        if name not in names or names[name] not in dialogs:
            raise RcError("no dialog %s in the .rc" % name)
        d = dialogs[names[name]]
        lines.append("// Template %d (%s), in template order (which is the tab order)." % (d["id"], name))
        lines.append("inline constexpr ControlTemplate %s_CONTROLS[] = {" % prefix)
        for c in d["controls"]:
            style = c["style"]
            ident = by_name.get(c["id"], "")
            lines.append("    {%d /* %s */, ControlKind::%s, %s, %s, 0x%08XUL, %s, %s, %s, %d, %d, %d, %d}," % (
                c["id"], ident, c["kind"], c_string(c["class"]), c_string(c["text"]), style,
                "true" if style & STYLES["WS_VISIBLE"] else "false",
                "false" if style & STYLES["WS_DISABLED"] else "true",
                "true" if style & STYLES["WS_TABSTOP"] else "false",
                c["x"], c["y"], c["width"], c["height"]))
        lines += [
            "};",
            "inline constexpr int %s_CONTROL_COUNT = %d;" % (prefix, len(d["controls"])),
            "inline constexpr int %s_X_DU = %d;" % (prefix, d["x"]),
            "inline constexpr int %s_Y_DU = %d;" % (prefix, d["y"]),
            "inline constexpr int %s_WIDTH_DU = %d;" % (prefix, d["width"]),
            "inline constexpr int %s_HEIGHT_DU = %d;" % (prefix, d["height"]),
            "inline constexpr const char* %s_CAPTION = %s;" % (prefix, c_string(d["caption"])),
            "inline constexpr unsigned long %s_STYLE = 0x%08XUL;" % (prefix, d["style"]),
            "inline constexpr unsigned long %s_EXSTYLE = 0x%08XUL;" % (prefix, d["exstyle"]),
            "inline constexpr int %s_FONT_POINTS = %d;" % (prefix, d["font"][0]),
            "inline constexpr const char* %s_FONT_FACE = %s;" % (prefix, c_string(d["font"][1])),
            "",
        ]
    lines.append("} // namespace korvanel")
    text = "\n".join(lines) + "\n"
    try:
        with open(out, encoding="utf-8") as f:
            if f.read() == text:
                return  # unchanged: nothing that includes it is rebuilt
    except OSError:
        pass
    with open(out, "w", encoding="utf-8") as f:
        f.write(text)


def main(argv):
    if len(argv) != 4:
        sys.stderr.write("usage: gen_dialog_template.py RC_FILE RESOURCE_H OUTPUT_H\n")
        return 2
    try:
        names = dict(STANDARD_IDS)
        names.update(read_defines(argv[2]))
        write_header(parse_dialogs(argv[1], names), names, argv[3], text_headers(argv[1], argv[2]))
    except (RcError, OSError) as e:
        sys.stderr.write("gen_dialog_template: %s\n" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
