"""velzar demo: a router session and a TL1 session against the bundled simulated devices.

Run it with the interpreter you built velzar for, the build folder on the path:

    PYTHONPATH=build/py3.9 python3.9 examples/demo.py

It starts both simulated devices on 127.0.0.1 (ephemeral ports, under
Debian's /usr/bin/python3 with python3-asyncssh), drives them the way a
network automation script would, and stops them again.
"""
import os
import select
import subprocess
import sys
import time

from velzar._velzar_wrapper import PyVelzarClient

HERE = os.path.dirname(os.path.abspath(__file__))
DEVICES = os.path.join(HERE, "..", "sim", "devices.py")
SIM_PYTHON = os.environ.get("VELZAR_SIM_PYTHON", "/usr/bin/python3")


def start_device(kind):
    """Starts a simulated device; returns (process, port)."""
    process = subprocess.Popen([SIM_PYTHON, DEVICES, "--device", kind], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    ready, _, _ = select.select([process.stdout], [], [], 30)
    line = process.stdout.readline().decode() if ready else ""
    if not line.startswith("READY "):
        process.kill()
        sys.exit("the simulated %s did not start (is python3-asyncssh installed?)" % kind)
    return process, int(line.split()[1])


def banner(title):
    print("\n=== %s ===" % title, flush=True)


def show(label, text):
    print("%s:" % label)
    for line in text.replace("\r\n", "\n").split("\n"):
        print("    | " + line)
    sys.stdout.flush()


def router_session(port):
    banner("Router at 127.0.0.1:%d (password login, prompt 'router#')" % port)
    router = PyVelzarClient("127.0.0.1", "admin", "secret", r"router#\s*$", True, port,
                            command_timeout_ms=5000, read_timeout_ms=3000)
    print("settings: command_timeout=%d ms, read_timeout=%d ms" % (router.command_timeout, router.read_timeout))
    sys.stdout.flush()
    router.connect()
    print("connected:", router.is_connected, flush=True)

    start = time.monotonic()
    output = router.send("show version")
    show("show version (%.1f ms, ended by the prompt)" % ((time.monotonic() - start) * 1000), output)

    output = router.send("prompt-open")
    show("a command whose channel stays open, ended by the prompt", output)

    try:
        router.send("silent", read_timeout_ms=500)
    except RuntimeError as error:
        print("a silent command fails cleanly: RuntimeError(%r)" % str(error))
    print("still connected:", router.is_connected)

    router.disconnect()
    print("disconnected:", not router.is_connected, flush=True)


def tl1_session(port):
    banner("TL1 network element at 127.0.0.1:%d (no SSH user authentication)" % port)
    element = PyVelzarClient("127.0.0.1", port=port, terminal_type="vt100", use_pty=True)
    element.connect()
    first = element.get_initial_output(1000)
    show("what the element prints on a new shell", first)

    prompt = first.rstrip()[-1:]
    print("learned prompt: %r" % prompt, flush=True)
    element.set_prompt(prompt + "$")

    output = element.send("RTRV-HDR:::100;")
    show("RTRV-HDR:::100;", output)
    output = element.send("RTRV-ALM-ALL:::101;")
    show("RTRV-ALM-ALL:::101;", output)
    element.disconnect()


def main():
    router, router_port = start_device("router")
    tl1, tl1_port = start_device("tl1")
    try:
        router_session(router_port)
        tl1_session(tl1_port)
    finally:
        for process in (router, tl1):
            process.terminate()
            process.wait()
    print("\ndemo finished")


if __name__ == "__main__":
    main()
