#!/usr/bin/env python3
"""The Windows installer under Wine, as a user gets it, in a fresh prefix of
its own: a silent install puts every file, the Start-menu entry and the
uninstall entry in place and starts the launcher, which starts the daemon,
lights the layout that the user's host.conf names and serves the console; a
second silent install over it keeps the user's host.conf and stored layout
byte for byte and ends with one launcher and one daemon; a silent uninstall
stops both and leaves no installed file, entry or shortcut, but the user's
settings.

Not checked here: the logon task's removal. Wine 8 registers no logon task,
and its schtasks deletes no task at all (it ends with 1 even for a task file
that Wine's own scheduler lists), so the uninstaller's call is made but its
effect cannot be seen.

Usage: windows_installer_test.py INSTALLER BUILD_WIN_DIR LAYOUT_JSON
The prefix's wineserver and, without $DISPLAY, an Xvfb are started here and
stopped by their pids, also when a check fails."""
import http.client
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

STORED_LAYOUT = "user-0123456789abcdef.json"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tonvik"
UNINSTALL_VALUES = ["DisplayName", "DisplayVersion", "Publisher", "DisplayIcon", "EstimatedSize",
                    "UninstallString", "QuietUninstallString", "NoModify", "NoRepair"]
failures = []


def check(condition, what):
    print(("ok: " if condition else "FAILED: ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


class Wine:
    """A fresh prefix, its wineserver (by pid) and the programs run in it."""

    def __init__(self, root):
        self.prefix = os.path.join(root, "prefix")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree=;mshtml=")
        self.server = None

    def start(self):
        subprocess.run(["wineboot", "--init"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120, check=True)
        self.run("reg", "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD",
                 "/d", "0", "/f")
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=60)
        self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env)
        # The first program on a fresh server boots the prefix's services, which keep its streams open for good.
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def run(self, *args, timeout=60):
        """The program's end, with its output read from files: what it starts (the installer starts the
        launcher) keeps its streams, so pipes would never close."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            ended = subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                   timeout=timeout)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(ended.args, ended.returncode, out.read(), err.read())

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=30)
        if self.server is not None:
            try:
                self.server.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()

    def unix(self, *windows_parts):
        return os.path.join(self.prefix, "drive_c", *windows_parts)

    def programs(self):
        """Pids of the running launcher and daemon of this prefix, by program."""
        found = {"TonvikPlug.exe": [], "Tonvik.exe": []}
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as environ:
                    if f"WINEPREFIX={self.prefix}".encode() not in environ.read().split(b"\0"):
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    program = cmdline.read().split(b"\0")[0].decode(errors="replace")
            except OSError:
                continue
            name = program.replace("/", "\\").rsplit("\\", 1)[-1]
            if name in found and "\\Tonvik\\" in program:
                found[name].append(int(pid))
        return found

    def registry(self, key):
        """The key's values by name, or None when it does not exist."""
        reply = self.run("reg", "query", key)
        if reply.returncode != 0:
            return None
        values = {}
        for line in reply.stdout.decode(errors="replace").splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[1].startswith("REG_"):
                values[parts[0]] = parts[2] if len(parts) == 3 else ""
        return values


def get(port, path):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
    try:
        connection.request("GET", path, headers={"Host": f"127.0.0.1:{port}"})
        reply = connection.getresponse()
        return reply.status, reply.read()
    except OSError:
        return None, b""
    finally:
        connection.close()


def wait_lit_daemon(keys, mode, seconds):
    """The daemon's port once it reports the layout's keys and the mode."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for port in range(9191, 9200):
            status, body = get(port, "/api/keyboard/musiceffect")
            try:
                reply = json.loads(body) if status == 200 else {}
            except ValueError:
                reply = {}
            if reply.get("mode") == mode and len(reply.get("keys", [])) == keys:
                return port
        time.sleep(0.5)
    return None


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.2)
    return condition()


def read(path):
    with open(path, "rb") as file:
        return file.read()


def installed_files(build_win):
    """What the installer puts in place, each with the build's own bytes (None: not compared)."""
    files = {"Tonvik.exe": read(os.path.join(build_win, "Tonvik.exe")),
             "TonvikPlug.exe": read(os.path.join(build_win, "TonvikPlug.exe")),
             "uninstall.exe": None, "copyright.txt": None, "readme.txt": None}
    for directory in ("web", "layouts"):
        for base, _, names in os.walk(os.path.join(build_win, directory)):
            for name in names:
                path = os.path.join(base, name)
                files[os.path.relpath(path, build_win)] = read(path)
    return files


def check_installed(wine, build_win, version):
    install_dir = wine.unix("Program Files", "Tonvik")
    missing = [name for name, data in installed_files(build_win).items()
               if not os.path.isfile(os.path.join(install_dir, name))
               or (data is not None and read(os.path.join(install_dir, name)) != data)]
    check(not missing, f"every file installed with the build's bytes (missing or different: {missing[:5]})")
    check(os.path.isfile(wine.unix("ProgramData", "Microsoft", "Windows", "Start Menu", "Programs", "Tonvik.lnk")),
          "the Start-menu entry Tonvik for all users")
    values = wine.registry(UNINSTALL_KEY) or {}
    check(all(name in values for name in UNINSTALL_VALUES),
          f"the uninstall entry has {', '.join(UNINSTALL_VALUES)} (has {sorted(values)})")
    check(values.get("DisplayVersion") == version,
          f"DisplayVersion is the build's {version} ({values.get('DisplayVersion')})")
    check(values.get("QuietUninstallString") == '"C:\\Program Files\\Tonvik\\uninstall.exe" /S',
          f"QuietUninstallString runs the uninstaller silently ({values.get('QuietUninstallString')})")
    check(int(values.get("EstimatedSize", "0"), 0) > 1000, f"EstimatedSize in KiB ({values.get('EstimatedSize')})")


def main():
    installer, build_win, layout = sys.argv[1:4]
    # Tonvik-<version>-setup.exe: the version the build gave makensis.
    version = os.path.basename(installer)[len("Tonvik-"):-len("-setup.exe")]
    root = tempfile.mkdtemp(prefix="tonvik-installer-")
    xvfb = None
    wine = Wine(root)
    started = time.monotonic()
    try:
        if not os.environ.get("DISPLAY"):
            read_end, write_end = os.pipe()
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                                     "-nolisten", "tcp"], pass_fds=(write_end,), stderr=subprocess.DEVNULL)
            os.close(write_end)
            with os.fdopen(read_end) as display:
                os.environ["DISPLAY"] = ":" + display.readline().strip()
            wine.env["DISPLAY"] = os.environ["DISPLAY"]
        wine.start()
        print(f"prefix ready in {time.monotonic() - started:.0f} s", flush=True)

        # The user's own settings, there before the install: a host.conf that
        # names a stored layout, mode 5.
        app_data = wine.run("cmd", "/c", "echo", "%APPDATA%").stdout.decode().strip()
        settings_dir = os.path.join(wine.run("winepath", "-u", app_data).stdout.decode().strip(), "Tonvik")
        os.makedirs(os.path.join(settings_dir, "layouts"))
        shutil.copyfile(layout, os.path.join(settings_dir, "layouts", STORED_LAYOUT))
        with open(os.path.join(settings_dir, "host.conf"), "w") as conf:
            conf.write(f"# mine\nlayout = layouts/{STORED_LAYOUT}\nmode = 5\n")
        settings = {name: read(os.path.join(settings_dir, name)) for name in ("host.conf", "layouts/" + STORED_LAYOUT)}
        grid = json.loads(settings["layouts/" + STORED_LAYOUT])["layouts"]
        keys = grid["rows"] * grid["cols"]  # the effect reply lists every cell

        result = wine.run(installer, "/S", timeout=120)
        check(result.returncode == 0, f"the silent install ends with 0 ({result.returncode})")
        check_installed(wine, build_win, version)
        port = wait_lit_daemon(keys, 5, 90)
        check(port is not None, "the launcher it started has the daemon light the stored layout in mode 5")
        status, page = get(9190, "/")
        check(status == 200 and page == read(os.path.join(build_win, "web", "index.html")),
              f"the launcher serves the console on 9190 ({status})")
        first = wine.programs()
        check(len(first["TonvikPlug.exe"]) == 1 and len(first["Tonvik.exe"]) == 1,
              f"one launcher and one daemon run ({first})")

        # The same version again, over the running copy: an upgrade.
        result = wine.run(installer, "/S", timeout=120)
        check(result.returncode == 0, f"the second silent install ends with 0 ({result.returncode})")
        check_installed(wine, build_win, version)
        check(wait_lit_daemon(keys, 5, 90) is not None, "after it the daemon lights the stored layout again")
        again = wine.programs()
        check(len(again["TonvikPlug.exe"]) == 1 and len(again["Tonvik.exe"]) == 1,
              f"one launcher and one daemon run after it ({again})")
        before = set(first["TonvikPlug.exe"] + first["Tonvik.exe"])
        check(not before & set(again["TonvikPlug.exe"] + again["Tonvik.exe"]),
              "the programs of the first install were stopped and new ones started")
        for name, data in settings.items():
            check(read(os.path.join(settings_dir, name)) == data, f"{name} kept byte for byte over the upgrade")

        result = wine.run(wine.unix("Program Files", "Tonvik", "uninstall.exe"), "/S", timeout=120)
        check(result.returncode == 0, f"the silent uninstall starts ({result.returncode})")
        # The uninstaller runs from a copy of itself and ends after the one started here.
        install_dir = wine.unix("Program Files", "Tonvik")
        check(wait_until(lambda: not os.path.exists(install_dir), 60), "no installed file is left, nor the folder")
        gone = wine.programs()
        check(not gone["TonvikPlug.exe"] and not gone["Tonvik.exe"], f"the launcher and the daemon stopped ({gone})")
        check(wine.registry(UNINSTALL_KEY) is None, "the uninstall entry is gone")
        check(not os.path.exists(wine.unix("ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                                           "Tonvik.lnk")), "the Start-menu entry is gone")
        for name, data in settings.items():
            check(read(os.path.join(settings_dir, name)) == data, f"{name} kept byte for byte by the uninstall")
    finally:
        wine.stop()
        if xvfb is not None:
            xvfb.send_signal(signal.SIGTERM)
            xvfb.wait()
        shutil.rmtree(root, ignore_errors=True)
    print(f"installer test: {len(failures)} failed, {time.monotonic() - started:.0f} s", flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
