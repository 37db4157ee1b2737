#!/usr/bin/python3
"""Drives kestrel's windows over AT-SPI the way a screen reader or a test robot sees them.

Started by scripts/check-atspi.sh inside a private D-Bus session with its own accessibility
bus and X server. It answers the server's port question through the box itself, logs a
client in by pressing its menu button and menu items, sends a chat line and hears and reads
it back from the server window's log, sends the UDP window two blocks to itself, and walks
each window's tree for controls without a name.

    check-atspi.py KESTREL [--trees-only]

--trees-only prints the trees and checks nothing (for a build without accessible names).
Exit status 0 when every check passed.
"""

import os
import signal
import socket
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

STEP_SECONDS = 20
CHAT_TEXT = "hello over AT-SPI"
HANDLE = "atspi"

# Roles of things a person reads or works with: each must have a name of its own.
CONTROL_ROLES = {
    "push button", "toggle button", "check box", "radio button", "combo box", "text",
    "entry", "password text", "menu item", "check menu item", "menu", "image", "list",
    "spin button", "slider", "page tab", "icon",
}
# A scroll bar is left to the mouse (the pane's own keys scroll) and speaks by its role.
UNNAMED_ALLOWED = {"scroll bar"}

failures = []
children = []
boxes_shown = set()
trees_only = "--trees-only" in sys.argv[2:]


def fail(what):
    failures.append(what)
    print("FAIL: " + what, flush=True)


def wait_for(predicate, what, seconds=STEP_SECONDS):
    deadline = time.monotonic() + seconds
    while True:
        for process in children:
            if process.poll() is not None and process.returncode != 0:
                raise TimeoutError("%s ended with status %d while waiting for %s" % (
                    " ".join(process.args[1:]) or "kestrel", process.returncode, what))
        try:
            result = predicate()
        except GLib.GError:
            result = None  # the tree changed under us: look again
        if result:
            return result
        if time.monotonic() > deadline:
            raise TimeoutError("gave up waiting: " + what)
        time.sleep(0.1)


def start(kestrel, *args):
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb",
               LANG="C.UTF-8")
    process = subprocess.Popen([kestrel, *args], env=env, stdin=subprocess.DEVNULL)
    children.append(process)
    return process


def application(process):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.get_process_id() == process.pid:
            app.clear_cache()
            return app
    return None


def walk(node, depth=0):
    if node is None:
        return
    yield node, depth
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from walk(child, depth + 1)


def find(root, role, name=None, test=None):
    if root is None:
        return None
    for node, _ in walk(root):
        if node.getRoleName() == role and (name is None or node.name == name) and (
                test is None or test(node)):
            return node
    return None


def window(process, role, test):
    app = application(process)
    if app is None:
        return None
    for i in range(app.childCount):
        top = app.getChildAtIndex(i)
        if top is not None and top.getRoleName() == role and test(top.name):
            return top
    return None


def visible(node):
    return node.getState().contains(pyatspi.STATE_VISIBLE)


def tree_text(root):
    lines = []
    for node, depth in walk(root):
        states = node.getState()
        flags = [n for n, s in (("focusable", pyatspi.STATE_FOCUSABLE),
                                ("read-only", pyatspi.STATE_READ_ONLY),
                                ("editable", pyatspi.STATE_EDITABLE),
                                ("multi-line", pyatspi.STATE_MULTI_LINE)) if states.contains(s)]
        if not states.contains(pyatspi.STATE_VISIBLE):
            flags.append("invisible")
        line = "  " * depth + "%s name=%r" % (node.getRoleName(), node.name)
        if node.description:
            line += " description=%r" % node.description
        if flags:
            line += "  " + " ".join(flags)
        lines.append(line)
    return "\n".join(lines)


def show_tree(title, root):
    print("--- %s" % title)
    print(tree_text(root), flush=True)


def check_names(title, root):
    for node, _ in walk(root):
        role = node.getRoleName()
        if not visible(node) or role in UNNAMED_ALLOWED or node.name:
            continue
        if role in CONTROL_ROLES or node.getState().contains(pyatspi.STATE_FOCUSABLE):
            fail("%s: a %s without a name" % (title, role))
    if not root.name:
        fail("%s: the window has no name" % title)
    if root.getRoleName() not in ("frame", "window", "dialog"):
        fail("%s: shows as a %s, not as a window" % (title, root.getRoleName()))


def press(node):
    action = node.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in ("press", "Press", "click", "activate"):
            try:
                action.doAction(i)
            except GLib.GError:
                pass  # a modal box opened inside the press answers the call late
            return
    action.doAction(0)


def answer_box(process, prompt, text):
    """Types `text` into the input box that asks `prompt` and presses its OK button."""
    def box():
        app = application(process)
        for node, _ in walk(app):
            if node.getRoleName() == "dialog" and find(node, "label", prompt):
                return node
        return None
    try:
        dialog = wait_for(box, "the box " + prompt)
    except TimeoutError:
        show_tree("what the program shows instead", application(process))
        raise
    if prompt not in boxes_shown:
        boxes_shown.add(prompt)
        show_tree("the box " + prompt, dialog)
    if not trees_only:
        check_names("the box " + prompt, dialog)
    entry = wait_for(lambda: find(dialog, "text"), "the entry of " + prompt)
    entry.queryEditableText().setTextContents(text)
    press(wait_for(lambda: find(dialog, "push button", "OK"), "OK in " + prompt))
    wait_for(lambda: not dialog_showing(dialog), "the box %s to close" % prompt)


def dialog_showing(dialog):
    try:
        return dialog.getState().contains(pyatspi.STATE_VISIBLE) and dialog.getIndexInParent() >= 0
    except GLib.GError:
        return False


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ports_free(*ports):
    try:
        for port in ports:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
                probe.bind(("", port))
        return True
    except OSError:
        return False


def udp_block_read_back(udp, udp_window):
    """Two blocks sent to itself: the second replaces the first, and a screen reader hears it."""
    entry = wait_for(lambda: find(udp_window, "text", "Text"), "the UDP entry box")
    log = wait_for(lambda: find(udp_window, "text", "Log"), "the UDP log pane")
    send = wait_for(lambda: find(udp_window, "menu item", "Send"), "Send on the menu bar")
    for text in ("first block", "second block"):
        entry.queryEditableText().setTextContents(text)

        def told(events, text=text):
            return any(e.source.get_process_id() == udp.pid and text in str(e.any_data)
                       for e in events)
        if not told(heard_while(lambda: press(send), ("object:text-changed:insert",), told)):
            fail("the UDP log did not tell of the %s as it came" % text)
        wait_for(lambda: text in log_text(log), "the %s in the UDP log" % text)
    if "first block" in log_text(log):
        fail("the UDP log still reads the first block after the second")
    print("UDP log over AT-SPI: %r" % log_text(log), flush=True)


def log_text(log):
    text = log.queryText()
    return text.getText(0, text.characterCount)


def heard_while(action, events, done):
    """Runs `action` in the event loop and returns the events heard until done(events)."""
    heard = []

    def listener(event):
        heard.append(event)
        if done(heard):
            pyatspi.Registry.stop()

    pyatspi.Registry.registerEventListener(listener, *events)
    GLib.timeout_add(0, lambda: action() and False)
    GLib.timeout_add(STEP_SECONDS * 1000, lambda: pyatspi.Registry.stop() and False)
    pyatspi.Registry.start()
    pyatspi.Registry.deregisterEventListener(listener, *events)
    return heard


def popup_from(button):
    """Presses `button` and returns the pop-up menu it opens. A pop-up is no child of its
    application in the tree: like a screen reader, catch it as it shows."""
    heard = heard_while(lambda: press(button), ("window:activate", "object:state-changed:showing"),
                        lambda events: find(events[-1].source, "menu item"))
    if not heard or not find(heard[-1].source, "menu item"):
        raise TimeoutError("gave up waiting: a pop-up menu from %r" % button.name)
    return heard[-1].source


def choose(window_node, button_name, item):
    button = wait_for(lambda: find(window_node, "push button", button_name),
                      "a push button named %r" % button_name)
    menu = popup_from(button)
    return wait_for(lambda: find(menu, "menu item", item), "the menu item " + item)


def run(kestrel):
    port = free_port()

    server = start(kestrel, "/s")
    answer_box(server, "Host Port ?", str(port))
    server_window = wait_for(
        lambda: window(server, "frame", lambda n: n.endswith(":%d] - wisp server" % port)),
        "the server window listening on %d" % port)

    client = start(kestrel, "/c")
    # A build without the windows' role shows the client as a filler: trees only.
    client_window = wait_for(lambda: window(client, "frame", lambda n: "wisp client" in n) or
                             window(client, "filler", lambda n: "wisp client" in n),
                             "the client window")
    show_tree("client window, as opened", client_window)
    if not trees_only:
        check_names("client window", client_window)

    udp_ports = ports_free(777, 778)
    udp = start(kestrel, "/u")
    udp_window = wait_for(lambda: window(udp, "frame", lambda n: n == "UDP") or
                          window(udp, "window", lambda n: n == "UDP"), "the UDP window")
    show_tree("UDP window", udp_window)
    if not trees_only:
        check_names("UDP window", udp_window)

    if udp_ports and not trees_only:
        udp_block_read_back(udp, udp_window)
    elif not trees_only:
        print("UDP: ports 777/778 are taken or not ours to bind here; no block sent", flush=True)

    chooser = start(kestrel)
    chooser_window = wait_for(lambda: find(application(chooser), "push button", "Cancel") and
                              application(chooser).getChildAtIndex(0), "the chooser")
    show_tree("chooser", chooser_window)
    if not trees_only:
        check_names("chooser", chooser_window)
    press(find(chooser_window, "push button", "Cancel"))
    try:
        chooser.wait(STEP_SECONDS)
    except subprocess.TimeoutExpired:
        fail("the chooser's Cancel pressed over AT-SPI did not end it")

    if trees_only:
        show_tree("server window", server_window)
        return

    # The whole road of a chat line, with nothing but what AT-SPI offers.
    press(choose(client_window, "Menu", "Connect"))
    answer_box(client, "Host IP ?", "127.0.0.1")
    answer_box(client, "Host Port ?", str(port))
    answer_box(client, "Handle Name ? (0 < ? < 11)", HANDLE)
    wait_for(lambda: window(client, "frame", lambda n: n.startswith("[%s:" % HANDLE)),
             "the client's caption after login")
    entry = wait_for(lambda: find(find(client_window, "combo box"), "text"),
                     "the entry of the combo box")
    entry.queryEditableText().setTextContents(CHAT_TEXT)
    send = choose(client_window, "Menu", "Send")

    # A screen reader speaks new lines as they are told; then it reads them back.
    line_end = "@%-10s|%s\r\n" % (HANDLE, CHAT_TEXT)

    def told(events):
        return any(e.source.get_process_id() == server.pid and line_end in str(e.any_data)
                   for e in events)
    if not told(heard_while(lambda: press(send), ("object:text-changed:insert",), told)):
        fail("the server's log did not tell of the chat line as it came")
    server_log = wait_for(lambda: find(server_window, "text", None,
                                       lambda n: n.getState().contains(pyatspi.STATE_READ_ONLY)),
                          "the server's log pane")
    wait_for(lambda: line_end in log_text(server_log), "the chat line in the server's log")
    text = server_log.queryText()
    line = text.getTextAtOffset(text.characterCount - 3, pyatspi.TEXT_BOUNDARY_LINE_START)
    if not line[0].endswith(line_end):
        fail("the server log's last line reads %r" % (line[0],))
    print("server log over AT-SPI: %r" % log_text(server_log), flush=True)
    show_tree("server window, after the chat line", server_window)
    check_names("server window", server_window)

    client_log = find(client_window, "text", None,
                      lambda n: n.getState().contains(pyatspi.STATE_READ_ONLY))
    wait_for(lambda: line_end in log_text(client_log), "the echo in the client's log")


def main():
    try:
        run(sys.argv[1])
    except (TimeoutError, GLib.GError, AttributeError, NotImplementedError) as error:
        fail(str(error))
    finally:
        for process in children:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for process in children:
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
    if failures:
        print("check-atspi: %d failure(s)" % len(failures))
        return 1
    print("check-atspi: trees shown, nothing checked" if trees_only else "check-atspi: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
