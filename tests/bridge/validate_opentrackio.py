"""Validates OpenTrackIO samples (one JSON object a line) against the published schema.

usage: validate_opentrackio.py SCHEMA SAMPLES
Prints the first problems of each invalid sample and a count; exit status 1 if any sample
is invalid or there is none.
"""
import json
import sys

from jsonschema import Draft202012Validator


def main():
    with open(sys.argv[1], encoding="utf-8") as schema_file:
        schema = json.load(schema_file)
    Draft202012Validator.check_schema(schema)
    validator = Draft202012Validator(schema)
    count = invalid = 0
    with open(sys.argv[2], encoding="utf-8") as samples:
        for index, line in enumerate(samples):
            count += 1
            errors = sorted(validator.iter_errors(json.loads(line)), key=str)
            for error in errors[:3]:
                where = "/".join(str(part) for part in error.absolute_path) or "(top)"
                print(f"sample {index}: {where}: {error.message}")
            invalid += bool(errors)
    print(f"{count} samples, {invalid} invalid")
    return 1 if invalid or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
