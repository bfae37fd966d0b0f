#!/usr/bin/env python3
"""Validates every line of an NDJSON event stream against docs/events.schema.json.
Usage: validate-events.py SCHEMA FILE...   Exit 1 when any line fails."""
import json
import sys

import jsonschema


def main() -> int:
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    validator = jsonschema.Draft202012Validator(schema)
    bad = 0
    for path in sys.argv[2:]:
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                try:
                    event = json.loads(line)
                except json.JSONDecodeError as e:
                    print(f"{path}:{number}: not JSON: {e}")
                    bad += 1
                    continue
                errors = list(validator.iter_errors(event))
                if errors:
                    print(f"{path}:{number}: {errors[0].message}")
                    bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
