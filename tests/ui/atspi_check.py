#!/usr/bin/python3
# What a screen reader finds in the running popup, over AT-SPI.
#   atspi_check.py signin        the sign-in form: every control by role and name, the e-mail focused
#   atspi_check.py press NAME    presses the push button of that name, as a screen reader does
#   atspi_check.py main          the main view: the power button and every control named
# Exit 0 when it holds; 1 with what was found otherwise. Every wait is bounded.
import sys
import time

import pyatspi


def app():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        a = desktop.getChildAtIndex(i)
        if a is not None and a.name == "Kestrava":
            return a
    return None


def controls(node, depth=0, out=None):
    """(role, name, focused, node) of every showing button and text field, in tree order."""
    out = [] if out is None else out
    if node is None or depth > 64:
        return out
    state = node.getState()
    role = node.getRoleName()
    if role in ("push button", "text", "password text") and state.contains(pyatspi.STATE_SHOWING):
        out.append((role, node.name, state.contains(pyatspi.STATE_FOCUSED), node))
    for i in range(node.childCount):
        controls(node.getChildAtIndex(i), depth + 1, out)
    return out


def until(check, seconds, what):
    """What was found once check() holds for it; fails with it when time is up."""
    deadline = time.monotonic() + seconds
    while True:
        found = controls(app())
        if check(found):
            return found
        if time.monotonic() > deadline:
            fail(what, found)
        time.sleep(0.2)


def fail(what, found):
    print("atspi: " + what)
    for c in found:
        print("   ", c[:3])
    sys.exit(1)


SIGN_IN = [("text", "E-posta"), ("password text", "Şifre"), ("push button", "Şifreyi göster"),
           ("push button", "Giriş yap"), ("push button", "Şifremi unuttum"),
           ("push button", "Hesabın yok mu? Kayıt ol"), ("push button", "Kestrava’yı Kapat")]


def button(found, name):
    return next((c[3] for c in found if c[0] == "push button" and c[1] == name), None)


what = sys.argv[1] if len(sys.argv) > 1 else ""
if what == "signin":
    found = until(lambda f: [c[:2] for c in f] == SIGN_IN, 20, "the sign-in form is not what a screen reader should find")
    if not any(c[1] == "E-posta" and c[2] for c in found):
        fail("the e-mail field does not have the focus", found)
elif what == "press":
    found = until(lambda f: button(f, sys.argv[2]), 20, "no push button named " + sys.argv[2])
    action = button(found, sys.argv[2]).queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    if "Press" not in names or not action.doAction(names.index("Press")):
        fail("the button does not take a press: %s" % names, found)
elif what == "main":
    found = until(lambda f: button(f, "Bağlan"), 30, "no power button named Bağlan after signing in")
    if any(not c[1].strip() for c in found):
        fail("controls without a name", found)
    for wanted in ("Oturumu kapat", "Kestrava’yı Kapat"):
        if not any(c[1] == wanted for c in found):
            fail("no control named " + wanted, found)
else:
    print("usage: atspi_check.py signin | press NAME | main")
    sys.exit(2)
for c in found:
    print("   ", c[:3])
