"""Test data of the window tests: emulated adapters and firmware files made
by brivane-fwtool, and the local S3 store of the cloud tests with a catalogue
on it."""

import hashlib
import json
import os
import select
import shutil
import subprocess
import time

from guiharness import (CLOUD_TEST_DIR, LANGUAGE_ENGLISH, HarnessError, die_with_parent,
                        end_process, write_configs)


class Fwtool:
    def __init__(self, path):
        self.path = path

    def run(self, arguments, env=None, cwd=None, check=True):
        environment = dict(os.environ)
        environment.pop("BRIVANE_EMULATOR", None)
        environment.update(env or {})
        result = subprocess.run([self.path] + arguments, env=environment, cwd=cwd,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        if check and result.returncode != 0:
            raise HarnessError("brivane-fwtool %s failed (%d): %s"
                               % (" ".join(arguments), result.returncode,
                                  result.stderr.decode(errors="replace").strip()))
        return result

    def emulated_t5(self, folder, state="new-layout", version="5.5.3", serial=None,
                    adapter_changes=None):
        """An emulated T5 folder; adapter_changes are merged into its adapter.json."""
        arguments = ["emulate", "create", "--model", "T5", "--state", state, "--out", folder]
        if version and state not in ("firmware-lost",):
            arguments += ["--version", version]
        if serial:
            arguments += ["--serial", serial]
        self.run(arguments)
        if adapter_changes:
            change_adapter(folder, adapter_changes)
        return folder

    def t5_image(self, path, version, image_bytes=8192, seed=None):
        arguments = ["emulate", "t5-image", "--version", version, "--image-bytes",
                     str(image_bytes), "--out", path]
        if seed is not None:
            arguments += ["--seed", str(seed)]
        self.run(arguments)
        return path


def change_adapter(folder, changes):
    """Merges changes into adapter.json (nested objects merged one level)."""
    path = os.path.join(folder, "adapter.json")
    with open(path) as file:
        adapter = json.load(file)
    for key, value in changes.items():
        if isinstance(value, dict) and isinstance(adapter.get(key), dict):
            adapter[key].update(value)
        else:
            adapter[key] = value
    with open(path, "w") as file:
        json.dump(adapter, file, indent=1)


def md5_of_file(path):
    with open(path, "rb") as file:
        return hashlib.md5(file.read()).hexdigest()


# ---------------------------------------------------------------------------
# The local S3 store of the cloud tests.

def _has_pinned_moto(python):
    checker = os.path.join(CLOUD_TEST_DIR, "check_test_python.py")
    try:
        result = subprocess.run([python, checker], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return False, "could not run"
    return result.returncode == 0, result.stderr.decode(errors="replace").strip()


def find_python_with_moto():
    """The interpreter the cloud tests use: BRIVANE_TEST_PYTHON (that one or
    none), else pyenv's, the one on PATH, Debian's, or scripts/test.sh's
    virtual environment."""
    named = os.environ.get("BRIVANE_TEST_PYTHON")
    if named:
        usable, reason = _has_pinned_moto(named)
        if not usable:
            raise HarnessError("BRIVANE_TEST_PYTHON=%s cannot run the local store: %s"
                               % (named, reason))
        return named
    home = os.path.expanduser("~")
    pyenv_versions = os.path.join(os.environ.get("PYENV_ROOT", os.path.join(home, ".pyenv")),
                                  "versions")
    candidates = [shutil.which("python3")]
    if os.path.isdir(pyenv_versions):
        candidates += [os.path.join(pyenv_versions, version, "bin", "python3")
                       for version in sorted(os.listdir(pyenv_versions))]
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(home, ".cache")
    candidates += ["/usr/bin/python3",
                   os.path.join(cache, "brivane-firmware-tool", "test-venv", "bin", "python3")]
    for candidate in candidates:
        if candidate and os.access(candidate, os.X_OK) and _has_pinned_moto(candidate)[0]:
            return candidate
    raise HarnessError("no python3 with the moto, boto3 and botocore versions of "
                       "tests/cloud/requirements.txt found; scripts/test.sh provides one, "
                       "or set BRIVANE_TEST_PYTHON")


class LocalStore:
    """tests/cloud/s3_test_server.py: two moto regions behind a TLS front with
    the real store names, reached through its CONNECT proxy."""

    def __init__(self, work_dir):
        self.work_dir = os.path.join(work_dir, "store")
        self.process = None
        self.ready = None

    def start(self):
        os.makedirs(self.work_dir, exist_ok=True)
        python = find_python_with_moto()
        environment = dict(os.environ)
        for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                     "ALL_PROXY"):
            environment.pop(name, None)
        environment["no_proxy"] = "127.0.0.1,localhost"
        self.process = subprocess.Popen(
            [python, os.path.join(CLOUD_TEST_DIR, "s3_test_server.py"), "--workdir",
             self.work_dir],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=environment,
            preexec_fn=die_with_parent)
        line = self._read_line(60)
        try:
            self.ready = json.loads(line)
        except ValueError:
            self.ready = None
        if not self.ready or not self.ready.get("ready"):
            self.stop()
            raise HarnessError("the local store did not start: %r" % line)

    def _read_line(self, timeout_s):
        deadline = time.monotonic() + timeout_s
        line = b""
        stream = self.process.stdout
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or self.process.poll() is not None:
                break
            readable, _, _ = select.select([stream], [], [], left)
            if readable:
                chunk = os.read(stream.fileno(), 1)
                if not chunk:
                    break
                line += chunk
        return line.decode(errors="replace").strip()

    def command(self, line):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()
        return json.loads(self._read_line(30))

    def environment(self):
        """What a user behind a proxy with a self-hosted store's CA sets."""
        proxy = "http://127.0.0.1:%d" % self.ready["proxyPort"]
        return {"BRIVANE_STORE_CONFIG": self.ready["storeConfig"], "https_proxy": proxy,
                "HTTPS_PROXY": proxy}

    def put(self, fwtool, name, path, cwd):
        fwtool.run(["store", "put", name, path], env=self.environment(), cwd=cwd)

    def get(self, fwtool, name, cwd):
        return fwtool.run(["store", "get", name], env=self.environment(), cwd=cwd).stdout

    def stop(self):
        if self.process and self.process.poll() is None:
            try:
                self.process.stdin.write(b"quit\n")
                self.process.stdin.close()
                self.process.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                end_process(self.process, "local store")
        self.process = None


def publish_catalogue(store, fwtool, work_dir, entries_by_model):
    """Stores an index.json listing the files, and the files that can be
    installed.

    entries_by_model: {"T5": [(version, file path, info, stored), ...], ...} in
    catalogue order; a file that is not stored is only listed (its entry
    still names it and carries its checksum). Returns {"T5": [entry, ...]}."""
    catalogue = {}
    scratch = os.path.join(work_dir, "publish")
    os.makedirs(scratch, exist_ok=True)
    write_configs(scratch, LANGUAGE_ENGLISH)
    for model in ("T5", "M7", "K3"):
        catalogue[model] = []
        for index, (version, path, info, stored) in enumerate(entries_by_model.get(model, [])):
            name = "%s_v%s.bin" % (model, version)
            if stored:
                store.put(fwtool, name, path, scratch)
            catalogue[model].append({
                "version": version, "url": "", "info": info,
                "datetime": "2024-05-%02d 10:%02d:00" % (20 - index, index),
                "checksum": md5_of_file(path), "download": name})
    index_path = os.path.join(scratch, "index.json")
    with open(index_path, "w") as file:
        json.dump(catalogue, file, separators=(",", ":"))
    store.put(fwtool, "index.json", index_path, scratch)
    return catalogue
