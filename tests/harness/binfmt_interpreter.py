#!/usr/bin/env python3
"""Prints the interpreter of the enabled binfmt_misc entry that takes a program
(by its magic bytes), and exits 1 when none does.

    binfmt_interpreter.py PROGRAM [BINFMT_FOLDER]
"""
import os
import sys

program = sys.argv[1]
folder = sys.argv[2] if len(sys.argv) > 2 else '/proc/sys/fs/binfmt_misc'
with open(program, 'rb') as f:
    head = f.read(256)
for name in sorted(os.listdir(folder)):
    if name in ('register', 'status'):
        continue
    try:
        with open(os.path.join(folder, name)) as f:
            lines = f.read().splitlines()
    except OSError:
        continue
    if not lines or lines[0] != 'enabled':
        continue
    fields = dict(line.partition(' ')[::2] for line in lines[1:])
    if 'magic' not in fields:
        continue  # an entry by file name extension
    magic = bytes.fromhex(fields['magic'])
    mask = bytes.fromhex(fields['mask']) if 'mask' in fields else b'\xff' * len(magic)
    offset = int(fields.get('offset', '0'))
    chunk = head[offset:offset + len(magic)]
    if len(chunk) == len(magic) and all(c & m == g & m for c, g, m in zip(chunk, magic, mask)):
        print(fields.get('interpreter', name))
        sys.exit(0)
sys.exit(1)
