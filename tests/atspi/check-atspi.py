#!/usr/bin/python3
# check-atspi.py KESTREL: drives kestrel's windows with nothing but what a screen reader has.
# Each failed check prints a FAIL line and the tree of the window involved.
import socket
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

CHAT, HANDLE = "hello over AT-SPI", "atspi"
# Roles of things a person reads or works with (a scroll bar speaks by its role).
CONTROLS = {"push button", "toggle button", "check box", "radio button", "combo box", "text",
            "entry", "password text", "menu item", "check menu item", "menu", "image", "list",
            "spin button", "slider", "page tab", "icon"}
failures, children, shown = [], [], []


def fail(what, tree=None):
    """Counts a failed check and shows the tree of `tree` (a window, or a function giving it)
    unless it was shown already."""
    failures.append(what)
    print("FAIL: " + what, flush=True)
    tree = tree() if callable(tree) else tree
    for node, depth in walk(None if tree in shown else tree):
        print("  " * depth + "%s %r%s%s" % (node.getRoleName(), node.name,
              " focusable" if has(node, pyatspi.STATE_FOCUSABLE) else "",
              "" if has(node, pyatspi.STATE_VISIBLE) else " invisible"))
    shown.append(tree)


def wait_for(what, predicate, tree=None):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        for process in children:
            if process.poll():
                raise TimeoutError("%s ended with status %d while waiting for %s" % (
                    " ".join(process.args), process.returncode, what), tree)
        try:
            result = predicate()
        except GLib.GError:
            result = None  # the tree changed under us: look again
        if result:
            return result
        time.sleep(0.1)
    raise TimeoutError("gave up waiting for " + what, tree)


def start(*args):
    children.append(subprocess.Popen(args, stdin=subprocess.DEVNULL))
    return children[-1]


def has(node, state):
    return node.getState().contains(state)


def walk(node, depth=0):
    if node is not None:
        yield node, depth
        for child in node:
            yield from walk(child, depth + 1)


def find(root, role, name=None):
    return next((node for node, _ in walk(root)
                 if node.getRoleName() == role and name in (None, node.name)), None)


def app_of(process):
    return next((app for app in pyatspi.Registry.getDesktop(0)
                 if app is not None and app.get_process_id() == process.pid), None)


def top(process, test):
    """The first of the process's windows that passes `test`, whatever role it shows as."""
    app = app_of(process)
    if app:
        app.clear_cache()
    return next((node for node in app or [] if node is not None and test(node)), None)


def window(process, test, what):
    return wait_for(what, lambda: top(process, test), lambda: app_of(process))


def need(root, role, name=None):
    return wait_for("a %s %s in %r" % (role, repr(name) if name else "", root.name),
                    lambda: find(root, role, name), root)


def check_window(title, root):
    problems = [] if root.name else ["the window has no name"]
    if root.getRoleName() not in ("frame", "window", "dialog"):
        problems.append("it shows as a %s, not as a window" % root.getRoleName())
    problems += ["a %s without a name" % node.getRoleName() for node, _ in walk(root)
                 if has(node, pyatspi.STATE_VISIBLE) and not node.name and
                 (node.getRoleName() in CONTROLS or has(node, pyatspi.STATE_FOCUSABLE)) and
                 node.getRoleName() != "scroll bar"]
    if problems:
        fail("%s: %s" % (title, "; ".join(problems)), root)


def press(node):
    action = node.queryAction()
    names = [action.getName(i).lower() for i in range(action.nActions)]
    try:
        action.doAction(names.index("press") if "press" in names else 0)
    except GLib.GError:
        pass  # a modal box opened by the press answers the call late


def answer_box(process, prompt, text):
    def is_box(node):
        return has(node, pyatspi.STATE_VISIBLE) and find(node, "label", prompt)
    box = window(process, is_box, "the box " + prompt)
    check_window("the box " + prompt, box)
    need(box, "text").queryEditableText().setTextContents(text)
    press(need(box, "push button", "OK"))
    wait_for("the box %s to close" % prompt, lambda: not top(process, is_box), box)


def heard_while(action, events, done):
    heard = []
    listener = lambda event: heard.append(event) or done(heard) and pyatspi.Registry.stop()
    pyatspi.Registry.registerEventListener(listener, *events)
    GLib.timeout_add(0, lambda: action() and False)
    timer = GLib.timeout_add(20000, lambda: pyatspi.Registry.stop() or True)
    pyatspi.Registry.start()
    GLib.source_remove(timer)  # or it would end a later wait early
    pyatspi.Registry.deregisterEventListener(listener, *events)
    return heard


def announces(process, text, action):
    def told(events):
        return any(e.source.get_process_id() == process.pid and text in str(e.any_data)
                   for e in events)
    return told(heard_while(action, ("object:text-changed:insert",), told))


def choose(window, item):
    """Presses the window's Menu button and returns `item` of the pop-up menu. A pop-up is no
    child of its application in the tree: like a screen reader, catch it as it shows."""
    button = need(window, "push button", "Menu")
    heard = heard_while(lambda: press(button), ("window:activate", "object:state-changed:showing"),
                        lambda events: find(events[-1].source, "menu item"))
    if not heard:
        raise TimeoutError("pressing Menu showed no pop-up menu", window)
    return need(heard[-1].source, "menu item", item)


def text_of(node):
    text = node.queryText()
    return text.getText(0, text.characterCount)


def log_reads(window, text):
    log = need(window, "text", "Log")
    wait_for("%r in the log of %r" % (text, window.name), lambda: text in text_of(log), window)
    return log


def run(kestrel):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = start(kestrel, "/s")
    answer_box(server, "Host Port ?", str(port))
    server_window = window(server, lambda node: node.name.endswith(":%d] - wisp server" % port),
                           "the server window listening on %d" % port)
    client = start(kestrel, "/c")
    client_window = window(client, lambda node: "wisp client" in node.name, "the client window")
    check_window("client window", client_window)

    udp = start(kestrel, "/u")
    check_window("UDP window", window(udp, lambda node: node.name == "UDP", "the UDP window"))
    chooser = start(kestrel)
    check_window("chooser", window(chooser, lambda node: find(node, "push button", "Cancel"),
                                   "the chooser"))

    press(choose(client_window, "Connect"))
    answer_box(client, "Host IP ?", "127.0.0.1")
    answer_box(client, "Host Port ?", str(port))
    answer_box(client, "Handle Name ? (0 < ? < 11)", HANDLE)
    window(client, lambda node: node.name.startswith("[%s:" % HANDLE), "the caption after login")
    need(need(client_window, "combo box"), "text").queryEditableText().setTextContents(CHAT)
    send = choose(client_window, "Send")
    line = "@%-10s|%s\r\n" % (HANDLE, CHAT)
    if not announces(server, line, lambda: press(send)):
        fail("the server's log did not tell of the chat line as it came", server_window)
    text = log_reads(server_window, line).queryText()  # the login line, then the chat line
    lines = [text.getTextAtOffset(at, pyatspi.TEXT_BOUNDARY_LINE_START)[0]
             for at in (0, text.characterCount - 3)]
    if not lines[1].endswith(line) or [one.count("\n") for one in lines] != [1, 1]:
        fail("the server log's first and last lines read %r" % lines, server_window)
    check_window("server window", server_window)
    log_reads(client_window, line)


def main():
    try:
        run(sys.argv[1])
    except TimeoutError as error:
        fail(*error.args)
    except (GLib.GError, AttributeError, NotImplementedError) as error:
        fail(repr(error))
    finally:
        for process in children:
            process.kill()
            process.wait()
    print("check-atspi: " + ("%d failure(s)" % len(failures) if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
