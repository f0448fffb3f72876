// The resources of a module as the stand-in's resource compiler (platform/tools/ovmrc.cpp)
// lays them out: a table of entries that the module exports as OvmResourceSection, where
// FindResourceW looks them up. Only generated sources include this header.
#pragma once
#include <windows.h>

namespace platform {

// One resource. A type or name is a number (1..65535) or, when the number is 0, an upper-case
// name. String tables are blocks of sixteen counted strings in WCHAR units; every other type
// holds the bytes of its file (an icon file is split into RT_ICON images and their
// RT_GROUP_ICON directory).
struct resource_entry {
    WORD type_id;
    const WCHAR *type_name;
    WORD name_id;
    const WCHAR *name;
    const void *data;
    DWORD size; // bytes
};

struct resource_section {
    const resource_entry *entries;
    DWORD count;
};

inline constexpr const char resource_section_symbol[] = "OvmResourceSection";

} // namespace platform
