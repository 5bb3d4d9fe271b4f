"""Reads the parts of a PE32 image that the build tests check, with nothing but struct.

objdump would do for some of it, but the binutils here neither list delay-load imports nor
decode version resources, and its text changes between versions; the format itself does not.
"""

import struct

IMAGE_FILE_MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
DIRECTORY_IMPORT = 1
DIRECTORY_RESOURCE = 2
DIRECTORY_SECURITY = 4  # the certificate table; its address is a file offset, not an RVA
DIRECTORY_BASE_RELOCATION = 5
DIRECTORY_IAT = 12
DIRECTORY_DELAY_IMPORT = 13
RT_VERSION = 16
FILE_RELOCS_STRIPPED = 0x0001
DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
DLLCHARACTERISTICS_NX_COMPAT = 0x0100
DLLCHARACTERISTICS_NO_SEH = 0x0400
SECTION_SHARED = 0x10000000
SECTION_EXECUTE = 0x20000000
SECTION_WRITE = 0x80000000
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


class PeError(ValueError):
    pass


class Section:
    def __init__(self, name, virtual_address, virtual_size, raw_offset, raw_size, flags):
        self.name = name
        self.virtual_address = virtual_address
        self.virtual_size = virtual_size
        self.raw_offset = raw_offset
        self.raw_size = raw_size
        self.flags = flags

    def holds_rva(self, rva):
        return self.virtual_address <= rva < self.virtual_address + max(self.virtual_size,
                                                                          self.raw_size)


class Import:
    """One imported DLL: its name as written, and each function's name (or "#ordinal")."""

    def __init__(self, dll, functions, attributes=None, descriptor_offset=None,
                 name_offset=None, function_name_offsets=None, iat_values=None):
        self.dll = dll
        self.functions = functions
        self.attributes = attributes                    # delay-load descriptors only
        self.descriptor_offset = descriptor_offset
        self.name_offset = name_offset                  # file offset of the DLL name
        self.function_name_offsets = function_name_offsets or []
        self.iat_values = iat_values or []              # delay-load: the slots' initial values


class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PeError("no MZ header")
        pe = self._u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        (self.machine, sections, self.timestamp, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = self._u16(optional)
        if self.magic != PE32_MAGIC:
            raise PeError("not PE32 (optional header magic %#x)" % self.magic)
        self.entry_point = self._u32(optional + 16)  # an RVA
        self.image_base = self._u32(optional + 28)
        (self.os_version_major, self.os_version_minor, _, _, self.subsystem_version_major,
         self.subsystem_version_minor) = struct.unpack_from("<6H", data, optional + 40)
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        directory_count = self._u32(optional + 92)
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i)
                            for i in range(directory_count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            raw_name, vsize, va, rsize, roff = struct.unpack_from("<8sIIII", data, table + 40 * i)
            flags = self._u32(table + 40 * i + 36)
            self.sections.append(Section(raw_name.rstrip(b"\0").decode("ascii", "replace"),
                                         va, vsize, roff, rsize, flags))

    # -- plumbing --------------------------------------------------------------------------------

    def _u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def _u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def section_of(self, rva):
        for section in self.sections:
            if section.holds_rva(rva):
                return section
        return None

    def offset(self, rva):
        section = self.section_of(rva)
        if section is None or rva - section.virtual_address >= section.raw_size:
            raise PeError("RVA %#x is not backed by the file" % rva)
        return section.raw_offset + rva - section.virtual_address

    def _cstring(self, rva):
        start = self.offset(rva)
        end = self.data.index(b"\0", start)
        return self.data[start:end].decode("ascii")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def _thunk_names(self, table_rva):
        names, offsets = [], []
        if table_rva == 0:
            return names, offsets
        position = self.offset(table_rva)
        while True:
            entry = self._u32(position)
            if entry == 0:
                return names, offsets
            if entry & 0x80000000:
                names.append("#%d" % (entry & 0xFFFF))
                offsets.append(None)
            else:
                names.append(self._cstring(entry + 2))  # skip the hint
                offsets.append(self.offset(entry + 2))
            position += 4

    # -- what the tests look at ------------------------------------------------------------------

    def imports(self):
        """The load-time imports, in table order."""
        rva, size = self.directory(DIRECTORY_IMPORT)
        result = []
        if rva == 0:
            return result
        position = self.offset(rva)
        while True:
            lookup, _, _, name_rva, first_thunk = struct.unpack_from("<5I", self.data, position)
            if name_rva == 0 and first_thunk == 0:
                return result
            functions, offsets = self._thunk_names(lookup or first_thunk)
            result.append(Import(self._cstring(name_rva), functions, descriptor_offset=position,
                                 name_offset=self.offset(name_rva),
                                 function_name_offsets=offsets))
            position += 20

    def delay_imports(self):
        """The delay-load imports, in table order (only the RVA-based form is understood)."""
        rva, size = self.directory(DIRECTORY_DELAY_IMPORT)
        result = []
        if rva == 0:
            return result
        position = self.offset(rva)
        while True:
            fields = struct.unpack_from("<8I", self.data, position)
            attributes, name_rva, _, iat_rva, names_rva = fields[:5]
            if not any(fields):
                return result
            if not attributes & 1:
                raise PeError("delay-load descriptor with addresses instead of RVAs")
            functions, offsets = self._thunk_names(names_rva)
            iat = self.offset(iat_rva)
            values = [self._u32(iat + 4 * i) for i in range(len(functions))]
            result.append(Import(self._cstring(name_rva), functions, attributes=attributes,
                                 descriptor_offset=position, name_offset=self.offset(name_rva),
                                 function_name_offsets=offsets, iat_values=values))
            position += 32

    def resource(self, type_id, name_id):
        """The data of the first language of one resource, or None."""
        base_rva, _ = self.directory(DIRECTORY_RESOURCE)
        if base_rva == 0:
            return None
        base = self.offset(base_rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                yield key, target

        def find(directory, key_wanted):
            for key, target in entries(directory):
                if key_wanted is None or key == key_wanted:
                    return target
            return None

        level = find(0, type_id)
        if level is None or not level & 0x80000000:
            return None
        level = find(level & 0x7FFFFFFF, name_id)
        if level is None or not level & 0x80000000:
            return None
        leaf = find(level & 0x7FFFFFFF, None)
        if leaf is None or leaf & 0x80000000:
            return None
        data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
        start = self.offset(data_rva)
        return self.data[start:start + size]


class VersionInfo:
    """VS_VERSIONINFO: the fixed part, and each string table by its key."""

    def __init__(self, block):
        length, value_length, _, key, value_start, _ = _version_node(block, 0)
        if key != "VS_VERSION_INFO":
            raise PeError("version resource key is %r" % key)
        if value_length < 52:
            raise PeError("no VS_FIXEDFILEINFO")
        fixed = struct.unpack_from("<13I", block, value_start)
        if fixed[0] != VS_FIXEDFILEINFO_SIGNATURE:
            raise PeError("bad VS_FIXEDFILEINFO signature")
        self.file_version = _four_part(fixed[2], fixed[3])
        self.product_version = _four_part(fixed[4], fixed[5])
        self.string_tables = {}
        self.translations = []
        for child_key, child_start, child_end in _children(block, 0, length):
            if child_key == "StringFileInfo":
                for table_key, table_start, table_end in _children(block, child_start, child_end):
                    strings = {}
                    for name, string_start, string_end in _children(block, table_start,
                                                                    table_end):
                        _, chars, _, _, text_start, _ = _version_node(block, string_start)
                        text = block[text_start:text_start + 2 * chars].decode("utf-16-le")
                        strings[name] = text.rstrip("\0")
                    self.string_tables[table_key] = strings
            elif child_key == "VarFileInfo":
                for var_key, var_start, _ in _children(block, child_start, child_end):
                    _, size, _, _, value_start, _ = _version_node(block, var_start)
                    for i in range(0, size, 4):
                        self.translations.append(struct.unpack_from("<HH", block,
                                                                     value_start + i))


def _align4(offset):
    return (offset + 3) & ~3


def _version_node(block, start):
    """(length, value length, type, key, value start, children start) of one node."""
    length, value_length, kind = struct.unpack_from("<HHH", block, start)
    end = start + 6
    while block[end:end + 2] != b"\0\0":
        end += 2
    key = block[start + 6:end].decode("utf-16-le")
    value_start = _align4(end + 2)
    value_bytes = value_length * 2 if kind == 1 else value_length
    return length, value_length, kind, key, value_start, _align4(value_start + value_bytes)


def _children(block, start, end):
    length, _, _, _, _, position = _version_node(block, start)
    end = min(end, start + length)
    while position < end:
        child_length = struct.unpack_from("<H", block, position)[0]
        if child_length == 0:
            break
        key = _version_node(block, position)[3]
        yield key, position, position + child_length
        position = _align4(position + child_length)


def _four_part(most, least):
    return "%d.%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)


def load(path):
    with open(path, "rb") as f:
        return PeImage(f.read())
