#!/usr/bin/env python3
"""The files that make the tool part of a Linux desktop: the menu entry and
its icons, the AppStream metadata, the manual page and bash completion of
brivane-fwtool (both checked against the program's own --help, so they cannot
drift from it), what `cmake --install` puts where, and the settings folder of
a start from the menu.
"""

import gzip
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import sys
import xml.etree.ElementTree as ElementTree

SOURCE = os.environ["BRIVANE_SOURCE_DIR"]
BUILD = os.environ["BRIVANE_BUILD_DIR"]
FWTOOL = os.environ["BRIVANE_FWTOOL"]
PROGRAM = os.environ.get("BRIVANE_PROGRAM", "")
VERSION = os.environ["BRIVANE_VERSION"]
LINUX = os.path.join(SOURCE, "packaging", "linux")
APPLICATION_ID = "example.brivane.FirmwareTool"
DESKTOP_FILE = os.path.join(LINUX, APPLICATION_ID + ".desktop")
METAINFO_FILE = os.path.join(LINUX, APPLICATION_ID + ".metainfo.xml")
COMPLETION_FILE = os.path.join(LINUX, "brivane-fwtool.bash-completion")
MAN_PAGE = os.path.join(BUILD, "packaging", "brivane-fwtool.1")
ICON_SIZES = ("16x16", "24x24", "32x32", "48x48", "64x64", "128x128", "256x256")
ACTION_COMMANDS = {"catalogue": ["list", "publish", "edit", "remove", "order"]}

sys.path.insert(0, os.path.join(SOURCE, "tests", "gui"))
from guiharness import remove_blocks_keyed_on  # noqa: E402 (needs the path above)


def run(arguments, **options):
    return subprocess.run(arguments, capture_output=True, text=True, timeout=60, **options)


def help_text(*arguments):
    result = run([FWTOOL, *arguments, "--help"])
    assert result.returncode == 0, result.stderr
    return result.stdout


def commands():
    """The commands the top-level help lists."""
    listing = help_text().split("Commands:\n", 1)[1].split("\n\n", 1)[0]
    return [line.split()[0] for line in listing.splitlines() if line.startswith("  ")]


def options_of(*arguments):
    """The long options one command's help lists (the toolkit's help ones
    aside)."""
    found = re.findall(r"^ +(?:-\w, )?(--[a-z][a-z0-9-]*)", help_text(*arguments), re.M)
    return sorted(set(found) - {"--help", "--help-all"})


def every_command_line():
    """Each command, and each action of the commands whose actions have
    options of their own."""
    for command in commands():
        actions = ACTION_COMMANDS.get(command)
        if actions:
            for action in actions:
                yield (command, action)
        else:
            yield (command,)


def desktop_entry():
    entry = {}
    with open(DESKTOP_FILE, encoding="utf-8") as file:
        for line in file:
            if "=" in line and not line.startswith("#"):
                key, value = line.rstrip("\n").split("=", 1)
                entry[key] = value
    return entry


class MenuEntryTest(unittest.TestCase):
    def test_the_entry_is_valid(self):
        result = run(["desktop-file-validate", DESKTOP_FILE])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout + result.stderr, "")

    def test_the_entry_starts_the_program_with_its_settings_in_the_configuration_folder(self):
        entry = desktop_entry()
        self.assertEqual(entry["Exec"].split(), ["brivane-firmware-tool", "--user-settings"])
        self.assertEqual(entry["Terminal"], "false")

    def test_the_icon_exists_at_every_usual_size(self):
        icon = desktop_entry()["Icon"]
        hicolor = os.path.join(SOURCE, "resources", "icons", "hicolor")
        for size in ICON_SIZES:
            path = os.path.join(hicolor, size, "apps", icon + ".png")
            with self.subTest(size):
                self.assertTrue(os.path.isfile(path), path)
                with open(path, "rb") as file:
                    header = file.read(24)
                width = int.from_bytes(header[16:20], "big")
                self.assertEqual(f"{width}x{width}", size)
        self.assertTrue(os.path.isfile(os.path.join(hicolor, "scalable", "apps", icon + ".svg")))


class AppStreamTest(unittest.TestCase):
    def test_the_metadata_is_valid(self):
        result = run(["appstreamcli", "validate", "--no-net", "--no-color", METAINFO_FILE])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotRegex(result.stdout, r"(?m)^[EW]:")

    def test_the_metadata_names_the_menu_entry_the_hardware_and_this_release(self):
        root = ElementTree.parse(METAINFO_FILE).getroot()
        self.assertEqual(root.findtext("id"), APPLICATION_ID)
        self.assertEqual(root.findtext("launchable"), APPLICATION_ID + ".desktop")
        modaliases = [element.text for element in root.findall("provides/modalias")]
        self.assertEqual(modaliases, ["usb:v0E3Ap*"])
        # A USB device's modalias, as the kernel writes it, for the boot
        # loader of the K3 (a product id the menu entry must still match).
        boot_loader = "usb:v0E3ApB275d0100dc00dsc00dp00ic03isc00ip00in00"
        self.assertTrue(re.fullmatch(modaliases[0].replace("*", ".*"), boot_loader))
        self.assertEqual(root.find("releases/release").get("version"), VERSION)
        binaries = sorted(element.text for element in root.findall("provides/binary"))
        self.assertEqual(binaries, ["brivane-firmware-tool", "brivane-fwtool"])


class ManualPageTest(unittest.TestCase):
    def setUp(self):
        with open(MAN_PAGE, encoding="utf-8") as file:
            self.page = file.read()
        # The text a reader sees: troff's escaped hyphens are plain ones.
        self.text = self.page.replace("\\-", "-")

    def test_every_command_has_its_section(self):
        sections = re.findall(r'^\.SS "([a-z0-9-]+)(?: ([a-z0-9-]+))?', self.text, re.M)
        for command_line in every_command_line():
            with self.subTest(" ".join(command_line)):
                if len(command_line) == 1:
                    self.assertIn(command_line[0], [section[0] for section in sections])
                else:
                    self.assertIn(command_line, sections)

    def test_every_option_is_described(self):
        described = set(re.findall(r"^\.B[IR]? (--[a-z][a-z0-9-]*)", self.text, re.M))
        for command_line in every_command_line():
            for option in options_of(*command_line):
                with self.subTest(" ".join(command_line) + " " + option):
                    self.assertIn(option, described)

    def test_the_page_renders_without_warnings(self):
        if shutil.which("groff") is None:
            self.skipTest("groff is missing")
        result = run(["groff", "-man", "-Tutf8", "-ww", "-z", MAN_PAGE])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")

    def test_the_page_names_this_version_and_the_installed_rule(self):
        self.assertIn(f"Brivane Firmware Tool {VERSION}", self.page)
        self.assertRegex(self.page, r"(?m)^\.I /.*/udev/rules\.d/70-brivane-firmware-tool\.rules$")


class BashCompletionTest(unittest.TestCase):
    def complete(self, *words):
        """What the completion offers for the words typed so far (the last
        one being completed)."""
        program_folder = os.path.dirname(FWTOOL)
        words = ["brivane-fwtool", *words]
        script = (f'source "{COMPLETION_FILE}"\n'
                  f"COMP_WORDS=({' '.join(repr(word) for word in words)})\n"
                  f"COMP_CWORD={len(words) - 1}\n"
                  "_brivane_fwtool\n"
                  'printf "%s\\n" "${COMPREPLY[@]}"\n')
        environment = dict(os.environ, PATH=program_folder + os.pathsep + os.environ["PATH"])
        result = run(["bash", "--norc", "--noprofile", "-c", script], env=environment)
        self.assertEqual(result.returncode, 0, result.stderr)
        return sorted(line for line in result.stdout.splitlines() if line)

    def test_the_commands_are_those_of_the_help(self):
        offered = set(self.complete(""))
        self.assertEqual(offered - {"--help", "--verbose"}, set(commands()))

    def test_each_command_offers_its_own_options(self):
        for command_line in every_command_line():
            with self.subTest(" ".join(command_line)):
                offered = set(self.complete(*command_line, "--"))
                self.assertTrue(set(options_of(*command_line)) <= offered, offered)
                self.assertIn("--verbose", offered)

    def test_values_are_offered_where_the_help_names_them(self):
        self.assertEqual(self.complete("update", "--model", ""), ["K3", "M7", "T5"])
        self.assertEqual(self.complete("catalogue", ""), sorted(ACTION_COMMANDS["catalogue"]))
        self.assertEqual(self.complete("store", ""), ["get", "head", "ping", "put"])
        self.assertEqual(self.complete("boot-mode", "--set", ""), [str(mode) for mode in range(6)])


class InstallTest(unittest.TestCase):
    def test_install_puts_every_file_where_a_desktop_finds_it(self):
        with tempfile.TemporaryDirectory() as staging:
            result = run(["cmake", "--install", BUILD, "--prefix", "/usr"],
                         env=dict(os.environ, DESTDIR=staging))
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            installed = set()
            for folder, _, files in os.walk(staging):
                for name in files:
                    installed.add(os.path.relpath(os.path.join(folder, name), staging))
            wanted = {
                "usr/bin/brivane-firmware-tool",
                "usr/bin/brivane-fwtool",
                "usr/lib/udev/rules.d/70-brivane-firmware-tool.rules",
                f"usr/share/applications/{APPLICATION_ID}.desktop",
                f"usr/share/metainfo/{APPLICATION_ID}.metainfo.xml",
                "usr/share/icons/hicolor/scalable/apps/brivane-firmware-tool.svg",
                "usr/share/man/man1/brivane-fwtool.1.gz",
                "usr/share/man/man1/brivane-firmware-tool.1.gz",
                "usr/share/bash-completion/completions/brivane-fwtool",
                "usr/share/doc/brivane-firmware-tool/copyright",
                "usr/share/doc/brivane-firmware-tool/changelog.gz",
            }
            wanted |= {f"usr/share/icons/hicolor/{size}/apps/brivane-firmware-tool.png"
                       for size in ICON_SIZES}
            self.assertEqual(installed, wanted)
            for program in ("brivane-firmware-tool", "brivane-fwtool"):
                self.assertTrue(os.access(os.path.join(staging, "usr/bin", program), os.X_OK))
            manual = os.path.join(staging, "usr/share/man/man1/brivane-fwtool.1.gz")
            with gzip.open(manual, "rt", encoding="utf-8") as file:
                self.assertTrue(file.read().startswith(".TH BRIVANE-FWTOOL 1"))


@unittest.skipUnless(PROGRAM, "the window program is not built")
class SettingsFolderTest(unittest.TestCase):
    """A start from the menu keeps configs.ini in the configuration folder; a
    start from a terminal keeps it in the working directory."""

    def start_and_find_settings(self, arguments):
        with tempfile.TemporaryDirectory() as home:
            working = os.path.join(home, "working")
            configuration = os.path.join(home, "configuration")
            os.makedirs(working)
            # Each start under a path of its own, so no running instance of
            # the same program takes it over.
            program = os.path.join(home, "brivane-firmware-tool")
            os.symlink(PROGRAM, program)
            # A temporary folder of its own, so the single-instance block the
            # program leaves on SIGTERM can be removed with it.
            temporary = os.path.join(home, "tmp")
            os.makedirs(temporary)
            environment = dict(os.environ, HOME=home, XDG_CONFIG_HOME=configuration,
                               QT_QPA_PLATFORM="offscreen", QT_QUICK_BACKEND="software",
                               USERNAME="settings-test", TMPDIR=temporary)
            environment.pop("BRIVANE_EMULATOR", None)
            log = open(os.path.join(home, "log"), "w+")
            process = subprocess.Popen([program, *arguments], cwd=working, env=environment,
                                       stdout=log, stderr=subprocess.STDOUT)
            in_folder = os.path.join(configuration, "Brivane", "Brivane Firmware Tool",
                                     "configs.ini")
            in_working = os.path.join(working, "configs.ini")
            deadline = time.monotonic() + 30
            try:
                while time.monotonic() < deadline and process.poll() is None:
                    if os.path.exists(in_folder) or os.path.exists(in_working):
                        break
                    time.sleep(0.05)
                still_running = process.poll() is None
            finally:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
                remove_blocks_keyed_on(temporary)
                log.seek(0)
                output = log.read()
                log.close()
            self.assertTrue(still_running, output)
            return os.path.exists(in_folder), os.path.exists(in_working)

    def test_from_the_menu_the_settings_go_to_the_configuration_folder(self):
        self.assertEqual(self.start_and_find_settings(["--user-settings"]), (True, False))

    def test_from_a_terminal_the_settings_stay_in_the_working_directory(self):
        self.assertEqual(self.start_and_find_settings([]), (False, True))


if __name__ == "__main__":
    unittest.main(verbosity=2)
