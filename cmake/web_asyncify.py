#!/usr/bin/env python3
"""Lets Asyncify instrument only what can be on the stack while the page's program waits.

Asyncify instruments every function that may be on the stack when an asynchronous import suspends the
program. On its own it must assume that every indirect call (a virtual call, a std::function) and every
invoke_* (how emscripten's JavaScript exceptions call anything that may throw) can get there, and so it
instruments nearly all of the program, which doubles its size. This finds, in the linked program before
Asyncify runs, which calls really can:

  - a direct call of a function that can wait;
  - an invoke_* whose first operand, the table slot it calls, is a constant: the function in that slot; an
    invoke_* of a slot computed at run time: any function of its signature in the table;
  - a call_indirect of type T: any function of type T in the table (WebAssembly traps on any other).

Each such indirect call becomes a call of an import of the page (braewait_call_N, braewait_invoke_X) that
makes the same call from JavaScript, and Asyncify is told that those imports, and the wait, can suspend, and
to ignore the other indirect calls (-sASYNCIFY_IGNORE_INDIRECT). It then instruments exactly the functions
that reach the wait by direct calls, which after this rewrite are exactly those that can wait at all.
64-bit values pass JavaScript as BigInt: the program is linked with -sWASM_BIGINT.

Usage: web_asyncify.py WASM-DIS WASM-AS IN.wasm OUT.wasm OUT-LIBRARY.js ASYNC-IMPORT...
ASYNC-IMPORT: the imports that can suspend, by their names in the program (the wait).
"""
import os
import re
import subprocess
import sys

HEADER = re.compile(r"^ \(func \$(\S+)(.*)$")
IMPORT = re.compile(r'^ \(import "([^"]*)" "([^"]*)" \(func \$(\S+)(.*)\)\)$')
TYPE = re.compile(r"^ \(type \$(\S+) \(func(.*)\)\)$")
CALL = re.compile(r"\(call \$(\S+)")
CALL_INDIRECT = re.compile(r"\(call_indirect(?: \$\S+)? \(type \$(\S+)\)")
INVOKE = re.compile(r"^invoke_([vijfd]+)$")
CONST = re.compile(r"^\s*\(i32\.const (\d+)\)")
ELEM = re.compile(r"^ \(elem (?:\$\S+ )?\(i32\.const (\d+)\)")
DATA = re.compile(r'^ \(data (?:\$\S+ )?\(i32\.const (\d+)\) "(.*)"\)$')
ANY_CONST = re.compile(r"\(i32\.const (\d+)\)")
LETTER = {"v": "none", "i": "i32", "j": "i64", "f": "f32", "d": "f64"}
WAIT_PREFIX = "braewait_"


def fail(text):
    sys.exit(f"web_asyncify.py: {text}")


def signature(text):
    """'(param $0 i32) (param $1 f64) (result i32)' or '(param i32 f64) (result i32)' -> 'i32,f64->i32'."""
    params, results = [], []
    for kind, body in re.findall(r"\((param|result)((?: [^()]*)?)\)", text):
        types = [t for t in body.split() if not t.startswith("$")]
        (params if kind == "param" else results).extend(types)
    return ",".join(params) + "->" + (",".join(results) or "none")


def split_signature(sig):
    params, result = sig.split("->")
    return (params.split(",") if params else []), result


def call_head(callee):
    """The text that starts a call of `callee` (and of no function whose name merely begins the same)."""
    return re.compile(r"\(call \$" + re.escape(callee) + r"(?=[\s)]|$)")


def invoke_target(letters):
    """invoke_vii calls a table function (i32, i32) -> none: the letters after the result are its params."""
    return ",".join(LETTER[c] for c in letters[1:]) + "->" + LETTER[letters[0]]


class Module:
    """What the analysis needs of the program's text (binaryen's wasm-dis): functions, calls, the table."""

    def __init__(self, lines):
        self.lines = lines
        self.types, self.imports, self.funcs = {}, {}, {}
        self.calls, self.indirect, self.invokes = {}, {}, {}
        self.table = {}  # slot -> function
        # Every number that could be a slot outside an invoke's first operand: a constant in the code or a
        # global's value, a 32-bit word of the data (a vtable, a table of callbacks).
        self.numbers = set()
        self.last_import = None
        invoke_operands = set()  # (line, column) of the constants that are an invoke's first operand
        current = None
        for at, line in enumerate(lines):
            m = TYPE.match(line)
            if m:
                self.types[m.group(1)] = signature(m.group(2))
                continue
            m = IMPORT.match(line)
            if m:
                self.imports[m.group(3)] = signature(m.group(4))
                self.last_import = at
                continue
            m = HEADER.match(line)
            if m:
                current = m.group(1)
                self.funcs[current] = signature(m.group(2))
                self.calls[current], self.indirect[current], self.invokes[current] = set(), set(), set()
                continue
            if line.startswith(" (elem "):
                m = ELEM.match(line)
                if not m:
                    fail(f"a table segment without a constant offset: {line[:80]}")
                names = [n[1:] for n in line.split() if n.startswith("$")]
                self.table.update((int(m.group(1)) + i, n) for i, n in enumerate(names))
                current = None
                continue
            m = DATA.match(line)
            if m:
                self.add_words(int(m.group(1)), data_bytes(m.group(2)))
                current = None
                continue
            if line.startswith(" (") or line.startswith(")"):
                self.numbers.update(int(n) for n in ANY_CONST.findall(line))
                current = None
                continue
            if current is None:
                continue
            # binaryen prints one expression a line: the rewrite below relies on it.
            if len(CALL.findall(line)) + len(CALL_INDIRECT.findall(line)) > 1:
                fail(f"more than one call on a line of {current}: {line.strip()[:80]}")
            for g in CALL.findall(line):
                target = self.invoke_at(at, g, invoke_operands)
                if target is None:
                    self.calls[current].add(g)
                else:
                    self.invokes[current].add(target)
            for c in ANY_CONST.finditer(line):
                if (at, c.start()) not in invoke_operands:
                    self.numbers.add(int(c.group(1)))
            for t in CALL_INDIRECT.findall(line):
                self.indirect[current].add(self.types[t])
        if self.last_import is None:
            fail("the program imports nothing: not an emscripten program")

    def invoke_at(self, at, callee, operands=None):
        """For a call of invoke_X on line `at`: the slot it calls (an int) or, when that is computed at run
        time, the signature it calls (a str); None for any other call. Notes where that constant is."""
        m = INVOKE.match(callee)
        if not m or callee not in self.imports:
            return None
        line = self.lines[at]
        end = call_head(callee).search(line).end()
        first = CONST.match(line[end:])
        where = (at, end + first.start(1) - len("(i32.const ")) if first else None
        if not first and at + 1 < len(self.lines):
            first = CONST.match(self.lines[at + 1])
            where = (at + 1, first.start(1) - len("(i32.const ")) if first else None
        if not first:
            return invoke_target(m.group(1))
        if operands is not None:
            operands.add(where)
        return int(first.group(1))

    def add_words(self, offset, data):
        for at in range((-offset) % 4, len(data) - 3, 4):
            self.numbers.add(int.from_bytes(data[at : at + 4], "little"))

    def address_taken(self):
        """The table's functions that an indirect call can reach: those whose slot appears somewhere other
        than as an invoke's constant first operand (wasm-ld puts every invoked function in the table too)."""
        return {f for slot, f in self.table.items() if slot in self.numbers}


def data_bytes(text):
    """The bytes of a data segment as wasm-dis prints them: characters, and \\XX for the others."""
    out = bytearray()
    at = 0
    while at < len(text):
        c = text[at]
        if c == "\\":
            nxt = text[at + 1]
            if re.match(r"[0-9a-fA-F]{2}", text[at + 1 : at + 3]):
                out.append(int(text[at + 1 : at + 3], 16))
                at += 3
                continue
            out.extend({"n": b"\n", "t": b"\t", "r": b"\r"}.get(nxt, nxt.encode()))
            at += 2
            continue
        out.extend(c.encode("utf-8"))
        at += 1
    return bytes(out)


def waiting(module, async_imports):
    """The functions that can be on the stack at a suspension, and the signatures of the table's functions
    among them that an indirect call can reach (an indirect call of one of those can wait)."""
    in_table = module.address_taken()
    callers, type_callers = {}, {}
    for f in module.funcs:
        for g in module.calls[f]:
            callers.setdefault(g, set()).add(f)
        for target in module.invokes[f]:
            if isinstance(target, int):
                # A slot outside the table traps.
                if target in module.table:
                    callers.setdefault(module.table[target], set()).add(f)
            else:
                type_callers.setdefault(target, set()).add(f)
        for t in module.indirect[f]:
            type_callers.setdefault(t, set()).add(f)
    waits, types = set(), set()
    work = list(async_imports)
    while work:
        g = work.pop()
        more = set(callers.get(g, ()))
        sig = module.funcs.get(g) or module.imports.get(g)
        if g in in_table and sig not in types:
            types.add(sig)
            more |= type_callers.get(sig, set())
        for f in more - waits:
            waits.add(f)
            work.append(f)
    return waits, types


def js_params(n):
    return [f"a{i}" for i in range(n)]


def rewrite(module, waits, types):
    """The program's text with each indirect call that can wait made through an import of the page, and
    the JavaScript library that provides those imports."""
    calls, invokes = {}, {}  # signature -> import name; invoke_X -> import name
    out = []
    current = None
    for at, line in enumerate(module.lines):
        m = HEADER.match(line)
        if m:
            current = m.group(1)
        elif line.startswith(" ("):
            current = None
        if current in waits:
            m = CALL_INDIRECT.search(line)
            if m and module.types[m.group(1)] in types:
                sig = module.types[m.group(1)]
                name = calls.setdefault(sig, f"{WAIT_PREFIX}call_{len(calls)}")
                line = line[: m.start()] + f"(call ${name}" + line[m.end() :]
            for g in CALL.findall(line):
                target = module.invoke_at(at, g)
                if target is None:
                    continue
                reaches = module.table.get(target) in waits if isinstance(target, int) else target in types
                if reaches:
                    name = invokes.setdefault(g, WAIT_PREFIX + g)
                    line = call_head(g).sub(f"(call ${name}", line, count=1)
        out.append(line)
    imports, library = [], []
    for sig, name in sorted(calls.items(), key=lambda kv: kv[1]):
        params, result = split_signature(sig)
        # The table slot is the last operand of call_indirect.
        params_text = "".join(f" (param {p})" for p in params + ["i32"])
        result_text = "" if result == "none" else f" (result {result})"
        imports.append(f' (import "env" "{name}" (func ${name}{params_text}{result_text}))')
        args = js_params(len(params))
        library.append(
            f"  {name}__deps: ['$getWasmTableEntry'],\n"
            f"  {name}: function({', '.join(args + ['slot'])}) {{\n"
            f"    return getWasmTableEntry(slot)({', '.join(args)});\n"
            f"  }},"
        )
    for invoke, name in sorted(invokes.items()):
        sig = module.imports[invoke]
        params, result = split_signature(sig)
        params_text = "".join(f" (param {p})" for p in params)
        result_text = "" if result == "none" else f" (result {result})"
        imports.append(f' (import "env" "{name}" (func ${name}{params_text}{result_text}))')
        args = js_params(len(params) - 1)
        ret = "" if result == "none" else "return "
        # As emscripten's own invoke_* (a C++ exception is caught by the caller's landing pad), with the
        # function called from here, so that Asyncify's unwinding passes no uninstrumented dynCall_*.
        library.append(
            f"  {name}__deps: ['$getWasmTableEntry'],\n"
            f"  {name}: function({', '.join(['slot'] + args)}) {{\n"
            f"    var sp = stackSave();\n"
            f"    try {{\n"
            f"      {ret}getWasmTableEntry(slot)({', '.join(args)});\n"
            f"    }} catch (e) {{\n"
            f"      stackRestore(sp);\n"
            f"      if (e !== e + 0) throw e;\n"
            f"      _setThrew(1, 0);\n"
            f"    }}\n"
            f"  }},"
        )
    out[module.last_import + 1 : module.last_import + 1] = imports
    js = (
        "// Generated by cmake/web_asyncify.py: the indirect calls that can wait, made from JavaScript so that\n"
        "// Asyncify sees them as imports that can suspend.\n"
        "mergeInto(LibraryManager.library, {\n" + "\n".join(library) + "\n});\n"
    )
    return out, js, len(calls), len(invokes)


def main(argv):
    if len(argv) < 7:
        sys.exit(__doc__)
    wasm_dis, wasm_as, wasm_in, wasm_out, library_out = argv[1:6]
    async_imports = set(argv[6:])
    text = subprocess.run([wasm_dis, wasm_in], check=True, capture_output=True, text=True).stdout
    module = Module(text.splitlines())
    missing = sorted(async_imports - set(module.imports))
    if missing:
        fail(f"{wasm_in} does not import {', '.join(missing)}")
    taken = [i for i in module.imports if i.startswith(WAIT_PREFIX)]
    if taken:
        fail(f"{wasm_in} already imports {taken[0]}")
    waits, types = waiting(module, async_imports)
    lines, js, n_calls, n_invokes = rewrite(module, waits, types)
    text_out = wasm_out + ".wat"
    with open(text_out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    subprocess.run([wasm_as, "-g", "-o", wasm_out, text_out], check=True)
    os.remove(text_out)
    with open(library_out, "w", encoding="utf-8") as f:
        f.write(js)
    print(
        f"web_asyncify.py: {len(waits)} of {len(module.funcs)} functions can wait; "
        f"{n_calls} indirect and {n_invokes} invoke signatures made through the page"
    )


if __name__ == "__main__":
    main(sys.argv)
