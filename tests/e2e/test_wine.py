"""The real Updater.exe under Wine, against orvanta-patchd and the test FTP
server on Linux loopback: the registry store, an update, a resume after a
kill, the self-swap, the game start, the named mutex, and the installer.

One throw-away Wine prefix serves the whole file (booting one takes most of
its time); each test has its own game folder inside the prefix's drive C
and starts from an empty or freshly written store.
"""

import glob
import os
import random
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import e2e
from e2e import BUTTON_EXIT, BUTTON_GAME, Ftpd, Patchd, Xvfb, scaled, tree, wait_until

WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
WIN_BUILD = os.environ.get("ORVANTA_WINDOWS_BUILD", os.path.join(e2e.SOURCE_DIR, "build", "windows-mingw"))
UPDATER_EXE = os.path.join(WIN_BUILD, "app", "Updater.exe")
STAGE = os.path.join(e2e.SOURCE_DIR, "scripts", "windows-stage.sh")
MAKE_INSTALLER = os.path.join(e2e.SOURCE_DIR, "scripts", "windows-installer.sh")
MINGW_CC = shutil.which("x86_64-w64-mingw32-gcc")
# The game client is 32-bit and reads the 32-bit view; the updater opens it too.
KEY = r"HKEY_LOCAL_MACHINE\Software\WOW6432Node\Kelto Interactive, Inc.\Orvanta Online"
STORE_NAMES = ["ClientPath", "IP", "PORT", "ClientVersion", "Graphic", "EAX", "DownFolder", "DownFile",
               "Whisper", "Community", "AutoHelp"]

# Stands in for Client.exe: the command line exactly as Windows passed it, and
# the folder it runs in.
CLIENT_STUB = r"""
#include <windows.h>
#include <stdio.h>
static void put(FILE* f, const char* name, const wchar_t* text)
{
    char utf8[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    fprintf(f, "%s=%s\n", name, n > 0 ? utf8 : "");
}
int main(void)
{
    wchar_t cwd[1024];
    GetCurrentDirectoryW(1024, cwd);
    FILE* f = _wfopen(L"client-started.txt", L"wb");
    if (!f)
        return 1;
    put(f, "cmdline", GetCommandLineW());
    put(f, "cwd", cwd);
    fclose(f);
    return 0;
}
"""

# The access rule of a key in the 32-bit view, in SDDL. Wine keeps a key's
# rule only while its wineserver runs, so this is asked before it ends.
KEY_RULE = r"""
#include <windows.h>
#include <sddl.h>
#include <aclapi.h>
#include <stdio.h>
int wmain(int argc, wchar_t** argv)
{
    HKEY key;
    PSECURITY_DESCRIPTOR sd;
    LPWSTR text;
    if (argc != 2 || RegOpenKeyExW(HKEY_LOCAL_MACHINE, argv[1], 0, READ_CONTROL | KEY_WOW64_32KEY, &key) != 0)
        return 1;
    if (GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL, &sd) != 0 ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, NULL))
        return 1;
    printf("%ls\n", text);
    return 0;
}
"""


def stop_wine(env):
    """Ends every program of the prefix and its wineserver, and waits for them."""
    subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run([WINESERVER, "-w"], env=env, stderr=subprocess.DEVNULL, timeout=30)


def missing():
    if not os.path.exists(WINE):
        return "wine64 is not installed"
    if not os.path.exists(UPDATER_EXE):
        return "no windows-mingw build (%s)" % UPDATER_EXE
    if not MINGW_CC:
        return "no MinGW-w64 compiler for the Client.exe stand-in"
    if not os.path.exists(e2e.PATCHD):
        return "no Linux build of orvanta-patchd (%s)" % e2e.PATCHD
    return None


@unittest.skipIf(missing(), missing())
class Wine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="orvanta-wine-e2e-")
        cls.logs = os.path.join(cls.base, "logs")
        os.makedirs(cls.logs)
        cls.env = dict(os.environ, WINEPREFIX=os.path.join(cls.base, "prefix"), WINEDEBUG="-all",
                       # No Mono or Gecko: nothing needs them, and asking would reach the network.
                       WINEDLLOVERRIDES="mscoree,mshtml=")
        try:
            # The display first: the prefix's desktop process starts with the
            # boot and stays, and windows reach X only through a desktop that
            # had a display.
            cls.xvfb = Xvfb(cls.logs)
            cls.env["DISPLAY"] = cls.xvfb.display
            subprocess.run([WINE, "wineboot", "--init"], env=cls.env, check=True, timeout=scaled(180),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            source = os.path.join(cls.base, "client.c")
            with open(source, "w") as f:
                f.write(CLIENT_STUB)
            cls.client = os.path.join(cls.base, "Client.exe")
            subprocess.run([MINGW_CC, "-O1", "-o", cls.client, source], check=True, timeout=60)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        stop_wine(cls.env)
        if getattr(cls, "xvfb", None):
            cls.xvfb.stop()
        if os.environ.get("ORVANTA_E2E_KEEP"):
            print("kept", cls.base)
        else:
            shutil.rmtree(cls.base, ignore_errors=True)

    def setUp(self):
        name = self.id().rsplit(".", 1)[-1]
        self.game = os.path.join(self.env["WINEPREFIX"], "drive_c", "orvanta", name)
        self.game_win = "C:\\orvanta\\%s\\" % name
        self.release = os.path.join(self.base, "release-" + name)
        self.logs = os.path.join(self.base, name)
        os.makedirs(self.logs)
        self.status_log = os.path.join(self.logs, "status.log")
        os.makedirs(self.release)
        subprocess.run([STAGE, self.game], check=True)
        shutil.copy(self.client, self.game)
        self.servers, self.updaters = [], []
        self.reg("delete", KEY, "/f")

    def tearDown(self):
        e2e.end_all(self.updaters)
        for server in self.servers:
            server.stop()
        # Whatever the test left running in the prefix, so the next one
        # starts without a window or a held mutex.
        stop_wine(self.env)

    # --- Windows side ---

    def reg(self, *args):
        return subprocess.run([WINE, "reg", *args], env=self.env, capture_output=True, timeout=scaled(60))

    def run_windows(self, *args):
        """(exit status, output) of a Windows program. The output goes through
        a file: the prefix's services, started with it, would hold a pipe
        open for as long as the wineserver runs."""
        path = os.path.join(self.logs, "program.out")
        with open(path, "w") as out:
            status = subprocess.run([WINE, *args], env=self.env, stdout=out, stderr=subprocess.STDOUT,
                                    timeout=scaled(120)).returncode
        with open(path, encoding="utf-8", errors="replace") as f:
            return status, f.read()

    def write_store(self, **values):
        store = {"ClientPath": self.game_win, "IP": "localhost", "PORT": 7776, "ClientVersion": 1,
                 "Graphic": 1, "EAX": 1, "DownFolder": "", "DownFile": "", "Whisper": 1, "Community": 1,
                 "AutoHelp": 1}
        store.update(values)
        lines = ["Windows Registry Editor Version 5.00", "", "[%s]" % KEY]
        for k, v in store.items():
            if isinstance(v, int):
                lines.append('"%s"=dword:%08x' % (k, v))
            else:
                lines.append('"%s"="%s"' % (k, v.replace("\\", "\\\\")))
        path = os.path.join(self.base, "store.reg")
        with open(path, "w", encoding="utf-16") as f:
            f.write("\r\n".join(lines) + "\r\n")
        r = subprocess.run([WINE, "regedit", "/S", "Z:" + path.replace("/", "\\")], env=self.env,
                           capture_output=True, timeout=scaled(60))
        self.assertEqual(r.returncode, 0, r.stderr)

    def read_store(self):
        """Name -> text of the values under the key, as `reg query` prints them."""
        r = self.reg("query", KEY)
        out = {}
        for line in r.stdout.decode("utf-8", "replace").splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[1].startswith("REG_"):
                value = parts[2] if len(parts) > 2 else ""
                out[parts[0]] = str(int(value, 16)) if parts[1] == "REG_DWORD" else value
        return out

    def start_updater(self, *args):
        env = dict(self.env, ORVANTA_NOTICE="off",
                   ORVANTA_STATUS_LOG="Z:" + self.status_log.replace("/", "\\"))
        out = open(os.path.join(self.logs, "updater-%d.out" % len(self.updaters)), "w")
        with out:
            proc = subprocess.Popen([WINE, self.game_win + "Updater.exe", *args], cwd=self.game, env=env,
                                    stdout=out, stderr=subprocess.STDOUT)
        self.updaters.append(proc)
        self.window = None
        return proc

    # --- what the window shows, as e2e.Case reads it ---

    statuses = e2e.Case.statuses
    wait_status = e2e.Case.wait_status
    find_window = e2e.Case.find_window
    click = e2e.Case.click
    key = e2e.Case.key
    wait_exit = e2e.Case.wait_exit

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.xvfb.display),
                              capture_output=True, text=True, timeout=scaled(10))

    def windows(self):
        return [w for w in self.xdotool("search", "--onlyvisible", "--name", e2e.TITLE).stdout.split() if w]

    def client_started(self):
        path = os.path.join(self.game, "client-started.txt")
        if not os.path.exists(path):
            return None
        with open(path, encoding="utf-8") as f:
            return dict(line.split("=", 1) for line in f.read().splitlines())

    def servers_for(self, version, *knobs):
        ftpd = Ftpd(self.release, self.logs, *knobs)
        self.servers.append(ftpd)
        patchd = Patchd(self.logs, self.release, version, "127.0.0.1:%d" % ftpd.port,
                        game_host="10.1.2.3", game_port=4242)
        self.servers.append(patchd)
        return ftpd, patchd

    # --- the checks ---

    def test_first_run_writes_the_store_and_a_second_updater_exits(self):
        first = self.start_updater("127.0.0.1")
        self.find_window(timeout=60)
        # The eleven values the game client reads, in its own view.
        store = wait_until(lambda: len(self.read_store()) >= 11 and self.read_store(), 20)
        self.assertTrue(store, self.read_store())
        self.assertEqual(sorted(store), sorted(STORE_NAMES))
        self.assertEqual(store["ClientPath"], self.game_win)
        self.assertEqual((store["IP"], store["PORT"]), ("localhost", "7776"))

        started = time.monotonic()
        second = self.start_updater("127.0.0.1")
        self.assertEqual(self.wait_exit(second, 30), 0)
        self.assertLess(time.monotonic() - started, scaled(15))
        self.assertEqual(len(self.windows()), 1)
        self.assertIsNone(first.poll())
        self.click(BUTTON_EXIT)
        self.assertEqual(self.wait_exit(first, 30), 0)

    def test_update_with_korean_names_resumes_after_a_kill_then_starts_the_game(self):
        rng = random.Random(23)
        files = {
            "readme.txt": "Orvanta Online 3\n".encode(),
            "data/소리/겨울축제/눈.ogg": rng.randbytes(90_000),
            "data/지도/깊은/곳/성.map": rng.randbytes(60_000),
            "pack/big.pak": rng.randbytes(2_500_000),
            "pack/more.pak": rng.randbytes(1_500_000),
        }
        for rel, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(self.release, rel)), exist_ok=True)
            with open(os.path.join(self.release, rel), "wb") as f:
                f.write(data)
        ftpd, patchd = self.servers_for(3, "--throttle", "400000")
        self.write_store(PORT=patchd.port, ClientVersion=2)
        first = self.start_updater("127.0.0.1")
        self.assertTrue(wait_until(lambda: "pack/big.pak" in " ".join(ftpd.retrieved()), 60), ftpd.retrieved())
        time.sleep(2.0)
        first.send_signal(signal.SIGKILL)
        first.wait()
        stop_wine(self.env)
        self.assertTrue(self.read_store().get("DownFile"), self.read_store())
        with open(ftpd.commands, encoding="utf-8", errors="replace") as f:
            before = len(f.read())

        second = self.start_updater("127.0.0.1")
        self.wait_status("업데이트를 완료했습니다.", 120)
        self.find_window(timeout=60)
        # The second run continues what the first left, not from its start.
        with open(ftpd.commands, encoding="utf-8", errors="replace") as f:
            later = f.read()[before:]
        self.assertRegex(later, r"REST [1-9]")
        self.assertNotIn("RETR data/", later)
        game = tree(self.game)
        self.assertEqual({rel: game.get(rel) for rel in files}, tree(self.release))
        done = lambda: (lambda s: (s.get("ClientVersion"), s.get("DownFile")) == ("3", "") and s)(self.read_store())
        self.assertTrue(wait_until(done, 10), self.read_store())

        self.click(BUTTON_GAME)
        self.assertEqual(self.wait_exit(second, 30), 0)
        started = wait_until(self.client_started, 15)
        self.assertTrue(started)
        # The line as built, nothing in front of it and one blank between words.
        self.assertEqual(started["cmdline"], "Client.exe -start -ip:10.1.2.3 -port:4242")
        self.assertEqual(started["cwd"], self.game_win.rstrip("\\"))

    def test_downloaded_updater_is_swapped_in_and_the_old_one_kept(self):
        with open(UPDATER_EXE, "rb") as f:
            old = f.read()
        # Trailing bytes after the program's image, which Windows ignores:
        # at least 17 MiB, so that it comes in pieces.
        new = old + b"\0next release" + random.Random(5).randbytes(max(0, 17 * 1024 * 1024 - len(old)))
        with open(os.path.join(self.release, "_Updater.exe"), "wb") as f:
            f.write(new)
        # Each connection is paced, so the others join in time: the pieces'
        # writes at their offsets on Windows.
        ftpd, patchd = self.servers_for(4, "--rate-per-connection", "8000000")
        self.write_store(PORT=patchd.port, ClientVersion=3)
        proc = self.start_updater("127.0.0.1")
        self.wait_status("업데이트를 완료했습니다.", 60)
        with open(ftpd.commands, encoding="utf-8", errors="replace") as f:
            self.assertRegex(f.read(), r"REST [1-9]")
        self.find_window(timeout=60)
        self.click(BUTTON_GAME)
        # The box asking to start the updater again, over the window.
        self.assertTrue(wait_until(lambda: len(self.xdotool("search", "--onlyvisible", "--name", ".").stdout.split()) > 1,
                                   15), "no restart box")
        self.key("Return")
        self.assertEqual(self.wait_exit(proc, 30), 0)
        with open(os.path.join(self.game, "Updater.exe"), "rb") as f:
            self.assertEqual(f.read(), new)
        with open(os.path.join(self.game, "_tmp"), "rb") as f:
            self.assertEqual(f.read(), old)
        self.assertFalse(os.path.exists(os.path.join(self.game, "_Updater.exe")))
        self.assertIsNone(self.client_started())

    @unittest.skipIf(not shutil.which("makensis"), "makensis (nsis) is not installed")
    def test_installer_installs_the_updater_which_updates_then_uninstalls_without_a_trace(self):
        drive = os.path.join(self.env["WINEPREFIX"], "drive_c")
        folder_win = "C:\\Program Files\\Orvanta Online\\"
        folder = os.path.join(drive, "Program Files", "Orvanta Online")
        # What the prefix holds before, but for temporary files; the digest
        # cache of the other tests' runs goes first (in "..., Inc": Windows
        # drops a name's trailing dot).
        for cache in glob.glob(os.path.join(drive, "users", "*", "AppData", "Local", "Kelto Interactive, Inc")):
            shutil.rmtree(cache)
        def files():
            found = set()
            for top, dirs, names in os.walk(drive):
                found.update(os.path.relpath(os.path.join(top, n), drive) for n in dirs + names)
            return {f for f in found if "/Temp/" not in f and f != "orvanta" and not f.startswith("orvanta/")}
        before = files()
        setup = os.path.join(self.base, "Orvanta-Setup.exe")
        subprocess.run([MAKE_INSTALLER, setup], check=True, capture_output=True, timeout=scaled(180),
                       env=dict(os.environ, ORVANTA_INSTALLER_COMPRESSOR="zlib"))
        source = os.path.join(self.base, "key_rule.c")
        with open(source, "w") as f:
            f.write(KEY_RULE)
        key_rule = os.path.join(self.base, "key_rule.exe")
        subprocess.run([MINGW_CC, "-municode", "-O1", "-o", key_rule, source, "-ladvapi32"], check=True, timeout=60)

        # One wineserver from the installation to the rule's check.
        subprocess.run([WINESERVER, "-p"], env=self.env, check=True)
        self.assertEqual(self.run_windows(setup, "/S")[0], 0)
        rule = self.run_windows(key_rule, KEY.split("\\", 1)[1].replace("WOW6432Node\\", ""))
        # Players (built-in Users) may do all on the store's key.
        self.assertIn("(A;OICI;KA;;;BU)", rule[1], rule)
        for rel in ("Updater.exe", "orvanta-update.exe", "Qt6Widgets.dll", "platforms/qwindows.dll",
                    "Uninstall.exe"):
            self.assertTrue(os.path.exists(os.path.join(folder, rel)), rel)
        links = [f for f in files() - before if f.endswith(".lnk")]
        self.assertEqual(len(links), 3, links)
        self.assertEqual(self.read_store(), {"ClientPath": folder_win})
        uninstall = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvanta Online"
        self.assertEqual(self.reg("query", uninstall).returncode, 0)

        # The installed updater, started as the shortcut starts it, fetches
        # a release into its folder and records it.
        with open(os.path.join(self.release, "readme.txt"), "wb") as f:
            f.write(b"Orvanta Online 5\n")
        os.makedirs(os.path.join(self.release, "data", "소리"))
        with open(os.path.join(self.release, "data", "소리", "바람.ogg"), "wb") as f:
            f.write(random.Random(9).randbytes(50_000))
        _ftpd, patchd = self.servers_for(5)
        self.write_store(ClientPath=folder_win, PORT=patchd.port, ClientVersion=0)
        self.game, self.game_win = folder, folder_win
        proc = self.start_updater("127.0.0.1")
        self.wait_status("업데이트를 완료했습니다.", 60)
        self.assertEqual({rel: tree(folder).get(rel) for rel in tree(self.release)}, tree(self.release))
        self.assertTrue(wait_until(lambda: self.read_store().get("ClientVersion") == "5", 10), self.read_store())
        self.find_window(timeout=60)
        self.click(BUTTON_EXIT)
        self.assertEqual(self.wait_exit(proc, 30), 0)
        self.assertTrue([f for f in files() - before if f.endswith(".digests")])

        # The uninstaller runs from a copy in the temporary folder and
        # returns at once; it is done when the game folder is gone.
        self.assertEqual(self.run_windows(folder_win + "Uninstall.exe", "/S")[0], 0)
        self.assertTrue(wait_until(lambda: not os.path.exists(folder), 30), "the game folder stayed")
        self.assertTrue(wait_until(lambda: files() == before, 10), sorted(files() ^ before))
        self.assertNotEqual(self.reg("query", KEY.rsplit("\\", 1)[0]).returncode, 0)
        self.assertNotEqual(self.reg("query", uninstall).returncode, 0)


if __name__ == "__main__":
    unittest.main()
