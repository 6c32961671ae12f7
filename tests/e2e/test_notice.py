"""The notice page loads beside the update and never holds it up."""

import http.server
import os
import subprocess
import threading
import unittest

import e2e
from e2e import BUTTON_EXIT, Case, wait_until


class NoticeServer(http.server.ThreadingHTTPServer):
    def __init__(self):
        self.paths = []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                outer.paths.append(self.path)
                body = "<html><body><h1>공지사항</h1></body></html>".encode("utf-8")
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()


class Notice(Case):
    def web_env(self, host):
        env = {"ORVANTA_NOTICE": "on", "ORVANTA_WEB_HOST": host,
               "QTWEBENGINE_CHROMIUM_FLAGS": "--disable-gpu"}
        if os.geteuid() == 0:
            env["QTWEBENGINE_DISABLE_SANDBOX"] = "1"
        return env

    def test_page_is_asked_for_once_and_the_update_goes_on(self):
        web = NoticeServer()
        try:
            self.make_release({"a.bin": b"a" * 10000})
            ftpd = self.start_ftpd()
            patchd = self.start_patchd(2, "127.0.0.1:%d" % ftpd.port)
            self.write_store(PORT=patchd.port)
            proc = self.start_updater("127.0.0.1", extra_env=self.web_env("127.0.0.1:%d" % web.server_address[1]))
            self.wait_status("업데이트를 완료했습니다.", 30)
            self.assertTrue(wait_until(lambda: web.paths, 15))
            self.assertEqual(web.paths[0], "/updater_notice/list.asp")
            self.click(BUTTON_EXIT)
            self.assertEqual(self.wait_exit(proc), 0)
            self.assertEqual(web.paths.count("/updater_notice/list.asp"), 1)
        finally:
            web.shutdown()

    def test_unreachable_page_does_not_hold_up_the_update(self):
        self.make_release({"a.bin": b"a" * 10000})
        ftpd = self.start_ftpd()
        patchd = self.start_patchd(2, "127.0.0.1:%d" % ftpd.port)
        self.write_store(PORT=patchd.port)
        proc = self.start_updater("127.0.0.1", extra_env=self.web_env("127.0.0.1:%d" % self.dead_port()))
        self.wait_status("업데이트를 완료했습니다.", 30)
        # In place of the engine's white error page: the notice panel's own
        # parchment, with a line of dark text across its middle.
        self.assertTrue(wait_until(lambda: self.notice_looks_quiet(), 20), self.notice_colours())
        self.click(BUTTON_EXIT)
        self.assertEqual(self.wait_exit(proc), 0)

    NOTICE = (11, 206, 289, 149)

    def notice_colours(self):
        """Mean red, green, blue of the notice panel and its darkest share, 0 to 1."""
        win, _x, _y = self.window or self.find_window()
        shot = os.path.join(self.logs, "notice.png")
        env = dict(os.environ, DISPLAY=self.xvfb.display)
        subprocess.run(["import", "-window", win, shot], env=env, check=True, timeout=e2e.scaled(20))
        x, y, w, h = self.NOTICE
        crop = "%dx%d+%d+%d" % (w - 2, h - 2, x + 1, y + 1)
        out = subprocess.run(["convert", shot, "-crop", crop, "+repage", "-format",
                              "%[fx:mean.r] %[fx:mean.g] %[fx:mean.b] %[fx:minima]", "info:"],
                             capture_output=True, text=True, check=True, timeout=e2e.scaled(20)).stdout
        return [float(v) for v in out.split()]

    def notice_looks_quiet(self):
        r, _g, b, darkest = self.notice_colours()
        return r > 0.85 and r - b > 0.08 and darkest < 0.6


if __name__ == "__main__":
    unittest.main()
