"""Checks the built executable itself: headers, imports and resources.

Usage: pe_check.py EXE [i386|amd64]
"""

import struct
import sys
import unittest

import pefile

EXE = MACHINE = None
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "advapi32.dll",
               "comctl32.dll"}
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


class ExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(EXE)

    def resource(self, kind, ident):
        for entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if entry.id == kind:
                for item in entry.directory.entries:
                    if item.id == ident:
                        data = item.directory.entries[0].data.struct
                        return self.pe.get_data(data.OffsetToData, data.Size)
        self.fail("no resource %d/%d" % (kind, ident))

    def test_headers(self):
        machine = {"i386": 0x14C, "amd64": 0x8664}[MACHINE]
        self.assertEqual(self.pe.FILE_HEADER.Machine, machine)
        magic = 0x10B if MACHINE == "i386" else 0x20B  # PE32 or PE32+
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, magic)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, 2)  # Windows GUI

    def test_imports_only_system_dlls_and_never_winmm(self):
        dlls = {entry.dll.decode().lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertNotIn("winmm.dll", dlls)
        self.assertLessEqual(dlls, SYSTEM_DLLS)
        self.assertFalse(hasattr(self.pe, "DIRECTORY_ENTRY_DELAY_IMPORT"))
        names = {imp.name for entry in self.pe.DIRECTORY_ENTRY_IMPORT for imp in entry.imports}
        self.assertNotIn(b"mciSendStringA", names)

    def test_icon_group_has_the_three_images(self):
        group = self.resource(RT_GROUP_ICON, 1)
        reserved, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((reserved, kind, count), (0, 1, 3))
        images = []
        for i in range(count):
            width, height, colours, _, planes, bits, size, ident = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * i)
            icon = self.resource(RT_ICON, ident)
            self.assertEqual(len(icon), size)
            header = struct.unpack_from("<IiiHH", icon)
            self.assertEqual(header, (40, width, height * 2, 1, bits))
            images.append((width, height, colours, bits))
        self.assertEqual(images, [(32, 32, 2, 1), (32, 32, 16, 4), (16, 16, 16, 4)])

    def test_version_record(self):
        major, minor, patch = (int(n) for n in VERSION.split("."))
        record = ("%d.%02d" % (major, minor)).encode()
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        version = (major << 16 | minor, patch << 16)
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), version)
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), version)
        self.assertEqual(fixed.FileFlags, 0)
        self.assertEqual(fixed.FileOS, 0x4)  # 32-bit Windows
        self.assertEqual(fixed.FileType, 0x1)  # application
        tables, translations = [], []
        for info in self.pe.FileInfo[0]:
            for table in getattr(info, "StringTable", []):
                tables.append((table.LangID, list(table.entries.items())))
            for var in getattr(info, "Var", []):
                translations.append(var.entry)
        self.assertEqual(tables, [(b"041104B0", [
            (b"ProductName", b"Quorwind"), (b"FileVersion", record),
            (b"ProductVersion", record), (b"InternalName", b"Quorwind"),
            (b"OriginalFilename", b"Quorwind.exe")])])
        self.assertEqual(translations, [{b"Translation": "0x0411 0x04b0"}])

    def test_manifest_asks_for_utf8_and_no_elevation(self):
        manifest = self.resource(RT_MANIFEST, 1).decode("utf-8")
        self.assertIn("<activeCodePage", manifest)
        self.assertIn(">UTF-8</activeCodePage>", manifest)
        self.assertIn('level="asInvoker"', manifest)
        self.assertIn('name="Quorwind" version="%s.0"' % VERSION, manifest)


if __name__ == "__main__":
    EXE = sys.argv.pop(1)
    MACHINE = sys.argv.pop(1)
    VERSION = sys.argv.pop(1)  # the project's, major.minor.patch
    unittest.main(verbosity=2)
