# SPDX-License-Identifier: Apache-2.0
"""The scripts the hosts run: the role's files/hba-discover.sh followed by
a tar of the component directory (and the tool, when one goes along), made
once per component and tool on the controller; a component or tool that
cannot go to the hosts is refused with its reason."""

import errno
import io
import json
import os
import re
import shutil
import stat
import tarfile
import tempfile

from .records import BAD_COMPONENT, BAD_TOOL

class BundleError(ValueError):
    """A component or tool that cannot go to the hosts; args: reason, detail."""


CONFIGURATION = "KT582304.xml"
BOOT_IMAGE = "bfa_boot_fw"
VERSION_MARK = b"RUDUV"
# What strings(1) prints: runs of at least 4 printable ASCII characters or tabs.
PRINTABLE_RUN = re.compile(rb"[\t\x20-\x7e]{4,}")
VERSION_NUMBER = re.compile(r"^\d+(\.\d+)*$")
# The tool keeps 49 characters of the version it reads.
VERSION_WIDTH = 49


def open_regular(path, what):
    """A binary stream of the regular file at path, links followed; raises
    BundleError naming what when it is something else or cannot be read."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise BundleError(BAD_COMPONENT, f"{what}: a link in a loop") from error
        if error.errno == errno.ENOENT and os.path.islink(path):
            raise BundleError(BAD_COMPONENT, f"{what}: a link to nowhere "
                              f"({os.readlink(path)})") from error
        raise BundleError(BAD_COMPONENT, f"{what} cannot be read: {error.strerror}") from error
    stream = os.fdopen(fd, "rb")
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        stream.close()
        raise BundleError(BAD_COMPONENT, f"{what}: not a regular file")
    return stream


def component_entries(top):
    """(name below top, path) of each directory and file of the component
    directory top, sorted, links followed (the hosts get the bytes this
    controller reads), old *_disc.xml documents left out; raises BundleError
    for a link to nowhere, a loop, or anything but files and directories."""
    entries = []

    def walk(directory, name, ancestors):
        try:
            names = sorted(os.listdir(directory))
        except OSError as error:
            raise BundleError(BAD_COMPONENT, f"{directory}: {error.strerror}") from error
        for child in names:
            # The tool replaces its own document; one left in the component
            # directory would pass for a document of this host when it writes none.
            if child.endswith("_disc.xml"):
                continue
            path, child_name = os.path.join(directory, child), f"{name}/{child}"
            try:
                info = os.stat(path)
            except OSError as error:
                if error.errno == errno.ELOOP:
                    raise BundleError(BAD_COMPONENT, f"{path}: a link in a loop") from error
                if os.path.islink(path):
                    raise BundleError(BAD_COMPONENT, f"{path}: a link to nowhere "
                                      f"({os.readlink(path)})") from error
                raise BundleError(BAD_COMPONENT, f"{path}: {error.strerror}") from error
            if stat.S_ISDIR(info.st_mode):
                if (info.st_dev, info.st_ino) in ancestors:
                    raise BundleError(BAD_COMPONENT, f"{path}: a link in a loop")
                entries.append((child_name, path))
                walk(path, child_name, ancestors | {(info.st_dev, info.st_ino)})
            elif stat.S_ISREG(info.st_mode):
                entries.append((child_name, path))
            else:
                raise BundleError(BAD_COMPONENT, f"{path}: not a regular file or directory")

    try:
        info = os.stat(top)
    except OSError as error:
        raise BundleError(BAD_COMPONENT, f"hba_component_dir {top}: {error.strerror}") from error
    if not stat.S_ISDIR(info.st_mode):
        raise BundleError(BAD_COMPONENT, f"hba_component_dir {top}: not a directory")
    walk(top, "component", {(info.st_dev, info.st_ino)})
    return [("component", top)] + entries


def tar_entry(tar, name, path, what):
    """Adds the directory or regular file at path (links followed) as name."""
    if os.path.isdir(path):
        info = tarfile.TarInfo(name)
        info.type, info.mode = tarfile.DIRTYPE, 0o755
        info.mtime = int(os.stat(path).st_mtime)
        tar.addfile(info)
        return
    with open_regular(path, what) as stream:
        status = os.fstat(stream.fileno())
        info = tarfile.TarInfo(name)
        info.size, info.mtime = status.st_size, int(status.st_mtime)
        info.mode = 0o755 if status.st_mode & stat.S_IXUSR else 0o644
        try:
            tar.addfile(info, stream)
        except OSError as error:
            raise BundleError(BAD_COMPONENT, f"{what}: {error}") from error


def bundle_payload(component_dir, tool):
    """The tar of component/ and the tool, if any: the bytes this controller
    reads, whatever links lead there; raises BundleError."""
    if not component_dir:
        raise BundleError(BAD_COMPONENT, "hba_component_dir is empty")
    if tool and not (os.path.isfile(tool) and os.access(tool, os.X_OK)):
        raise BundleError(BAD_TOOL, f"hba_discovery_binary {tool}: not an executable file")
    payload = io.BytesIO()
    with tarfile.open(fileobj=payload, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for name, path in component_entries(component_dir):
            tar_entry(tar, name, path, path)
        if tool:
            try:
                tar_entry(tar, "hba-discovery", tool, f"hba_discovery_binary {tool}")
            except BundleError as error:
                raise BundleError(BAD_TOOL, error.args[1]) from error
    return payload.getvalue()


def image_version(stream):
    """The boot BIOS version of a boot image as the tool reads it: the first
    printable run holding RUDUV, from its sixth character, blanks removed."""
    for run in PRINTABLE_RUN.findall(stream.read()):
        if VERSION_MARK in run:
            return run[5:].replace(b" ", b"").decode("ascii")[:VERSION_WIDTH]
    return ""


def check_component(component_dir):
    """Raises BundleError unless the component's configuration and boot
    image can be read and the image holds a boot BIOS version number."""
    with open_regular(os.path.join(component_dir, CONFIGURATION),
                      os.path.join(component_dir, CONFIGURATION)):
        pass
    path = os.path.join(component_dir, BOOT_IMAGE)
    with open_regular(path, path) as image:
        version = image_version(image)
    if not version:
        raise BundleError(BAD_COMPONENT, f"{path} holds no boot BIOS version")
    if not VERSION_NUMBER.match(version):
        raise BundleError(BAD_COMPONENT, f"{path} holds boot BIOS version {version!r}, "
                          "which is not a version number")


def make_bundles(pairs, script, parent=None, check=False):
    """Makes the self-extracting scripts the hosts run, one per [COMPONENT_DIR,
    TOOL] pair, in a fresh private directory (below parent when given);
    returns {"dir": DIR, "bundles": {'["COMPONENT_DIR", "TOOL"]': {"path":
    PATH, "offset": N, "tool": bundled|installed}}}. A component or tool
    that cannot go to the hosts gets {"refused": {"reason": ..., "detail":
    ...}} instead, for the hosts that use it alone. With check the scripts
    carry no payload; the component and tool are checked all the same, and
    the component must hold a readable configuration and a boot image with a
    version number."""
    with open(script, "rb") as stream:
        header = stream.read()
    directory = tempfile.mkdtemp(prefix="hba-bundles.", dir=parent or None)
    bundles = {}
    try:
        for component_dir, tool in sorted({(str(c), str(t or "")) for c, t in pairs}):
            key = json.dumps([component_dir, tool])
            try:
                payload = bundle_payload(component_dir and os.path.realpath(component_dir),
                                         tool and os.path.realpath(tool))
                if check:
                    check_component(os.path.realpath(component_dir))
            except BundleError as error:
                reason, detail = error.args
                bundles[key] = {"refused": {"reason": reason, "detail": detail}}
                continue
            path = os.path.join(directory, f"hba-discover-{len(bundles)}.sh")
            with open(path, "wb") as out:
                out.write(header)
                out.write(b"" if check else payload)
            bundles[key] = {"path": path, "offset": len(header) + 1,
                            "tool": "bundled" if tool else "installed"}
    except BaseException:
        shutil.rmtree(directory, ignore_errors=True)
        raise
    return {"dir": directory, "bundles": bundles}
