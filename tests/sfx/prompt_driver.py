#!/usr/bin/env python3
"""Runs a self-extractor on a pseudo-terminal, answers its folder prompt with
ANSWER (empty: just Enter), each password prompt with the next PASSWORD, and
passes on its output and exit status.

    prompt_driver.py SFX WORKING_FOLDER ANSWER [PASSWORD...]
"""
import os
import pty
import select
import sys

PROMPT = b"type another folder: "
PASSWORD_PROMPT = b"Password for "


def main(sfx, folder, answer, *passwords):
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(folder)
        os.execv(sfx, [sfx])
    output = b""
    answered = False
    passwords = list(passwords)
    asked = 0  # password prompts answered
    while True:
        # A generous limit only so that a runtime that never prompts cannot
        # hang the test run.
        ready, _, _ = select.select([fd], [], [], 120)
        if not ready:
            sys.stdout.buffer.write(output + b"\n[no output for 120 s]\n")
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            return 99
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # EIO: the program closed the terminal
            chunk = b""
        if not chunk:
            break
        output += chunk
        if not answered and PROMPT in output:
            os.write(fd, answer.encode() + b"\n")
            answered = True
        # A prompt is whole once it ends in ": " after the entry's name.
        prompts = output.count(PASSWORD_PROMPT)
        if prompts > asked and passwords and output.endswith(b": "):
            os.write(fd, passwords.pop(0).encode() + b"\n")
            asked += 1
    _, status = os.waitpid(pid, 0)
    sys.stdout.buffer.write(output)
    return os.waitstatus_to_exitcode(status)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
