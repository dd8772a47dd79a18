#!/usr/bin/env python3
"""Puts the engine's WebAssembly, gzip-compressed and in base64, into its JavaScript (the mark that
app/web/engine_load.js leaves), so that the engine is one file a page can carry.

Usage: web_embed.py ENGINE.js ENGINE.wasm OUT.js
"""
import base64
import gzip
import os
import sys

MARK = "@BRAE_WASM_GZIP_BASE64@"


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__)
    script_in, wasm_in, script_out = argv[1:]
    with open(script_in, encoding="utf-8") as f:
        script = f.read()
    if script.count(MARK) != 1:
        sys.exit(f"web_embed.py: {script_in} does not have the mark {MARK} once (built without engine_load.js?)")
    with open(wasm_in, "rb") as f:
        wasm = f.read()
    # mtime 0: the same program gives the same file.
    packed = base64.b64encode(gzip.compress(wasm, compresslevel=9, mtime=0)).decode("ascii")
    part = script_out + ".part"
    with open(part, "w", encoding="utf-8") as f:
        f.write(script.replace(MARK, packed))
    os.replace(part, script_out)


if __name__ == "__main__":
    main(sys.argv)
