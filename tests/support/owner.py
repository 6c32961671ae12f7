"""How a test server (ftpd.py, httpd.py) tells its owner the port it
listens on, and how it is ended.

Run by a Linux test, it prints "PORT <n>" on stdout and the owner signals
it. Wine starts a Linux program from a Windows one without a process
handle and without its pipes, so a Windows test can neither read the
server's output nor signal it: with a control folder, the port goes to the
file "port" there, and a child of the server answers a file "kill" or
"freeze" in it with SIGKILL or SIGSTOP, and writes "frozen", or "ended"
once the server is gone, however it went. That child also ends the server
when the folder goes, as the owner's temporary folder does when the test
ends (or the test run's Wine prefix is removed).
"""

import os
import signal
import time


def announce(port, control):
    if not control:
        print("PORT %d" % port, flush=True)
        return
    if os.fork() == 0:
        _watch(control, os.getppid())
    path = os.path.join(control, "port")
    with open(path + ".new", "w") as f:
        f.write("%d\n" % port)
    os.rename(path + ".new", path)


def _watch(control, server):
    os.closerange(3, 1024)  # the listening socket must not outlive a killed server

    def exists(name):
        return os.path.exists(os.path.join(control, name))

    def touch(name):
        open(os.path.join(control, name), "w").close()

    frozen = False
    while os.getppid() == server:
        if exists("kill") or not os.path.isdir(control):
            os.kill(server, signal.SIGKILL)
            break
        if not frozen and exists("freeze"):
            os.kill(server, signal.SIGSTOP)
            touch("frozen")
            frozen = True
        time.sleep(0.02)
    if os.path.isdir(control):
        touch("ended")  # killed, or gone by itself (httpd.py --cut-after)
    os._exit(0)
