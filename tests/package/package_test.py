#!/usr/bin/env python3
"""The release package as the workshop ships it: scripts/package.sh run
twice gives the same bytes, and the zip holds what an operator needs, in
encodings an old Windows shows, with sums that match and the version
resource that Explorer shows."""
import argparse
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXPECTED = ["LEGGIMI.txt", "SHA256SUMS", "vantor_config.exe", "vantor_config.ini.example"]
RT_VERSION = 16
IMAGE_FILE_MACHINE_I386 = 0x14C


def version():
    with open(os.path.join(ROOT, "VERSION"), encoding="ascii") as f:
        return f.readline().strip()


# ---- the version resource of a PE file ------------------------------------

class PeFile:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        (self.machine, sections, self.timestamp, _, _, optional_size,
         _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((vaddr, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for vaddr, size, rawptr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + rawptr
        raise ValueError("RVA %#x in no section" % rva)

    def _entries(self, directory):
        base = self.offset(self.resource_rva)
        named, ids = struct.unpack_from("<HH", self.data, base + directory + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
            yield name, target

    def resource(self, type_id):
        """The first resource of a type, whatever its name and language."""
        base = self.offset(self.resource_rva)
        for name, target in self._entries(0):
            if name == type_id:
                directory = target & 0x7FFFFFFF
                for _ in range(2):  # name, then language
                    directory = next(self._entries(directory))[1] & 0x7FFFFFFF
                rva, size = struct.unpack_from("<II", self.data, base + directory)
                return self.data[self.offset(rva):self.offset(rva) + size]
        return None


def version_blocks(data, at=0, end=None):
    """The VS_VERSIONINFO tree: (key, value bytes, text?, children) per block."""
    end = len(data) if end is None else end
    blocks = []
    while at + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", data, at)
        if length == 0:
            break
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if kind == 1 else value_length
        value = data[value_at:value_at + value_size]
        children = version_blocks(data, (value_at + value_size + 3) & ~3, at + length)
        blocks.append((key, value, kind == 1, children))
        at = (at + length + 3) & ~3
    return blocks


def read_version_resource(exe):
    raw = PeFile(exe).resource(RT_VERSION)
    if raw is None:
        return None, {}
    (key, fixed, _, children), = version_blocks(raw)
    assert key == "VS_VERSION_INFO", key
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    assert signature == 0xFEEF04BD, hex(signature)
    numbers = {"file": (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF),
               "product": (product_ms >> 16, product_ms & 0xFFFF,
                           product_ls >> 16, product_ls & 0xFFFF)}
    # Explorer looks the strings up under the language and code page that
    # the translation names, so only that table counts.
    translation = None
    for key, _, _, entries in children:
        if key == "VarFileInfo":
            for name, value, _, _ in entries:
                if name == "Translation":
                    translation = "%04X%04X" % struct.unpack_from("<HH", value)
    strings = {}
    for key, _, _, tables in children:
        if key == "StringFileInfo":
            for table, _, _, entries in tables:
                if table.upper() == translation:
                    for name, value, _, _ in entries:
                        strings[name] = value.decode("utf-16-le").rstrip("\0")
    return numbers, strings


# ---- the package ------------------------------------------------------------

def make_package(build_dir, out_dir, toolchain, umask):
    args = [os.path.join(ROOT, "scripts", "package.sh"), "--build-dir", build_dir,
            "--out-dir", out_dir]
    if toolchain:
        args += ["--toolchain", toolchain]
    old = os.umask(umask)
    try:
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
    finally:
        os.umask(old)
    return os.path.join(out_dir, "vantor_config-%s.zip" % version())


def guide_quotes():
    with open(os.path.join(ROOT, "docs", "guida-operatore.md"), encoding="utf-8") as f:
        return [" ".join(q.split()) for q in re.findall("«([^»]*)»", f.read())]


def guide_code_spans():
    """The file names and log texts the guide writes as code, outside its
    fenced blocks."""
    with open(os.path.join(ROOT, "docs", "guida-operatore.md"), encoding="utf-8") as f:
        text = re.sub(r"^```.*?^```", "", f.read(), flags=re.S | re.M)
    return [re.sub(r"\s+", " ", c) for c in re.findall("`([^`]+)`", text)]


class PackageTest(unittest.TestCase):
    build_dir = toolchain = None

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="vantor-package-")
        cls.first = make_package(cls.build_dir, os.path.join(cls.tmp.name, "a"),
                                 cls.toolchain, 0o022)
        # Another moment and another umask must not show.
        cls.second = make_package(cls.build_dir, os.path.join(cls.tmp.name, "b"),
                                  cls.toolchain, 0o077)
        with zipfile.ZipFile(cls.first) as zf:
            cls.infos = zf.infolist()
            cls.files = {name: zf.read(name) for name in zf.namelist()}
        with open(os.path.join(cls.build_dir, "vantor_config.exe"), "rb") as f:
            cls.built_exe = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_the_same_sources_give_the_same_bytes(self):
        with open(self.first, "rb") as a, open(self.second, "rb") as b:
            self.assertEqual(hashlib.sha256(a.read()).hexdigest(),
                             hashlib.sha256(b.read()).hexdigest())

    def test_the_zip_holds_the_four_files_in_order_with_one_date(self):
        self.assertEqual(EXPECTED, [info.filename for info in self.infos])
        self.assertEqual(1, len({info.date_time for info in self.infos}))
        self.assertEqual({0o100644 << 16}, {info.external_attr for info in self.infos})
        self.assertEqual(self.built_exe, self.files["vantor_config.exe"])

    def test_the_sums_match(self):
        text = self.files["SHA256SUMS"].decode("ascii")
        sums = {}
        for line in text.splitlines():
            digest, name = re.fullmatch(r"([0-9a-f]{64})  (\S+)", line).groups()
            sums[name] = digest
        self.assertEqual(sorted(set(EXPECTED) - {"SHA256SUMS"}), sorted(sums))
        for name, digest in sums.items():
            self.assertEqual(digest, hashlib.sha256(self.files[name]).hexdigest(), name)

    def assertCrLf(self, data, name):
        self.assertTrue(data.endswith(b"\r\n"), name)
        self.assertEqual(data.count(b"\n"), data.count(b"\r\n"), name + ": bare LF")
        self.assertEqual(data.count(b"\r"), data.count(b"\r\n"), name + ": bare CR")

    def test_the_guide_reads_in_notepad(self):
        data = self.files["LEGGIMI.txt"]
        self.assertCrLf(data, "LEGGIMI.txt")
        text = data.decode("cp1252")  # strict: every byte a character
        self.assertIn("Utilità".encode("cp1252"), data)
        self.assertNotIn("à".encode("utf-8"), data)
        lines = text.split("\r\n")
        self.assertLessEqual(max(len(line) for line in lines), 80)
        flat = " ".join(text.split())
        for quote in guide_quotes():
            self.assertIn("«%s»" % quote, flat)
        # Log texts reach the operator as the program writes them.
        for code in guide_code_spans():
            self.assertIn('"%s"' % code, flat)

    def test_the_configuration_example_reads_in_notepad(self):
        data = self.files["vantor_config.ini.example"]
        self.assertCrLf(data, "vantor_config.ini.example")
        with open(os.path.join(ROOT, "vantor_config.ini.example"), "rb") as f:
            self.assertEqual(f.read().replace(b"\r\n", b"\n"), data.replace(b"\r\n", b"\n"))

    def test_the_program_is_the_32_bit_one(self):
        self.assertEqual(IMAGE_FILE_MACHINE_I386, PeFile(self.files["vantor_config.exe"]).machine)

    def test_the_program_shows_its_version(self):
        numbers, strings = read_version_resource(self.files["vantor_config.exe"])
        self.assertIsNotNone(numbers, "no version resource")
        expected = tuple(int(part) for part in version().split(".")) + (0,)
        self.assertEqual(expected, numbers["file"])
        self.assertEqual(expected, numbers["product"])
        self.assertEqual(version(), strings.get("FileVersion"))
        self.assertEqual(version(), strings.get("ProductVersion"))
        self.assertTrue(strings.get("ProductName"))
        self.assertTrue(strings.get("FileDescription"))
        self.assertEqual("vantor_config.exe", strings.get("OriginalFilename"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True, help="where package.sh builds")
    parser.add_argument("--toolchain", help="another toolchain file for package.sh")
    args, rest = parser.parse_known_args()
    PackageTest.build_dir = os.path.abspath(args.build_dir)
    PackageTest.toolchain = args.toolchain
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
