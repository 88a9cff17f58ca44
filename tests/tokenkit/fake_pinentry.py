#!/usr/bin/python3
"""A pinentry for tests: speaks the Assuan protocol on standard input and output as pinentry
does, and answers GETPIN as a script says.

FAKE_PINENTRY_ANSWERS names a file of answers, one per dialog, taken from its top (the file
keeps the rest): "pin TEXT" types TEXT, "cancel" is the Cancel button, "fail" is a pinentry
that cannot show a dialog (no display); "every pin TEXT" types TEXT in every dialog and stays.
No file or no line left: "fail".
FAKE_PINENTRY_LOG names a file that gets "@start", every line received, and "@end" per run.
"""
import os
import sys

CANCELLED = "ERR 83886179 Operation cancelled <Pinentry>"
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


def escaped(text):
    return "".join("%%%02X" % ord(c) if c in "%\r\n" else c for c in text)


def reply(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def main():
    log("@start")
    reply("OK Pleased to meet you")
    for raw in sys.stdin:
        line = raw.rstrip("\n")
        log(line)
        command = line.split(" ", 1)[0].upper()
        if command == "BYE":
            reply("OK closing connection")
            break
        if command == "GETPIN":
            answer = next_answer()
            if answer.startswith("pin "):
                if answer[4:]:  # pinentry sends no data line for an empty entry
                    reply("D " + escaped(answer[4:]))
                reply("OK")
            elif answer == "cancel":
                reply(CANCELLED)
            else:
                reply(NO_DIALOG)
        elif command in ("OPTION", "SETTITLE", "SETDESC", "SETPROMPT", "SETERROR", "SETOK",
                         "SETCANCEL", "SETKEYINFO", "SETTIMEOUT", "RESET", "NOP"):
            reply("OK")
        else:
            reply("ERR 536871187 Unknown IPC command <User defined source 1>")
    log("@end")


if __name__ == "__main__":
    main()
