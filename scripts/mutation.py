#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Mutation testing of the driver, its two libraries, the HTTPS boot trust library and the BMC's core against the host tests.

One fault at a time is put into a scratch copy of the sources (build/mutation/
by default; the worktree's own files are never touched): a relational,
arithmetic, bitwise or logical operator swapped, an integer constant moved by
one, TRUE and FALSE exchanged, a condition negated, a call or statement
deleted, two arguments of a call or two entries of a constant table swapped,
a return value changed. For each such mutant only the host test executables
that link the mutated file are rebuilt (GCC, no sanitizers, -O0, one
configured build tree, so a mutant costs one object and its links) and run
with a time limit (ten times the unmutated run, at least --timeout). A mutant
is

  killed      a test executable failed (or crashed),
  timed out   a test executable ran past its limit (detected, like killed),
  survived    every test passed: a fault the tests let through,
  build fail  the mutant did not compile (not counted).

Mutants that cannot change behaviour are listed, each with its reason, in
mutation-equivalents.txt beside this script; nothing else is excused. The
score of a file is (killed + timed out) / (compiled - equivalent).

The set of mutants is fixed by the sources: every mutant has a stable id
(file stem and a hash of the site and the change), and the same sources give
the same set, in the same order. Results are kept in <scratch>/state.json,
keyed by id and by a fingerprint of every source and test file, so an
interrupted run resumes where it stopped and a change to any of them
invalidates the old results.

  mutation.py list [FILE...]              every mutant: id, site, change
  mutation.py run [--sample N] [--seed S] [--files FILE...] [--ids ID...]
                  [--only-survivors]      run (or resume) them
  mutation.py report                      the last results, per file
  mutation.py show ID                     one mutant's diff

`run --sample N` picks N non-equivalent mutants (seeded, spread over the
files) and fails when one of them survives; CTest runs it as mutation.sample.
A full run fails when a file scores under --min-score (default 95).
"""

import argparse
import difflib
import hashlib
import json
import os
import random
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EQUIVALENTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mutation-equivalents.txt")

DRIVER = "TolmVexaPkg/Feature/TolmVexaHttpsBootCertMgmtDxe"
DRIVER_TESTS = ["store_messages_tests", "driver_tests", "service_tests", "diagnostics_tests"]
LIBRARY_TESTS = ["diagnostics_tests"]
BMC_TESTS = ["vexa_core_tests"]
TRUST_TESTS = ["https_trust_tests"]
KIV_TESTS = ["kiv_blob_tests"]

# The mutated files and the host test executables that link each of them (the
# diagnostics tests start the whole image, so they link the driver too).
SOURCES = {
    DRIVER + "/TolmVexaHttpsBootCertMgmtDxe.cpp": DRIVER_TESTS,
    DRIVER + "/VexaMessages.cpp": DRIVER_TESTS,
    DRIVER + "/CertStore.cpp": DRIVER_TESTS,
    DRIVER + "/CertSync.cpp": DRIVER_TESTS,
    DRIVER + "/PoolBuffer.h": DRIVER_TESTS,
    "TolmVexaPkg/Library/DebugLib/DebugLib.cpp": LIBRARY_TESTS,
    "TolmVexaPkg/Library/DebugLib/DebugErrorLevel.cpp": LIBRARY_TESTS,
    "TolmVexaPkg/Library/SerialPortLib/SerialPortLib.cpp": LIBRARY_TESTS,
    "TolmVexaPkg/Library/SerialPortLib/PlatformHookLib.cpp": LIBRARY_TESTS,
    "TolmVexaPkg/Library/HttpsBootTrustLib/HttpsBootTrustLib.cpp": TRUST_TESTS,
    "TolmVexaPkg/Feature/KivIpmiBlobDxe/KivIpmiBlobDxe.cpp": KIV_TESTS,
    "VexaBmc/Source/VexaCore.cpp": BMC_TESTS,
}

TEST_EXECUTABLES = sorted(set(DRIVER_TESTS + LIBRARY_TESTS + TRUST_TESTS + KIV_TESTS + BMC_TESTS))
# The folders of the scratch build that hold each test executable.
EXECUTABLE_DIRS = {name: "VexaBmc" for name in BMC_TESTS}
# The trees copied into the scratch folder.
COPIED_TREES = ("TolmVexaPkg", "VexaBmc")

# ---------------------------------------------------------------------------
# Lexing
# ---------------------------------------------------------------------------

TOKEN_RE = re.compile(
    r"""
    (?P<ws>[ \t]+)
  | (?P<nl>\n)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<string>(?:L|u8|u|U)?"(?:\\.|[^"\\\n])*")
  | (?P<char>(?:L|u|U)?'(?:\\.|[^'\\\n])*')
  | (?P<number>0[xX][0-9A-Fa-f]+[uUlL]*|\d+[uUlL]*)
  | (?P<ident>[A-Za-z_]\w*)
  | (?P<op><<=|>>=|->|\+\+|--|<<|>>|<=|>=|==|!=|&&|\|\||\+=|-=|\*=|/=|%=|&=|\|=|\^=|::|[-+*/%<>=!&|^~?:;,.(){}\[\]\#])
  | (?P<other>.)
    """,
    re.VERBOSE | re.DOTALL,
)


class Token:
    __slots__ = ("kind", "text", "start", "end", "line")

    def __init__(self, kind, text, start, end, line):
        self.kind, self.text, self.start, self.end, self.line = kind, text, start, end, line

    def __repr__(self):
        return "%s(%r)" % (self.kind, self.text)


def lex(source):
    """Code tokens with offsets and 1-based lines; comments, blanks and
    preprocessor lines are dropped."""
    tokens = []
    line = 1
    at_line_start = True
    in_directive = False
    for m in TOKEN_RE.finditer(source):
        kind = m.lastgroup
        text = m.group()
        if kind == "nl":
            if not (in_directive and tokens_continue(source, m.start())):
                in_directive = False
            line += 1
            at_line_start = True
            continue
        if kind == "comment":
            line += text.count("\n")
            continue
        if kind == "ws":
            continue
        if at_line_start and text == "#":
            in_directive = True
        at_line_start = False
        if in_directive:
            continue
        tokens.append(Token(kind, text, m.start(), m.end(), line))
    return tokens


def tokens_continue(source, newline_at):
    """TRUE when the line ending at newline_at ends in a backslash."""
    return newline_at > 0 and source[newline_at - 1] == "\\"


def matching(tokens, index):
    """Index of the bracket closing the one at tokens[index]."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    opening = tokens[index].text
    closing = pairs[opening]
    depth = 0
    for j in range(index, len(tokens)):
        if tokens[j].text == opening:
            depth += 1
        elif tokens[j].text == closing:
            depth -= 1
            if depth == 0:
                return j
    raise ValueError("unbalanced %s at line %d" % (opening, tokens[index].line))


def top_level_items(tokens, open_, close):
    """The comma-separated items between the bracket at tokens[open_] and its
    match at tokens[close], as (first, last) token indexes; empty ones (a
    trailing comma) left out."""
    items = []
    depth = 0
    start = open_ + 1
    for j in range(open_ + 1, close + 1):
        if j == close or (tokens[j].text == "," and depth == 0):
            if j > start:
                items.append((start, j - 1))
            start = j + 1
        elif tokens[j].text in ("(", "[", "{"):
            depth += 1
        elif tokens[j].text in (")", "]", "}"):
            depth -= 1
    return items


# ---------------------------------------------------------------------------
# The mutants of one file
# ---------------------------------------------------------------------------

KEYWORDS = {
    "if", "else", "for", "while", "do", "switch", "case", "default", "return", "break", "continue",
    "sizeof", "static_assert", "STATIC_ASSERT", "OFFSET_OF", "ARRAY_SIZE", "DEBUG", "ASSERT",
    "PERF_START", "PERF_END", "namespace", "class", "struct", "typedef", "template", "using",
    "operator", "new", "delete", "const", "constexpr", "static", "extern", "CONST", "STATIC",
}
NOT_CALLS = KEYWORDS | {"__attribute__", "EFIAPI", "IN", "OUT", "OPTIONAL", "VA_START", "VA_END"}
STATUS_TYPES = {"EFI_STATUS", "RETURN_STATUS"}
BOOLEAN_TYPES = {"BOOLEAN", "bool"}
INTEGER_TYPES = {"UINT8", "UINT16", "UINT32", "UINT64", "UINTN", "INTN", "int", "unsigned"}
SWAPS = {
    "<": ["<="], "<=": ["<"], ">": [">="], ">=": [">"], "==": ["!="], "!=": ["=="],
    "+": ["-"], "-": ["+"], "*": ["/"], "/": ["*"], "%": ["*"], "<<": [">>"], ">>": ["<<"],
    "&": ["|"], "|": ["&"], "^": ["&"], "&&": ["||"], "||": ["&&"],
    "+=": ["-="], "-=": ["+="], "|=": ["&="], "&=": ["|="], "++": ["--"], "--": ["++"],
}


class Mutant:
    __slots__ = ("id", "file", "line", "kind", "start", "end", "replacement", "original")

    def to_source(self, source):
        return source[: self.start] + self.replacement + source[self.end :]

    def describe(self):
        original = " ".join(self.original.split())
        replacement = " ".join(self.replacement.split()) or "(deleted)"
        if len(original) > 70:
            original = original[:67] + "..."
        if len(replacement) > 70:
            replacement = replacement[:67] + "..."
        return "%s: %s -> %s" % (self.kind, original, replacement)


def is_value_end(token):
    """TRUE when a binary operator may follow this token."""
    return token.kind in ("ident", "number", "string", "char") or token.text in (")", "]")


def spaced(source, token):
    """TRUE when the operator stands between blanks, as binary operators do
    in this code's style (a unary or pointer '*' or '&' touches its operand)."""
    return (
        token.start > 0
        and source[token.start - 1] in " \t\n"
        and token.end < len(source)
        and source[token.end] in " \t\n"
    )


def literal_variants(text):
    """The constant moved by one, in its own notation and suffix."""
    m = re.match(r"(0[xX])?([0-9A-Fa-f]+)([uUlL]*)$", text)
    prefix, digits, suffix = m.group(1), m.group(2), m.group(3)
    value = int(digits, 16 if prefix else 10)
    out = []
    for new in (value - 1, value + 1):
        if new < 0:
            continue
        if prefix:
            body = "%0*X" % (len(digits), new)
            out.append(prefix + body + suffix)
        else:
            out.append(str(new) + suffix)
    return out


def argument_kind(tokens):
    """'null', 'pointer', 'integer', 'constant' or 'unknown', from the look
    of a call argument."""
    texts = [x.text for x in tokens]
    if texts in (["NULL"], ["nullptr"], ["__FILE__"], ["__LINE__"]) or texts[-2:] == [")", "NULL"]:
        return "null"
    if texts[0] == "&" or (texts[0] == "(" and len(texts) > 2 and texts[texts.index(")") - 1] == "*"):
        return "pointer"
    if texts[0] in ("sizeof", "OFFSET_OF") or all(x.kind == "number" for x in tokens):
        return "constant" if all(x.kind == "number" for x in tokens) else "integer"
    if texts[0] == "(" and len(texts) > 2 and texts[1] in INTEGER_TYPES:
        return "integer"
    if len(tokens) == 1 and re.match(r"^[A-Z][A-Z0-9_]+$", texts[0]):
        return "integer"
    return "unknown"


class FileMutator:
    def __init__(self, path, source):
        self.path = path
        self.source = source
        self.tokens = lex(source)
        self.mutants = []
        self.skip = [False] * len(self.tokens)
        self.functions = []      # (body_open, body_close, return_type)
        self._mark_skipped()
        self._find_functions()
        if path.startswith("VexaBmc/"):
            self._find_functions_cpp()

    # --- regions no mutant touches -----------------------------------------

    def _mark_skipped(self):
        t = self.tokens
        for i, tok in enumerate(t):
            # Compile-time checks: a mutant there only fails to build.
            if tok.text in ("static_assert", "STATIC_ASSERT") and i + 1 < len(t) and t[i + 1].text == "(":
                for j in range(i, matching(t, i + 1) + 1):
                    self.skip[j] = True

    def _find_functions(self):
        """Function definitions in this code's style: the name and '(' end a
        line, the return type stands on the lines above at the same indent,
        the body follows the parameter list."""
        t = self.tokens
        lines = self.source.split("\n")
        for i in range(len(t) - 1):
            if t[i].kind != "ident" or t[i + 1].text != "(" or t[i].text in NOT_CALLS:
                continue
            line_text = lines[t[i].line - 1]
            if not re.match(r"^\s*~?[A-Za-z_]\w* \($", line_text):
                continue
            close = matching(t, i + 1)
            j = close + 1
            while j < len(t) and t[j].text in ("const", "override", "noexcept"):
                j += 1
            if j < len(t) and t[j].text == ":":      # constructor initialisers
                while j < len(t) and t[j].text != "{":
                    j += 1
            if j >= len(t) or t[j].text != "{":
                continue
            indent = len(line_text) - len(line_text.lstrip())
            return_type = []
            k = t[i].line - 2
            while k >= 0:
                above = lines[k]
                if not above.strip() or len(above) - len(above.lstrip()) != indent:
                    break
                stripped = above.strip()
                if stripped.startswith(("//", "/*", "*", "}", "#")) or stripped.endswith((";", "{", "}", ")")):
                    break
                return_type.insert(0, stripped)
                k -= 1
            self.functions.append((j, matching(t, j), " ".join(return_type)))

    def _find_functions_cpp(self):
        """Function definitions in the BMC's C++ style: the return type, the
        (qualified) name and the parameters, then '{' on the same line or
        after constructor initialisers; member functions of classes too.
        Bodies are not searched for further definitions (lambdas belong to
        their function)."""
        t = self.tokens
        lines = self.source.split("\n")
        i = 0
        while i < len(t) - 1:
            tok, prev = t[i], t[i - 1] if i > 0 else None
            if (tok.kind == "ident" and t[i + 1].text == "(" and tok.text not in NOT_CALLS and prev is not None
                    and (prev.kind == "ident" or prev.text in ("::", ">", "*", "&")) and prev.text != "return"):
                close = matching(t, i + 1)
                j = close + 1
                while j < len(t) and t[j].text in ("const", "override", "noexcept"):
                    j += 1
                if j < len(t) and t[j].text == ":":
                    while j < len(t) and t[j].text not in ("{", ";"):
                        j += 1
                if j < len(t) and t[j].text == "{":
                    first = i
                    while first >= 2 and t[first - 1].text == "::" and t[first - 2].kind == "ident":
                        first -= 2
                    line_text = lines[t[first].line - 1]
                    column = t[first].start - (self.source.rfind("\n", 0, t[first].start) + 1)
                    return_type = line_text[:column].strip()
                    body_close = matching(t, j)
                    self.functions.append((j, body_close, return_type))
                    i = body_close + 1
                    continue
            i += 1

    def function_of(self, index):
        best = None
        for open_, close, rtype in self.functions:
            if open_ < index < close and (best is None or open_ > best[0]):
                best = (open_, close, rtype)
        return best

    def in_body(self, index):
        return self.function_of(index) is not None

    # --- recording ------------------------------------------------------------

    def add(self, kind, start, end, replacement):
        original = self.source[start:end]
        if original == replacement:
            return
        m = Mutant()
        m.file = self.path
        m.kind = kind
        m.start, m.end = start, end
        m.replacement = replacement
        m.original = original
        m.line = self.source.count("\n", 0, start) + 1
        self.mutants.append(m)

    def finish(self):
        """Stable ids: the file, the text of the lines the mutant touches
        with the offset inside them, the change, and which of several
        identical such sites in the file it is."""
        seen = {}
        stem = os.path.splitext(os.path.basename(self.path))[0]
        for m in self.mutants:
            line_start = self.source.rfind("\n", 0, m.start) + 1
            line_end = self.source.find("\n", m.end)
            context = self.source[line_start:line_end if line_end >= 0 else len(self.source)]
            key = "\0".join([m.kind, " ".join(context.split()), str(m.start - line_start), m.replacement])
            seen[key] = seen.get(key, 0) + 1
            digest = hashlib.sha1((key + "\0" + str(seen[key])).encode()).hexdigest()[:8]
            m.id = "%s-%s" % (stem, digest)
        self.mutants.sort(key=lambda m: (m.start, m.kind, m.replacement))
        return self.mutants

    # --- the operators --------------------------------------------------------

    def generate(self):
        t = self.tokens
        tables = self._table_initialisers()
        for i, tok in enumerate(t):
            if self.skip[i]:
                continue
            prev = t[i - 1] if i > 0 else None
            nxt = t[i + 1] if i + 1 < len(t) else None
            if tok.text == "{" and not self.in_body(i):
                self._statement_after(i)                 # a function's first statement
            if not self.in_body(i):
                # Outside functions only the constants of data tables.
                if tok.kind == "number" and i in tables:
                    for new in literal_variants(tok.text):
                        self.add("constant", tok.start, tok.end, new)
                continue

            # Relational, arithmetic, bitwise and logical operators.
            if tok.kind == "op" and tok.text in SWAPS:
                if tok.text in ("++", "--"):
                    ok = True
                elif tok.text in ("*", "&", "-", "+", "<", ">"):
                    ok = prev is not None and is_value_end(prev) and spaced(self.source, tok)
                else:
                    ok = prev is not None and is_value_end(prev)
                if ok:
                    for new in SWAPS[tok.text]:
                        self.add("operator", tok.start, tok.end, new)

            # Integer constants moved by one.
            if tok.kind == "number" and not (prev is not None and prev.text == "["):
                for new in literal_variants(tok.text):
                    self.add("constant", tok.start, tok.end, new)

            # TRUE <-> FALSE.
            if tok.text in ("TRUE", "FALSE"):
                self.add("constant", tok.start, tok.end, "FALSE" if tok.text == "TRUE" else "TRUE")

            # Conditions negated.
            if tok.text in ("if", "while") and nxt is not None and nxt.text == "(":
                close = matching(t, i + 1)
                self.add("negate", t[i + 2].start, t[close - 1].end,
                         "!(" + self.source[t[i + 2].start : t[close - 1].end] + ")")
            if tok.text == "for" and nxt is not None and nxt.text == "(":
                close = matching(t, i + 1)
                semis = [j for j in range(i + 2, close) if t[j].text == ";"]
                if len(semis) == 2 and semis[1] > semis[0] + 1:
                    a, b = semis[0] + 1, semis[1] - 1
                    self.add("negate", t[a].start, t[b].end, "!(" + self.source[t[a].start : t[b].end] + ")")
            if tok.text == "?" and prev is not None and prev.kind == "ident" and (i < 2 or t[i - 2].text not in (".", "->")):
                self.add("negate", prev.start, prev.end, "!" + prev.text)

            # Statements deleted.
            if tok.text == "{" or tok.text == ";" or tok.text == "}" or tok.text == ":" and prev is not None and prev.text in ("default",):
                self._statement_after(i)

            # Arguments swapped.
            if tok.kind == "ident" and nxt is not None and nxt.text == "(" and tok.text not in NOT_CALLS:
                self._swap_arguments(i)

            # Return values changed.
            if tok.text == "return":
                self._return_value(i)
        return self.finish()

    def _table_initialisers(self):
        """Token indexes inside the braced initialisers of data at file or
        namespace scope ('= { ... };'). Adjacent entries of such a table are
        swapped as mutants of their own."""
        t = self.tokens
        inside = set()
        for i in range(len(t) - 1):
            if t[i].text == "=" and t[i + 1].text == "{" and not self.in_body(i) and not self.skip[i]:
                close = matching(t, i + 1)
                inside.update(range(i + 1, close + 1))
                entries = top_level_items(t, i + 1, close)
                for (a0, a1), (b0, b1) in zip(entries, entries[1:]):
                    a = self.source[t[a0].start : t[a1].end]
                    b = self.source[t[b0].start : t[b1].end]
                    if a != b:
                        middle = self.source[t[a1].end : t[b0].start]
                        self.add("swap", t[a0].start, t[b1].end, b + middle + a)
        return inside

    def _statement_after(self, index):
        """The statement that begins after token index (a block or statement
        boundary): deleted when it is a call, an assignment, an increment,
        a break or continue, or a return that does not end its function."""
        t = self.tokens
        i = index + 1
        if i >= len(t) or self.skip[i] or not self.in_body(i):
            return
        first = t[i]
        # The end of the statement: the ';' at depth 0.
        depth = 0
        j = i
        while j < len(t):
            if t[j].text in ("(", "[", "{"):
                depth += 1
            elif t[j].text in (")", "]", "}"):
                depth -= 1
                if depth < 0:
                    return
            elif t[j].text == ";" and depth == 0:
                break
            j += 1
        if j >= len(t):
            return
        texts = [x.text for x in t[i:j]]
        if not texts:
            return
        if first.text in ("break", "continue"):
            pass
        elif first.text == "return":
            # A return that the function's closing brace follows ends the
            # function anyway; only an early return is deleted.
            fn = self.function_of(i)
            if fn is None or j + 1 == fn[1]:
                return
        elif first.text in ("VA_START", "VA_END"):
            return                                     # argument-list bookkeeping, not behaviour
        elif first.text in ("DEBUG", "ASSERT") or first.text.startswith("ASSERT_"):
            pass                                       # a message or an assertion
        elif first.kind == "ident" and first.text not in KEYWORDS:
            k = 0
            # A member chain: a.b->c ...
            while k + 2 < len(texts) and texts[k + 1] in (".", "->") and re.match(r"[A-Za-z_]", texts[k + 2]):
                k += 2
            rest = texts[k + 1] if k + 1 < len(texts) else ""
            if rest == "(":
                pass                                   # a call (or a declaration with constructor args)
            elif rest in ("=", "+=", "-=", "|=", "&=", "^=", "<<=", ">>=", "++", "--"):
                pass
            elif rest == "[":
                if "=" not in texts:
                    return
            else:
                return
            # A declaration (two names in a row, or a type) is not deleted.
            if len(texts) > 1 and re.match(r"[A-Za-z_]", texts[1]):
                return
            if first.text in INTEGER_TYPES or first.text in ("EFI_STATUS", "BOOLEAN", "CHAR8", "CHAR16", "VOID"):
                return
        elif first.text in ("*", "++", "--"):
            pass
        else:
            return
        # Delete from the first token through the ';' (the line's indent and
        # end stay, so the diff shows an empty line).
        self.add("delete", first.start, t[j].end, "")

    def _swap_arguments(self, index):
        t = self.tokens
        if index > 0 and t[index - 1].text in ("::",):
            return
        open_ = index + 1
        close = matching(t, open_)
        if close == open_ + 1:
            return
        # Not a function definition or declaration.
        line_text = self.source.split("\n")[t[index].line - 1]
        if re.match(r"^\s*~?[A-Za-z_]\w* \($", line_text) and self.function_of(index) is None:
            return
        if index > 0 and (t[index - 1].kind == "ident" and t[index - 1].text not in ("return",)):
            return    # a declaration: TYPE Name (args)
        args = top_level_items(t, open_, close)
        for (a0, a1), (b0, b1) in zip(args, args[1:]):
            a = self.source[t[a0].start : t[a1].end]
            b = self.source[t[b0].start : t[b1].end]
            if a == b or any(x.kind == "string" or x.text == "[" for x in t[a0 : a1 + 1] + t[b0 : b1 + 1]):
                continue
            kinds = {argument_kind(t[a0 : a1 + 1]), argument_kind(t[b0 : b1 + 1])}
            # Only what can have one type: a pointer never trades places with
            # a number, NULL never with anything, two constants never.
            if "null" in kinds or kinds == {"pointer", "integer"} or kinds == {"constant"}:
                continue
            start_, end_ = t[a0].start, t[b1].end
            middle = self.source[t[a1].end : t[b0].start]
            self.add("swap", start_, end_, b + middle + a)

    def _return_value(self, index):
        t = self.tokens
        fn = self.function_of(index)
        if fn is None:
            return
        j = index + 1
        depth = 0
        while j < len(t) and not (t[j].text == ";" and depth == 0):
            if t[j].text in ("(", "[", "{"):
                depth += 1
            elif t[j].text in (")", "]", "}"):
                depth -= 1
            j += 1
        if j == index + 1:
            return
        expr_start, expr_end = t[index + 1].start, t[j - 1].end
        expr = self.source[expr_start:expr_end]
        rtype = [w for w in fn[2].split() if w not in ("EFIAPI", "STATIC", "static", "inline", "constexpr", "CONST")]
        last = rtype[-1] if rtype else ""
        # Lambdas inside a function return for themselves.
        for k in range(fn[0], index):
            if t[k].text == "[" and k + 1 < len(t) and t[k + 1].text in ("&", "=", "]"):
                close_brace = None
                for m in range(k, fn[1]):
                    if t[m].text == "{":
                        close_brace = matching(t, m)
                        break
                if close_brace is not None and k < index < close_brace:
                    return
        if last in STATUS_TYPES:
            new = "EFI_DEVICE_ERROR" if expr.strip() in ("EFI_SUCCESS", "RETURN_SUCCESS") else "EFI_SUCCESS"
            self.add("return", expr_start, expr_end, new)
        elif last in BOOLEAN_TYPES:
            if expr.strip() in ("TRUE", "FALSE"):
                return           # the constant operator flips it
            self.add("return", expr_start, expr_end, "!(" + expr + ")")
        elif last.endswith("*") or rtype[-1:] == ["*"]:
            if expr.strip() not in ("NULL", "nullptr"):
                self.add("return", expr_start, expr_end, "NULL")
        elif last in INTEGER_TYPES:
            if not re.match(r"^\d+$|^0[xX]", expr.strip()):
                self.add("return", expr_start, expr_end, "0")


def source_path(rel):
    return os.path.join(ROOT, rel)


def all_mutants(files=None):
    out = []
    for rel in SOURCES:
        if files and not any(rel.endswith(f) or os.path.basename(rel) == f for f in files):
            continue
        with open(source_path(rel), encoding="utf-8") as f:
            source = f.read()
        out.extend(FileMutator(rel, source).generate())
    return out


def diff_of(mutant):
    with open(source_path(mutant.file), encoding="utf-8") as f:
        source = f.read()
    new = mutant.to_source(source)
    lines = difflib.unified_diff(
        source.splitlines(True), new.splitlines(True), "a/" + mutant.file, "b/" + mutant.file, n=1
    )
    return "".join(lines)


# ---------------------------------------------------------------------------
# The equivalent mutants
# ---------------------------------------------------------------------------


def load_equivalents():
    """id -> reason. Each entry is a line 'ID  reason'; '#' starts a comment."""
    out = {}
    if not os.path.exists(EQUIVALENTS):
        return out
    with open(EQUIVALENTS, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].rstrip() if line.lstrip().startswith("#") else line.rstrip()
            if not line.strip():
                continue
            parts = line.split(None, 1)
            if len(parts) < 2 or not parts[1].strip():
                sys.exit("%s:%d: an equivalent mutant needs a reason" % (EQUIVALENTS, number))
            out[parts[0]] = parts[1].strip()
    return out


# ---------------------------------------------------------------------------
# The scratch build
# ---------------------------------------------------------------------------


def say(text):
    print("[mutation] " + text, flush=True)


class Scratch:
    """A copy of the package under DIR/src and one configured GCC build of its
    host tests under DIR/build."""

    def __init__(self, directory, jobs):
        self.dir = directory
        self.src = os.path.join(directory, "src")
        self.build = os.path.join(directory, "build")
        self.jobs = jobs
        self.current = None          # the file that holds a mutant now
        self.originals = {}

    def sync(self):
        """Brings the copy in line with the worktree; files whose content is
        unchanged keep their time stamps, so nothing is rebuilt for them."""
        for tree in COPIED_TREES:
            self._sync_tree(tree)
        for rel in SOURCES:
            with open(os.path.join(self.src, rel), encoding="utf-8") as f:
                self.originals[rel] = f.read()

    def _sync_tree(self, tree):
        package = os.path.join(ROOT, tree)
        target = os.path.join(self.src, tree)
        wanted = set()
        for base, dirs, files in os.walk(package):
            dirs[:] = [d for d in dirs if d not in ("Seeds", "__pycache__")]
            for name in files:
                src = os.path.join(base, name)
                rel = os.path.relpath(src, package)
                wanted.add(rel)
                dst = os.path.join(target, rel)
                with open(src, "rb") as f:
                    data = f.read()
                if os.path.exists(dst):
                    with open(dst, "rb") as f:
                        if f.read() == data:
                            continue
                os.makedirs(os.path.dirname(dst), exist_ok=True)
                with open(dst, "wb") as f:
                    f.write(data)
        for base, dirs, files in os.walk(target):
            for name in files:
                rel = os.path.relpath(os.path.join(base, name), target)
                if rel not in wanted:
                    os.remove(os.path.join(base, name))

    def configure(self, edk2):
        os.makedirs(self.build, exist_ok=True)
        command = [
            "cmake", "-S", os.path.join(self.src, "TolmVexaPkg", "Test"), "-B", self.build, "-G", "Ninja",
            "-DEDK2_DIR=" + edk2,
            "-DCMAKE_C_COMPILER=gcc", "-DCMAKE_CXX_COMPILER=g++",
            # The host test bed and the BMC core's tests alone: no EDK II
            # images or on-target runs.
            "-DTOLM_HOST_ONLY_PREFIX=mutation.",
            "-DTOLM_HOST_WITH_BMC=ON",
            "-DTOLM_HOST_SANITIZERS=OFF",
            "-DTOLM_HOST_DEBUG_INFO=OFF",
            "-DTOLM_HOST_WARNINGS_AS_ERRORS=OFF",
            "-DCMAKE_BUILD_TYPE=",
            # Locals the code forgets to set hold a fixed non-zero pattern, so a
            # mutant that deletes an initialisation behaves the same every run.
            "-DCMAKE_C_FLAGS=-O0 -ftrivial-auto-var-init=pattern",
            "-DCMAKE_CXX_FLAGS=-O0 -ftrivial-auto-var-init=pattern",
            "-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold",
            # The test lists are read when a test runs, not after every link.
            "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST",
        ]
        stamp = os.path.join(self.build, "mutation-configure.json")
        if os.path.exists(os.path.join(self.build, "build.ninja")) and os.path.exists(stamp):
            with open(stamp, encoding="utf-8") as f:
                if json.load(f) == command:
                    return
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        with open(stamp, "w", encoding="utf-8") as f:
            json.dump(command if result.returncode == 0 else [], f)
        if result.returncode != 0:
            sys.stderr.write(result.stdout[-3000:])
            sys.exit("[mutation] configuring the scratch build failed")

    def ninja(self, targets):
        result = subprocess.run(
            ["ninja", "-C", self.build, "-j", str(self.jobs)] + targets,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        )
        return result.returncode == 0, result.stdout

    def put(self, rel, text):
        if self.current is not None and self.current != rel:
            self.restore()
        with open(os.path.join(self.src, rel), "w", encoding="utf-8") as f:
            f.write(text)
        self.current = rel

    def restore(self):
        if self.current is not None:
            with open(os.path.join(self.src, self.current), "w", encoding="utf-8") as f:
                f.write(self.originals[self.current])
            self.current = None

    def executable(self, name):
        return os.path.join(self.build, EXECUTABLE_DIRS.get(name, "Host"), name)


def run_test(path, limit):
    """('pass'|'fail'|'timeout', seconds, first failing test)."""
    started = time.monotonic()
    process = subprocess.Popen(
        [path, "--gtest_brief=1", "--gtest_fail_fast"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
        start_new_session=True,
    )
    try:
        output, _ = process.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        return "timeout", time.monotonic() - started, ""
    seconds = time.monotonic() - started
    if process.returncode == 0:
        return "pass", seconds, ""
    failed = re.findall(r"^\[  FAILED  \] (\S+)", output, re.M)
    return "fail", seconds, failed[0] if failed else "exit %d" % process.returncode


def fingerprint():
    """Every file whose change can change a result."""
    digest = hashlib.sha1()
    for base in ("TolmVexaPkg/Feature", "TolmVexaPkg/Library", "TolmVexaPkg/Include", "TolmVexaPkg/Test/Host",
                 "TolmVexaPkg/Test/CMakeLists.txt", "VexaBmc/Source", "VexaBmc/Tests", "VexaBmc/CMakeLists.txt"):
        path = os.path.join(ROOT, base)
        files = [path] if os.path.isfile(path) else sorted(
            os.path.join(b, n) for b, _, ns in os.walk(path) for n in ns
        )
        for name in files:
            digest.update(os.path.relpath(name, ROOT).encode())
            with open(name, "rb") as f:
                digest.update(f.read())
    with open(os.path.abspath(__file__), "rb") as f:
        digest.update(f.read())
    return digest.hexdigest()[:16]


# ---------------------------------------------------------------------------
# Reports
# ---------------------------------------------------------------------------

COUNTED = ("killed", "timeout", "survived")


def summarise(mutants, results, equivalents, out=sys.stdout, diffs=True):
    """Prints the per-file table; returns the per-file scores and the
    survivors that no equivalence excuses."""
    rows = {}
    unexcused = []
    for m in mutants:
        r = results.get(m.id)
        row = rows.setdefault(m.file, {"generated": 0, "build": 0, "killed": 0, "timeout": 0, "survived": 0,
                                       "equivalent": 0, "pending": 0})
        row["generated"] += 1
        status = r["status"] if r else "pending"
        if status == "build":
            row["build"] += 1
        elif m.id in equivalents and status in COUNTED:
            row["equivalent"] += 1
            if status != "survived":
                out.write("note: %s is listed as equivalent but was %s by %s\n" % (m.id, status, r.get("by", "")))
        elif status in COUNTED:
            row[status] += 1
            if status == "survived":
                unexcused.append(m)
        else:
            row["pending"] += 1
    header = "%-34s %9s %6s %6s %7s %8s %5s %7s %7s" % (
        "file", "generated", "build", "killed", "timeout", "survived", "equiv", "pending", "score")
    out.write(header + "\n" + "-" * len(header) + "\n")
    totals = {k: 0 for k in ("generated", "build", "killed", "timeout", "survived", "equivalent", "pending")}
    scores = {}

    def line(name, row):
        counted = row["killed"] + row["timeout"] + row["survived"]
        score = 100.0 * (row["killed"] + row["timeout"]) / counted if counted else 100.0
        out.write("%-34s %9d %6d %6d %7d %8d %5d %7d %6.1f%%\n" % (
            name, row["generated"], row["build"], row["killed"], row["timeout"], row["survived"],
            row["equivalent"], row["pending"], score))
        return score

    for rel in SOURCES:
        if rel in rows:
            scores[rel] = line(os.path.basename(rel), rows[rel])
            for k in totals:
                totals[k] += rows[rel][k]
    out.write("-" * len(header) + "\n")
    scores["all"] = line("all", totals)
    if unexcused:
        out.write("\nSurvivors (%d):\n" % len(unexcused))
        for m in unexcused:
            out.write("\n%s  %s:%d  %s\n" % (m.id, m.file, m.line, m.describe()))
            if diffs:
                out.write(diff_of(m))
    return scores, unexcused


# ---------------------------------------------------------------------------
# Commands
# ---------------------------------------------------------------------------


def pick_sample(mutants, equivalents, count, seed):
    """count mutants, spread over the files in proportion to their mutants,
    never one listed as equivalent."""
    candidates = [m for m in mutants if m.id not in equivalents]
    by_file = {}
    for m in candidates:
        by_file.setdefault(m.file, []).append(m)
    rng = random.Random(seed)
    picked = []
    total = len(candidates)
    quotas = {f: max(1, round(count * len(ms) / total)) for f, ms in by_file.items()}
    for f in sorted(by_file):
        ms = sorted(by_file[f], key=lambda m: m.id)
        picked.extend(rng.sample(ms, min(quotas[f], len(ms))))
    if len(picked) < count:
        rest = sorted((m for m in candidates if m not in picked), key=lambda m: m.id)
        picked.extend(rng.sample(rest, min(count - len(picked), len(rest))))
    rng.shuffle(picked)
    return picked[:count]


def command_list(args):
    mutants = all_mutants(args.files)
    equivalents = load_equivalents()
    for m in mutants:
        mark = " (equivalent)" if m.id in equivalents else ""
        print("%s  %s:%d  %s%s" % (m.id, m.file, m.line, m.describe(), mark))
    print("%d mutants" % len(mutants), file=sys.stderr)


def command_show(args):
    for m in all_mutants():
        if m.id == args.id:
            print("%s  %s:%d  %s" % (m.id, m.file, m.line, m.describe()))
            print(diff_of(m), end="")
            return 0
    sys.exit("no mutant %s" % args.id)


def load_state(path):
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    return {"fingerprint": None, "results": {}}


def save_state(path, state):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(state, f, indent=0, sort_keys=True)
    os.replace(tmp, path)


def command_run(args):
    started = time.monotonic()
    mutants = all_mutants(args.files)
    equivalents = load_equivalents()
    known = {m.id for m in all_mutants()}
    stale = sorted(set(equivalents) - known)
    if stale and not args.files:
        say("listed as equivalent but no longer generated (update %s): %s" % (
            os.path.basename(EQUIVALENTS), " ".join(stale)))
        if not args.sample:
            return 2

    if args.sample:
        chosen = pick_sample(mutants, equivalents, args.sample, args.seed)
    elif args.ids:
        chosen = [m for m in mutants if m.id in set(args.ids)]
    else:
        chosen = mutants

    scratch = Scratch(os.path.abspath(args.scratch), args.jobs)
    os.makedirs(scratch.dir, exist_ok=True)
    state_path = os.path.join(scratch.dir, "state.json")
    state = load_state(state_path)
    current = fingerprint()
    if state.get("fingerprint") != current:
        if args.only_survivors:
            previous = state.get("results", {})
            chosen = [m for m in chosen if previous.get(m.id, {}).get("status") in (None, "survived")]
        state = {"fingerprint": current, "results": {}}
    results = state["results"]
    todo = [m for m in chosen if m.id not in results]

    say("%d mutants generated, %d chosen, %d to run (%d already done with these sources and tests)" % (
        len(mutants), len(chosen), len(todo), len(chosen) - len(todo)))

    scratch.sync()
    scratch.configure(os.path.abspath(args.edk2))
    # Only the test executables that link a chosen mutant's file.
    needed = sorted({name for m in chosen for name in SOURCES[m.file]}) or TEST_EXECUTABLES
    say("building the host tests without sanitizers in %s: %s" % (
        os.path.relpath(scratch.build, ROOT), " ".join(needed)))
    ok, output = scratch.ninja(needed)
    if not ok:
        sys.stderr.write(output[-4000:])
        sys.exit("[mutation] the unmutated host tests do not build")
    baseline = {}
    for name in needed:
        status, seconds, failed = run_test(scratch.executable(name), 600)
        if status != "pass":
            sys.exit("[mutation] the unmutated %s fails (%s): fix the tests first" % (name, failed or status))
        baseline[name] = seconds
    say("unmutated tests pass: " + ", ".join("%s %.2f s" % (n, s) for n, s in sorted(baseline.items())))

    try:
        for number, m in enumerate(todo, 1):
            t0 = time.monotonic()
            scratch.put(m.file, m.to_source(scratch.originals[m.file]))
            targets = sorted(SOURCES[m.file], key=lambda n: baseline[n])
            built, _ = scratch.ninja(targets)
            result = {"status": "build"}
            if built:
                result = {"status": "survived"}
                for name in targets:
                    limit = max(args.timeout, 10 * baseline[name])
                    status, seconds, failed = run_test(scratch.executable(name), limit)
                    if status == "fail":
                        result = {"status": "killed", "by": "%s %s" % (name, failed)}
                        break
                    if status == "timeout":
                        result = {"status": "timeout", "by": name}
                        break
            result["seconds"] = round(time.monotonic() - t0, 2)
            results[m.id] = result
            save_state(state_path, state)
            if args.verbose or result["status"] == "survived":
                say("%4d/%d %-9s %s  %s:%d  %s" % (
                    number, len(todo), result["status"], m.id, os.path.basename(m.file), m.line, m.describe()))
            elif number % 50 == 0:
                say("%d/%d done" % (number, len(todo)))
    finally:
        scratch.restore()
        scratch.ninja(needed)

    print()
    scores, unexcused = summarise(chosen, results, equivalents)
    elapsed = time.monotonic() - started
    say("%d mutants in %.0f s (%.1f min)" % (len(todo), elapsed, elapsed / 60))
    if args.sample:
        if unexcused:
            say("FAILED: %d sampled mutant(s) survived; kill them or, if they cannot change behaviour, "
                "list them with the reason in %s" % (len(unexcused), os.path.relpath(EQUIVALENTS, ROOT)))
            return 1
        return 0
    low = [f for f, s in scores.items() if f != "all" and s < args.min_score]
    if low and not args.ids and not args.only_survivors:
        say("FAILED: under %.0f %%: %s" % (args.min_score, ", ".join(os.path.basename(f) for f in low)))
        return 1
    return 0


def command_report(args):
    mutants = all_mutants(args.files)
    state = load_state(os.path.join(os.path.abspath(args.scratch), "state.json"))
    if state.get("fingerprint") != fingerprint():
        say("note: the sources or tests changed since these results were taken")
    summarise(mutants, state.get("results", {}), load_equivalents(), diffs=not args.brief)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("list", help="list the mutants")
    p.add_argument("files", nargs="*")
    p.set_defaults(func=command_list)

    p = sub.add_parser("show", help="show one mutant's diff")
    p.add_argument("id")
    p.set_defaults(func=command_show)

    for name, func in (("run", command_run), ("report", command_report)):
        p = sub.add_parser(name)
        p.add_argument("--scratch", default=os.path.join(ROOT, "build", "mutation"),
                       help="scratch folder: the copy, its build and state.json (default build/mutation)")
        p.add_argument("--files", nargs="+", help="only these files (base names)")
        p.set_defaults(func=func)
    run = sub.choices["run"]
    run.add_argument("--sample", type=int, help="run this many mutants, seeded, spread over the files")
    run.add_argument("--seed", type=int, default=14)
    run.add_argument("--ids", nargs="+", help="only these mutants")
    run.add_argument("--only-survivors", action="store_true",
                     help="after a change, run again only what survived (or never ran) before")
    run.add_argument("--jobs", type=int, default=os.cpu_count() or 2, help="ninja's parallel jobs")
    run.add_argument("--timeout", type=float, default=10.0, help="least time limit per test executable, s")
    run.add_argument("--min-score", type=float, default=95.0)
    run.add_argument("--edk2", default=os.path.join(ROOT, ".deps", "edk2"))
    run.add_argument("--verbose", action="store_true", help="one line per mutant")
    sub.choices["report"].add_argument("--brief", action="store_true", help="no diffs")
    args = parser.parse_args()
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
