"""Exported symbols of the target's mapped files (inspector's process).

Only what the report needs and no library offers cheaply: the address of
one exported symbol, from the dynamic symbol table, which every shared
object and executable keeps even when stripped.  A general ELF reader
(pyelftools) would build a table of every symbol first, which takes longer
than the whole report is meant to.
"""

import struct

_ELF_MAGIC = b"\x7fELF"
_SHT_DYNSYM = 11
_PT_LOAD = 1
_ET_DYN = 3


def symbol_value(path, name):
    """(st_value, first PT_LOAD p_vaddr, is shared object) of an exported
    symbol of a 64-bit little-endian ELF file, or None."""
    try:
        with open(path, "rb") as f:
            header = f.read(64)
            if len(header) < 64 or header[:4] != _ELF_MAGIC or header[4:6] != b"\x02\x01":
                return None
            e_type, = struct.unpack_from("<H", header, 16)
            e_phoff, e_shoff = struct.unpack_from("<QQ", header, 32)
            e_phentsize, e_phnum, e_shentsize, e_shnum = struct.unpack_from("<HHHH", header, 54)
            f.seek(e_phoff)
            programs = f.read(e_phentsize * e_phnum)
            first_load = None
            for i in range(e_phnum):
                p_type, = struct.unpack_from("<I", programs, i * e_phentsize)
                if p_type == _PT_LOAD:
                    first_load, = struct.unpack_from("<Q", programs, i * e_phentsize + 16)
                    break
            f.seek(e_shoff)
            sections = f.read(e_shentsize * e_shnum)
            for i in range(e_shnum):
                base = i * e_shentsize
                sh_type, = struct.unpack_from("<I", sections, base + 4)
                if sh_type != _SHT_DYNSYM:
                    continue
                sh_offset, sh_size, sh_link = struct.unpack_from("<QQI", sections, base + 24)
                str_offset, str_size = struct.unpack_from("<QQ", sections,
                                                          sh_link * e_shentsize + 24)
                f.seek(str_offset)
                strings = f.read(str_size)
                at = strings.find(b"\0" + name.encode() + b"\0")
                if at < 0:
                    return None
                f.seek(sh_offset)
                symbols = f.read(sh_size)
                for st_name, _info, _other, st_shndx, st_value, _size in struct.iter_unpack(
                        "<IBBHQQ", symbols):
                    if st_name == at + 1 and st_shndx != 0:
                        return st_value, first_load or 0, e_type == _ET_DYN
                return None
    except (OSError, struct.error, IndexError):
        return None
    return None


def python_version(target):
    """The target interpreter's exact version, from its Py_Version, or None."""
    candidates = target.libpython() + ([target.exe] if target.exe else [])
    for path in candidates:
        found = symbol_value(path, "Py_Version")
        if found is None:
            continue
        value, first_load, shared = found
        address = value
        if shared:
            base = target.load_address(path)
            if base is None:
                continue
            address = base - (first_load & ~0xFFF) + value
        raw = target.read_memory(address, 4)
        if raw is None:
            continue
        return _version_text(int.from_bytes(raw, "little"))
    return None


def _version_text(hexversion):
    major, minor, micro = hexversion >> 24, (hexversion >> 16) & 0xFF, (hexversion >> 8) & 0xFF
    level, serial = (hexversion >> 4) & 0xF, hexversion & 0xF
    if major != 3:
        return None
    text = "%d.%d.%d" % (major, minor, micro)
    if level != 0xF:
        text += {0xA: "a", 0xB: "b", 0xC: "rc"}.get(level, "?") + str(serial)
    return text
