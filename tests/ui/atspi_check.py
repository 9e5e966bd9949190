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
    """(role, name, focused) of every showing button and text field, in tree order."""
    out = [] if out is None else out
    if node is None or depth > 64:
        return out
    state = node.getState()
    role = node.getRoleName()
    if role in ("push button", "text", "password text") and state.contains(pyatspi.STATE_SHOWING):
        out.append((role, node.name, state.contains(pyatspi.STATE_FOCUSED)))
    for i in range(node.childCount):
        controls(node.getChildAtIndex(i), depth + 1, out)
    return out


def until(check, seconds):
    """The last result of check() once it is truthy, or when time is up."""
    deadline = time.monotonic() + seconds
    while True:
        a = app()
        found = controls(a) if a is not None else []
        result = check(found)
        if result or time.monotonic() > deadline:
            return result, found
        time.sleep(0.2)


def fail(what, found):
    print("atspi: " + what)
    for c in found:
        print("   ", c)
    sys.exit(1)


SIGN_IN = [
    ("text", "E-posta"),
    ("password text", "Şifre"),
    ("push button", "Şifreyi göster"),
    ("push button", "Giriş yap"),
    ("push button", "Şifremi unuttum"),
    ("push button", "Hesabın yok mu? Kayıt ol"),
    ("push button", "Kestrava’yı Kapat"),
]


def main():
    what = sys.argv[1] if len(sys.argv) > 1 else ""
    if what == "signin":
        ok, found = until(lambda f: [(r, n) for r, n, _ in f] == SIGN_IN, 20)
        if not ok:
            fail("the sign-in form is not what a screen reader should find", found)
        if not any(n == "E-posta" and focused for _, n, focused in found):
            fail("the e-mail field does not have the focus", found)
    elif what == "press":
        name = sys.argv[2]
        ok, found = until(lambda f: any(r == "push button" and n == name for r, n, _ in f), 20)
        if not ok:
            fail("no push button named " + name, found)

        def find(node, depth=0):
            if node is None or depth > 64:
                return None
            if node.getRoleName() == "push button" and node.name == name:
                return node
            for i in range(node.childCount):
                hit = find(node.getChildAtIndex(i), depth + 1)
                if hit is not None:
                    return hit
            return None

        action = find(app()).queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        if "Press" not in names or not action.doAction(names.index("Press")):
            fail("the button does not take a press: %s" % names, found)
    elif what == "main":
        ok, found = until(lambda f: any(r == "push button" and n == "Bağlan" for r, n, _ in f), 30)
        if not ok:
            fail("no power button named Bağlan after signing in", found)
        unnamed = [c for c in found if not c[1].strip()]
        if unnamed:
            fail("controls without a name", found)
        for wanted in ("Oturumu kapat", "Kestrava’yı Kapat"):
            if not any(n == wanted for _, n, _ in found):
                fail("no control named " + wanted, found)
    else:
        print("usage: atspi_check.py signin | press NAME | main")
        sys.exit(2)
    for c in found:
        print("   ", c)


main()
