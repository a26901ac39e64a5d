// Template 101 and the version record, read back out of the built
// ZELWNQX.DLL and compared field by field with the dialog's layout table.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "zel_version.h"

namespace {

// Reads a DLGTEMPLATEEX; every read is bounds-checked.
struct TemplateReader {
    const uint8_t *begin;
    std::size_t size;
    std::size_t at = 0;
    bool overrun = false;

    template <typename T>
    T Get() {
        T value{};
        if (at + sizeof value > size) {
            overrun = true;
            return value;
        }
        std::memcpy(&value, begin + at, sizeof value);
        at += sizeof value;
        return value;
    }
    // A UTF-16 text up to its NUL, kept as 8-bit text (the template holds ASCII).
    std::string Text() {
        std::string text;
        for (uint16_t c = Get<uint16_t>(); c != 0 && !overrun; c = Get<uint16_t>()) text += static_cast<char>(c);
        return text;
    }
    // A name or an ordinal: ordinals as "#n".
    std::string NameOrOrdinal() {
        if (at + 2 <= size && begin[at] == 0xFF && begin[at + 1] == 0xFF) {
            at += 2;
            return "#" + std::to_string(Get<uint16_t>());
        }
        return Text();
    }
    void AlignToDword() { at = (at + 3) & ~std::size_t{3}; }
};

struct Control {
    uint32_t helpId, exStyle, style;
    int16_t x, y, cx, cy;
    int32_t id;
    std::string windowClass, caption;
    uint16_t extraBytes;
    bool operator==(const Control &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Control &c) {
    return out << "id " << c.id << " class " << c.windowClass << " \"" << c.caption << "\" style " << std::hex
               << c.style << " ex " << c.exStyle << std::dec << " at " << c.x << "," << c.y << " size " << c.cx
               << "x" << c.cy << " help " << c.helpId << " extra " << c.extraBytes;
}

const std::string kButton = "#128", kEdit = "#129", kStatic = "#130", kScrollBar = "#132";

// The layout table, in template order.
const Control kControls[17] = {
    {0, 0, 0x50020009, 18, 30, 37, 13, 1064, kButton, "Regular", 0},
    {0, 0, 0x50000009, 67, 30, 49, 13, 1063, kButton, "Line Shorted", 0},
    {0, 0, 0x50000009, 18, 48, 37, 10, 1013, kButton, "Battery", 0},
    {0, 0, 0x50000009, 67, 46, 27, 13, 1062, kButton, "CKT ", 0},
    {0, 0x00020200, 0x50812000, 50, 92, 29, 12, 1037, kEdit, "", 0},
    {0, 0, 0x50010001, 119, 125, 40, 14, 1, kButton, "OK", 0},
    {0, 0, 0x50010000, 119, 146, 40, 14, 2, kButton, "Cancel", 0},
    {0, 0, 0x50000001, 79, 92, 10, 12, 1036, kScrollBar, "", 0},
    {0, 0, 0x50020000, 18, 92, 22, 8, 1057, kStatic, "Bus", 0},
    {0, 0, 0x50010000, 18, 138, 29, 10, 1055, kStatic, "Address", 0},
    {0, 0, 0x50000107, 7, 65, 94, 95, -1, kButton, "Address Fields", 0},
    {0, 0x00020000, 0x50812080, 50, 135, 29, 12, 1010, kEdit, "", 0},
    {0, 0, 0x50000001, 79, 135, 10, 12, 1011, kScrollBar, "", 0},
    {0, 0, 0x50000007, 7, 16, 119, 46, -1, kButton, "Address Type", 0},
    {0, 0x00020000, 0x50812000, 50, 113, 29, 12, 1007, kEdit, "", 0},
    {0, 0, 0x50020000, 18, 115, 27, 8, 1058, kStatic, "Slot", 0},
    {0, 0, 0x50000001, 79, 113, 10, 12, 1006, kScrollBar, "", 0},
};

HMODULE Driver() {
    static HMODULE driver = LoadLibraryA("ZELWNQX.DLL");
    return driver;
}

TEST(DialogTemplate, MatchesTheLayoutTableFieldByField) {
    ASSERT_NE(Driver(), nullptr) << GetLastError();
    HRSRC found = FindResourceA(Driver(), MAKEINTRESOURCEA(101), MAKEINTRESOURCEA(5) /* RT_DIALOG */);
    ASSERT_NE(found, nullptr) << "template 101 is missing";
    HGLOBAL loaded = LoadResource(Driver(), found);
    ASSERT_NE(loaded, nullptr);
    TemplateReader r{static_cast<const uint8_t *>(LockResource(loaded)), SizeofResource(Driver(), found)};

    EXPECT_EQ(r.Get<uint16_t>(), 1) << "dlgVer";
    EXPECT_EQ(r.Get<uint16_t>(), 0xFFFF) << "signature of the extended form";
    EXPECT_EQ(r.Get<uint32_t>(), 0u) << "helpID";
    EXPECT_EQ(r.Get<uint32_t>(), 0u) << "exStyle";
    EXPECT_EQ(r.Get<uint32_t>(), 0x80c000c0u) << "style";
    const uint16_t count = r.Get<uint16_t>();
    ASSERT_EQ(count, 17);
    EXPECT_EQ(r.Get<int16_t>(), 0) << "x";
    EXPECT_EQ(r.Get<int16_t>(), 0) << "y";
    EXPECT_EQ(r.Get<int16_t>(), 167) << "cx";
    EXPECT_EQ(r.Get<int16_t>(), 170) << "cy";
    EXPECT_EQ(r.NameOrOrdinal(), "") << "menu";
    EXPECT_EQ(r.NameOrOrdinal(), "") << "class";
    EXPECT_EQ(r.Text(), "Tag Format");
    EXPECT_EQ(r.Get<uint16_t>(), 8) << "point size";
    EXPECT_EQ(r.Get<uint16_t>(), 0) << "weight";
    EXPECT_EQ(r.Get<uint8_t>(), 0) << "italic";
    EXPECT_EQ(r.Get<uint8_t>(), 1) << "character set";
    EXPECT_EQ(r.Text(), "MS Sans Serif");

    for (const Control &expected : kControls) {
        r.AlignToDword();
        Control c{};
        c.helpId = r.Get<uint32_t>();
        c.exStyle = r.Get<uint32_t>();
        c.style = r.Get<uint32_t>();
        c.x = r.Get<int16_t>();
        c.y = r.Get<int16_t>();
        c.cx = r.Get<int16_t>();
        c.cy = r.Get<int16_t>();
        c.id = r.Get<int32_t>();
        c.windowClass = r.NameOrOrdinal();
        c.caption = r.NameOrOrdinal();
        c.extraBytes = r.Get<uint16_t>();
        r.at += c.extraBytes;
        EXPECT_EQ(c, expected);
    }
    EXPECT_FALSE(r.overrun) << "the template ends early";
    EXPECT_LE(r.at, r.size);
}

std::string VersionString(const std::vector<char> &info, const char *name) {
    char *value = nullptr;
    UINT length = 0;
    const std::string path = std::string("\\StringFileInfo\\040904E4\\") + name;
    if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void **>(&value), &length)) return "(missing)";
    return std::string(value);
}

TEST(DialogTemplate, VersionRecordCarriesTheProjectVersion) {
    char path[MAX_PATH];
    ASSERT_NE(GetModuleFileNameA(Driver(), path, sizeof path), 0u);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_NE(size, 0u) << "no version record";
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD versionMS = (ZEL_VERSION_MAJOR << 16) | ZEL_VERSION_MINOR;
    EXPECT_EQ(fixed->dwFileVersionMS, versionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, versionMS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(VersionString(info, "FileVersion"), ZEL_VERSION_TEXT);
    EXPECT_EQ(VersionString(info, "ProductVersion"), ZEL_VERSION_TEXT);
    EXPECT_EQ(VersionString(info, "FileDescription"), "Quon Fire Alarm Panel Event Driver");
    EXPECT_EQ(VersionString(info, "InternalName"), "ZELWNQX");
    EXPECT_EQ(VersionString(info, "OriginalFilename"), "ZELWNQX.DLL");
}

}  // namespace
