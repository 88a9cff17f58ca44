#!/usr/bin/python3
"""A pinentry for tests: speaks the Assuan protocol on standard input and output as pinentry
does, and answers GETPIN and CONFIRM as a script says.

FAKE_PINENTRY_ANSWERS names a file of answers, one per dialog, taken from its top (the file
keeps the rest): "pin TEXT" types TEXT (at CONFIRM: presses OK), "ok" presses OK, "cancel" is
the Cancel button, "fail" is a pinentry that cannot show a dialog (no display), "hang" is a
dialog nobody answers (it ends at SETTIMEOUT, as pinentry does, or never; or when the file
FAKE_PINENTRY_RELEASE names appears, as if its time had come); "every pin TEXT"
types TEXT in every dialog and stays. No file or no line left: "fail".
FAKE_PINENTRY_LOG names a file that gets "@start pid=N", every line received, and "@end" per
run.
FAKE_PINENTRY_DIALOGS names a file that gets one JSON line per dialog shown: the command
("GETPIN" or "CONFIRM"), its texts decoded ("title", "desc", "prompt", "error"), "timeout"
(seconds, or null) and the answer given ("pin" for a PIN typed, without it).
"""
import json
import os
import sys
import time

CANCELLED = "ERR 83886179 Operation cancelled <Pinentry>"
TIMED_OUT = "ERR 83886142 Timeout <Pinentry>"
NO_DIALOG = "ERR 83918950 Inappropriate ioctl for device <Pinentry>"


def log(line):
    path = os.environ.get("FAKE_PINENTRY_LOG")
    if path:
        with open(path, "a", encoding="utf-8") as f:
            f.write(line + "\n")


def next_answer():
    path = os.environ.get("FAKE_PINENTRY_ANSWERS")
    if not path or not os.path.exists(path):
        return "fail"
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    if not lines:
        return "fail"
    if lines[0].startswith("every "):
        return lines[0][len("every "):]
    with open(path, "w", encoding="utf-8") as f:
        f.write("".join(line + "\n" for line in lines[1:]))
    return lines[0]


def decoded(argument):
    """A protocol argument's bytes with its %XX escapes undone, as UTF-8 text (bytes that are not
    UTF-8 as U+DC80..U+DCFF, so that a test sees them)."""
    raw = argument.encode("utf-8", "surrogateescape")
    out = bytearray()
    i = 0
    while i < len(raw):
        if raw[i:i + 1] == b"%" and len(raw[i + 1:i + 3]) == 2:
            out.append(int(raw[i + 1:i + 3], 16))
            i += 3
        else:
            out.append(raw[i])
            i += 1
    return out.decode("utf-8", "surrogateescape")


def record(dialog):
    path = os.environ.get("FAKE_PINENTRY_DIALOGS")
    if path:
        with open(path, "a", encoding="utf-8", errors="surrogateescape") as f:
            f.write(json.dumps(dialog) + "\n")


def escaped(text):
    return "".join("%%%02X" % ord(c) if c in "%\r\n" else c for c in text)


def reply(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


TEXTS = {"SETTITLE": "title", "SETDESC": "desc", "SETPROMPT": "prompt", "SETERROR": "error"}


def main():
    sys.stdin.reconfigure(errors="surrogateescape")
    log("@start pid=%d" % os.getpid())
    reply("OK Pleased to meet you")
    texts = {}
    timeout = None
    for raw in sys.stdin:
        line = raw.rstrip("\n")
        log(line)
        command, _, argument = line.partition(" ")
        command = command.upper()
        if command == "BYE":
            reply("OK closing connection")
            break
        if command in ("GETPIN", "CONFIRM"):
            answer = next_answer()
            # What was typed stays out of the record, as a PIN stays out of every log.
            record(dict(texts, command=command, timeout=timeout,
                        answer="pin" if answer.startswith("pin ") else answer))
            if answer == "hang":
                # The timeout comes when its seconds have passed, or at once when the test
                # creates FAKE_PINENTRY_RELEASE.
                release = os.environ.get("FAKE_PINENTRY_RELEASE", "")
                end = time.monotonic() + timeout if timeout is not None else None
                while not (release and os.path.exists(release)) and (
                        end is None or time.monotonic() < end):
                    time.sleep(0.05)
                reply(TIMED_OUT)
            elif answer.startswith("pin ") and command == "GETPIN":
                if answer[4:]:  # pinentry sends no data line for an empty entry
                    reply("D " + escaped(answer[4:]))
                reply("OK")
            elif answer.startswith("pin ") or answer == "ok":
                reply("OK")
            elif answer == "cancel":
                reply(CANCELLED)
            else:
                reply(NO_DIALOG)
        elif command in TEXTS:
            texts[TEXTS[command]] = decoded(argument)
            reply("OK")
        elif command == "SETTIMEOUT":
            timeout = int(argument)
            reply("OK")
        elif command in ("OPTION", "SETOK", "SETCANCEL", "SETKEYINFO", "RESET", "NOP"):
            reply("OK")
        else:
            reply("ERR 536871187 Unknown IPC command <User defined source 1>")
    log("@end")


if __name__ == "__main__":
    main()
