#!/usr/bin/env python3
"""Reads morvastelctl's status object with Python's json, for the program
tests under Wine, and writes its values flat, one "path=value" line each in
UTF-8 (plans.1.programs.0.pid=1234; strings as they are, everything else as
JSON writes it). A text that is not JSON, or an object with a key twice,
gives one line "error=...". The file appears whole: written aside, then
renamed.
Usage: status_json.py IN.json OUT.txt
"""
import json
import os
import sys


def unique(pairs):
    keys = [key for key, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError("a key appears twice")
    return dict(pairs)


def flatten(path, value, lines):
    if isinstance(value, dict):
        for key, item in value.items():
            flatten(path + [key], item, lines)
    elif isinstance(value, list):
        for index, item in enumerate(value):
            flatten(path + [str(index)], item, lines)
    else:
        text = value if isinstance(value, str) else json.dumps(value)
        lines.append(".".join(path) + "=" + text)


source, target = sys.argv[1], sys.argv[2]
lines = []
try:
    with open(source, encoding="utf-8") as f:
        flatten([], json.loads(f.read(), object_pairs_hook=unique), lines)
except ValueError as error:
    lines = ["error=" + str(error)]
with open(target + ".tmp", "w", encoding="utf-8", newline="\n") as f:
    f.write("\n".join(lines) + "\n")
os.replace(target + ".tmp", target)
