"""The schemas and the driver's reader agree on every file of a corpus.

    schema_agreement.py SCHEMA_DIR VERDICT_PROGRAM flow:DIR... setting:DIR...

Every file is validated against its schema with jsonschema (draft 2020-12) after being parsed
the way the driver parses it, and read by the driver's own reader and by ate-check through
VERDICT_PROGRAM. All three must give the same verdict, except for the files listed in EXCEPTIONS,
where the schema can't say what the reader does.
"""
import json
import os
import subprocess
import sys
import tempfile

import jsonschema

# File name -> why the schema's verdict differs from the reader's.
EXCEPTIONS = {
    "int_beyond_32_bits_exponent":
        "3e9 is a whole number to a validator, but the reader takes a number written with an "
        "exponent as a fraction-or-exponent number, which must fit 32 bits",
    "int_beyond_32_bits_point_zero":
        "3000000000.0 likewise: whole to a validator, a number with a fraction to the reader",
    "big_hbin": "3e12, as above",
    "loop_too_big_float": "2147483648.0, as above",
}


def no_constant(name):
    raise ValueError("not JSON: " + name)


def check_text(value):
    """Strings the reader can't hold: lone surrogates written as escapes."""
    if isinstance(value, str):
        value.encode("utf-8")
    elif isinstance(value, list):
        for element in value:
            check_text(element)
    elif isinstance(value, dict):
        for key, element in value.items():
            check_text(key)
            check_text(element)


def parse_like_the_driver(data):
    """One value after an optional BOM and whitespace; what follows it isn't read."""
    text = data.decode("utf-8")  # ill-formed UTF-8 anywhere fails, as in the reader
    if text.startswith("\ufeff"):
        text = text[1:]
    text = text.lstrip(" \t\r\n")
    decoder = json.JSONDecoder(parse_constant=no_constant)
    value, _ = decoder.raw_decode(text)
    check_text(value)
    return value


def schema_verdict(validator, path):
    with open(path, "rb") as file:
        data = file.read()
    try:
        value = parse_like_the_driver(data)
    except (ValueError, UnicodeError, RecursionError):
        return "reject"
    return "accept" if validator.is_valid(value) else "reject"


def main():
    schema_dir, verdict_program = sys.argv[1], sys.argv[2]
    failures = []
    checked = 0
    for argument in sys.argv[3:]:
        kind, directory = argument.split(":", 1)
        with open(os.path.join(schema_dir, kind + ".schema.json")) as file:
            schema = json.load(file)
        jsonschema.Draft202012Validator.check_schema(schema)
        validator = jsonschema.Draft202012Validator(schema)
        files = sorted(os.path.join(directory, name) for name in os.listdir(directory))
        with tempfile.TemporaryDirectory() as scratch:
            out = os.path.join(scratch, "verdicts")
            subprocess.run([verdict_program, out, kind] + files, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            with open(out) as file:
                verdicts = [line.split() for line in file.read().splitlines()]
        if len(verdicts) != len(files):
            failures.append("%s: %d verdicts for %d files" % (directory, len(verdicts), len(files)))
        for path, (read_path, driver, checker) in zip(files, verdicts):
            checked += 1
            name = os.path.basename(path)
            schema_says = schema_verdict(validator, path)
            if checker != driver:
                failures.append("%s: driver %s, ate-check %s" % (path, driver, checker))
            if name in EXCEPTIONS:
                if schema_says == driver:
                    failures.append("%s: listed as an exception, but schema and driver agree"
                                    % path)
            elif schema_says != driver:
                failures.append("%s: driver %s, schema %s" % (path, driver, schema_says))
    for failure in failures:
        print(failure)
    print("%d files, %d disagreements" % (checked, len(failures)))
    return 1 if failures or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
