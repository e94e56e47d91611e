"""Test-session set-up shared by every test file.

A shell starts a background job without job control with SIGINT ignored,
and an interpreter that starts with SIGINT ignored installs no
KeyboardInterrupt handler; nor do the interpreters it starts. The interrupt
tests need Ctrl-C to mean KeyboardInterrupt, as it does in a terminal, so
the handler is restored here (the children then start with SIGINT at its
default and install their own).
"""

import signal

if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
