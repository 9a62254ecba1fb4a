# SPDX-License-Identifier: Apache-2.0
"""Reading a host's discovery document: only its device rows and its
version are kept, with memory bounded whatever the host sent."""

import os
import re
import stat
import xml.parsers.expat as expat

from .records import ACTIONS, READ_CHUNK, Device, quoted

ROOT_ELEMENT = "tarn_rom_discovery"
# A version as the tool writes it: groups of decimal digits joined by dots.
VERSION = re.compile(r"[0-9]+(\.[0-9]+)*")


class DocumentError(Exception):
    """A host's document that gives no rows; args: reason, detail."""


class DeviceReader:
    """Expat handlers that keep only the device rows of a document."""

    def __init__(self):
        self.devices = []
        self.header = {}
        self.stack = []
        self.device = None
        self.item = 0

    def start(self, name, attributes):
        depth = len(self.stack)
        self.stack.append(name)
        if depth == 0 and name != ROOT_ELEMENT:
            raise DocumentError("not well-formed", f"root element {name}, not {ROOT_ELEMENT}")
        if depth == 1 and name == "version":
            self.header[name] = attributes.get("value", "")
        elif depth == 2 and name == "device" and self.stack[1] == "devices":
            self.device = Device()
            self.item = 0
            self.devices.append(self.device)
        elif self.device is None or depth < 3:
            return
        elif depth == 3 and name in ("device_id", "product_id"):
            setattr(self.device, name, attributes.get("value", ""))
        elif depth == 3 and name == "fw_item":
            self.item += 1
        elif depth == 4 and self.item == 1 and name in ("active_version", "version", "action"):
            value = attributes.get("value", "")
            # The values the report counts and compares come only from the
            # tool's small sets: a made-up action or version would make a
            # column, a bar or a change of its own.
            if name == "action" and value not in ACTIONS:
                raise DocumentError("not well-formed", f"device {len(self.devices)}: action "
                                    f"{quoted(value)} is not upgrade, downgrade or rewrite")
            if name != "action" and not VERSION.fullmatch(value):
                raise DocumentError("not well-formed", f"device {len(self.devices)}: {name} "
                                    f"{quoted(value)} is not a version number")
            setattr(self.device, name, value)

    def end(self, _name):
        self.stack.pop()
        if len(self.stack) == 2 and self.device is not None:
            # The tool writes each device with its item's versions and action.
            missing = [name for name in ("active_version", "version", "action")
                       if not getattr(self.device, name)]
            if missing:
                raise DocumentError("not well-formed",
                                    f"device {len(self.devices)}: no {', no '.join(missing)}")
            self.device = None


def refuse(what):
    def handler(*_args):
        raise DocumentError("not well-formed", f"{what} refused")
    return handler


def parse_document(stream, limit):
    """(devices, header) of the document read from the binary stream, at most
    limit bytes; raises DocumentError. Only the values are kept, so memory
    stays bounded whatever the host sent; a document type or entity
    declaration is refused (the expansion of entities is what makes a small
    document take a lot of memory)."""
    reader = DeviceReader()
    parser = expat.ParserCreate()
    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
    parser.StartDoctypeDeclHandler = refuse("document type declaration")
    parser.EntityDeclHandler = refuse("entity declaration")
    parser.ExternalEntityRefHandler = refuse("external entity")
    parser.StartElementHandler = reader.start
    parser.EndElementHandler = reader.end
    total = 0
    try:
        while True:
            chunk = stream.read(READ_CHUNK)
            total += len(chunk)
            if total > limit:
                raise DocumentError("document too large", f"more than {limit} bytes")
            parser.Parse(chunk, not chunk)
            if not chunk:
                break
    except expat.ExpatError as error:
        raise DocumentError("not well-formed", str(error)) from error
    return reader.devices, reader.header


def read_document(path, limit):
    """(devices, header) of the discovery document at path; raises
    DocumentError."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise DocumentError("no document", error.strerror) from error
    with os.fdopen(fd, "rb") as document:
        info = os.fstat(document.fileno())
        if not stat.S_ISREG(info.st_mode):
            raise DocumentError("no document", "not a regular file")
        if info.st_size > limit:
            raise DocumentError("document too large", f"{info.st_size} bytes, more than {limit}")
        return parse_document(document, limit)
