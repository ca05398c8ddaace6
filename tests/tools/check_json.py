"""Reads orvella-sim --json output from standard input with the json module and checks it
against the schema in docs/json.md. Exit status 0 when it holds; the reason on stderr otherwise.

    check_json.py EXIT_STATUS < output.json
"""
import json
import sys

RECORDS = {"step", "screen", "notification", "modem", "timeout", "log", "host"}


def fail(why):
    print("check_json: " + why, file=sys.stderr)
    sys.exit(1)


def main():
    raw = sys.stdin.buffer.read()
    try:
        text = raw.decode("utf-8")  # strict: the document must be valid UTF-8
    except UnicodeDecodeError as e:
        fail("not UTF-8: %s" % e)
    try:
        doc = json.loads(text)
    except ValueError as e:
        fail("not one JSON document: %s" % e)
    if not isinstance(doc, dict) or doc.get("type") != "run":
        fail("the document is not an object of type 'run'")
    for key, kind in (("program", str), ("version", str), ("heading", str), ("scenario", dict),
                      ("timeline", list), ("expectations", list), ("failed", int)):
        if not isinstance(doc.get(key), kind):
            fail("'%s' missing or not %s" % (key, kind.__name__))
    if doc["status"] != int(sys.argv[1]):
        fail("status %r, the exit status was %s" % (doc["status"], sys.argv[1]))
    last = 0.0
    for r in doc["timeline"]:
        if r.get("type") not in RECORDS:
            fail("timeline record of unknown type: %r" % r)
        if not isinstance(r.get("time"), (int, float)) or r["time"] < last:
            fail("time missing or going back: %r" % r)
        last = r["time"]
        if not isinstance(r.get("process"), str) or not isinstance(r.get("what"), str):
            fail("process or what missing: %r" % r)
        if not isinstance(r.get("details"), dict):
            fail("details missing: %r" % r)
        if r["type"] == "step" and not isinstance(r["details"].get("line"), int):
            fail("a step without its line: %r" % r)
    failed = 0
    for e in doc["expectations"]:
        if e.get("type") != "expectation" or not isinstance(e.get("held"), bool):
            fail("bad expectation record: %r" % e)
        if not isinstance(e.get("line"), int) or not isinstance(e.get("report"), str):
            fail("expectation without line or report: %r" % e)
        failed += not e["held"]
    if failed != doc["failed"]:
        fail("'failed' says %d, the records %d" % (doc["failed"], failed))


main()
