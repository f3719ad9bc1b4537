// The shipped file's resources, read through the Win32 resource APIs.
#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>

#include "support/test_support.h"
#include "window/agent_window.h"

using namespace kvtest;

namespace {

const WORD Taiwan = 1028;
const WORD UnitedStates = 1033;

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colorCount, reserved;
    WORD planes, bitCount;
    DWORD bytesInRes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved, type, count;
};
#pragma pack(pop)

class AgentResources : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module = LoadLibraryExA(AgentPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr) << AgentPath() << " error " << GetLastError();
    }
    static void TearDownTestSuite() { FreeLibrary(module); }

    // The data of one resource in exactly this language.
    static std::string Data(LPCSTR type, WORD id, WORD language) {
        HRSRC resource = FindResourceExA(module, type, MAKEINTRESOURCEA(id), language);
        if (!resource) return std::string();
        const char* data = static_cast<const char*>(LockResource(LoadResource(module, resource)));
        return std::string(data, SizeofResource(module, resource));
    }

    static HMODULE module;
};
HMODULE AgentResources::module;

using ResourceKey = std::tuple<ULONG_PTR, ULONG_PTR, WORD>;  // type, id, language

BOOL CALLBACK AddLanguage(HMODULE, LPCSTR type, LPCSTR name, WORD language, LONG_PTR found) {
    // Named types or names show up as a pointer above 0xFFFF and can never match the table.
    reinterpret_cast<std::set<ResourceKey>*>(found)->insert(
        ResourceKey(reinterpret_cast<ULONG_PTR>(type), reinterpret_cast<ULONG_PTR>(name), language));
    return TRUE;
}
BOOL CALLBACK AddName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR found) {
    EnumResourceLanguagesA(module, type, name, AddLanguage, found);
    return TRUE;
}
BOOL CALLBACK AddType(HMODULE module, LPSTR type, LONG_PTR found) {
    EnumResourceNamesA(module, type, AddName, found);
    return TRUE;
}

TEST_F(AgentResources, InventoryIsExactlyTheFiveTypes) {
    std::set<ResourceKey> found;
    EnumResourceTypesA(module, AddType, reinterpret_cast<LONG_PTR>(&found));
    std::set<ResourceKey> expected;
    for (ULONG_PTR image = 1; image <= 7; ++image) expected.insert(ResourceKey(3 /*RT_ICON*/, image, Taiwan));
    expected.insert(ResourceKey(6 /*RT_STRING*/, 7, Taiwan));
    for (ULONG_PTR group : {107, 108, 132}) expected.insert(ResourceKey(14 /*RT_GROUP_ICON*/, group, Taiwan));
    expected.insert(ResourceKey(16 /*RT_VERSION*/, 1, Taiwan));
    expected.insert(ResourceKey(24 /*RT_MANIFEST*/, 1, UnitedStates));
    EXPECT_EQ(found, expected);
}

TEST_F(AgentResources, StringTableHoldsOnlyTheWindowIdentity) {
    EXPECT_EQ(Data(RT_STRING, 7, Taiwan).size(), 92u);
    for (UINT id = 96; id <= 111; ++id) {
        char text[100];
        memset(text, 'x', sizeof(text));
        int length = LoadStringA(module, id, text, sizeof(text));
        const char* expected = id == 103 ? "Keyvane_Utility" : id == 109 ? "Keyvane Utility" : "";
        EXPECT_EQ(length, static_cast<int>(strlen(expected))) << "string " << id;
        EXPECT_STREQ(text, expected) << "string " << id;
    }
}

TEST_F(AgentResources, IconGroupsAndImagesHaveTheTabledFormats) {
    struct Image {
        WORD id;
        BYTE size;
        WORD bits;
        DWORD bytes;
    };
    const Image images[] = {{1, 32, 4, 744},  {2, 16, 4, 296},  {3, 16, 4, 296}, {4, 16, 4, 296},
                            {5, 16, 8, 1384}, {6, 32, 4, 744}, {7, 32, 8, 2216}};
    const struct {
        WORD group;
        std::vector<WORD> images;
    } groups[] = {{107, {1, 2}}, {108, {3}}, {132, {4, 5, 6, 7}}};

    for (const auto& group : groups) {
        std::string data = Data(RT_GROUP_ICON, group.group, Taiwan);
        ASSERT_EQ(data.size(), sizeof(GroupIconHeader) + group.images.size() * sizeof(GroupIconEntry))
            << "group " << group.group;
        const GroupIconHeader* header = reinterpret_cast<const GroupIconHeader*>(data.data());
        EXPECT_EQ(header->reserved, 0);
        EXPECT_EQ(header->type, 1);
        ASSERT_EQ(header->count, group.images.size());
        const GroupIconEntry* entries = reinterpret_cast<const GroupIconEntry*>(header + 1);
        for (size_t i = 0; i < group.images.size(); ++i) {
            const GroupIconEntry& entry = entries[i];
            const Image& image = images[group.images[i] - 1];
            SCOPED_TRACE("group " + std::to_string(group.group) + " entry " + std::to_string(i));
            EXPECT_EQ(entry.id, image.id);
            EXPECT_EQ(entry.width, image.size);
            EXPECT_EQ(entry.height, image.size);
            EXPECT_EQ(entry.colorCount, image.bits == 4 ? 16 : 0);
            EXPECT_EQ(entry.reserved, 0);
            EXPECT_EQ(entry.planes, 1);
            EXPECT_EQ(entry.bitCount, image.bits);
            EXPECT_EQ(entry.bytesInRes, image.bytes);
        }
    }

    for (const Image& image : images) {
        SCOPED_TRACE("image " + std::to_string(image.id));
        std::string data = Data(RT_ICON, image.id, Taiwan);
        ASSERT_EQ(data.size(), image.bytes);
        const BITMAPINFOHEADER* header = reinterpret_cast<const BITMAPINFOHEADER*>(data.data());
        EXPECT_EQ(header->biSize, 40u);
        EXPECT_EQ(header->biWidth, image.size);
        EXPECT_EQ(header->biHeight, 2 * image.size);
        EXPECT_EQ(header->biPlanes, 1);
        EXPECT_EQ(header->biBitCount, image.bits);
        EXPECT_EQ(header->biCompression, static_cast<DWORD>(BI_RGB));
        DWORD declared = image.id == 7 ? 256 : 0;
        EXPECT_EQ(header->biClrUsed, declared);
        EXPECT_EQ(header->biClrImportant, declared);
        // Colour table, XOR rows and AND rows, each row padded to four bytes, fill the image.
        DWORD colors = 1u << image.bits;
        DWORD xorRow = (image.size * image.bits + 31) / 32 * 4;
        DWORD andRow = (image.size + 31) / 32 * 4;
        EXPECT_EQ(40 + colors * 4 + (xorRow + andRow) * image.size, image.bytes);
    }
}

TEST_F(AgentResources, ManifestIsOneAsciiLineAskingForUiAccess) {
    const std::string expected =
        "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
        "<assemblyIdentity version=\"1.0.0.0\" name=\"Keyvane.exe\" type=\"win32\" processorArchitecture=\"amd64\">"
        "</assemblyIdentity>"
        "<description>Description of your application</description>"
        "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>"
        "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"true\"></requestedExecutionLevel>"
        "</requestedPrivileges></security></trustInfo></assembly>";
    std::string manifest = Data(RT_MANIFEST, 1, UnitedStates);
    for (size_t i = 0; i < manifest.size(); ++i)
        ASSERT_TRUE(manifest[i] >= 0x20 && manifest[i] <= 0x7E) << "byte " << i << " is not printable ASCII";
    EXPECT_EQ(manifest.find("<?xml"), std::string::npos);
    EXPECT_EQ(manifest.find("/>"), std::string::npos) << "self-closing element";
    EXPECT_EQ(manifest, expected);
}

TEST_F(AgentResources, VersionBlockAgreesWithItself) {
    DWORD ignored;
    DWORD size = GetFileVersionInfoSizeA(AgentPath().c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(AgentPath().c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed;
    UINT length;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwStrucVersion, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000002u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000002u);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed->dwFileFlags, static_cast<DWORD>(VS_FF_SPECIALBUILD));
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileSubtype, 0u);
    EXPECT_EQ(fixed->dwFileDateMS | fixed->dwFileDateLS, 0u);

    WORD* translation;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0404);
    EXPECT_EQ(translation[1], 1200);

    // The textual versions spell the fixed ones as "1, 0, 0, 2".
    char numbers[32];
    snprintf(numbers, sizeof(numbers), "%u, %u, %u, %u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
             HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    const struct {
        const char* key;
        const char* value;  // null: the key must be absent
    } strings[] = {
        {"CompanyName", "Marvek"},          {"FileDescription", "Keyvane"},
        {"FileVersion", numbers},           {"InternalName", "Keyvane"},
        {"OriginalFilename", "Keyvane.exe"}, {"ProductVersion", numbers},
        {"SpecialBuild", "20130610_Win8"},  {"Comments", nullptr},
        {"PrivateBuild", nullptr},          {"LegalTrademarks", nullptr},
    };
    for (const auto& entry : strings) {
        std::string path = std::string("\\StringFileInfo\\040404b0\\") + entry.key;
        char* value = nullptr;
        BOOL found = VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length);
        if (entry.value) {
            ASSERT_TRUE(found) << entry.key;
            EXPECT_STREQ(value, entry.value) << entry.key;
        } else {
            EXPECT_FALSE(found && length > 0) << entry.key << " should be absent";
        }
    }
    for (const char* key : {"LegalCopyright", "ProductName"}) {
        char* value = nullptr;
        std::string path = std::string("\\StringFileInfo\\040404b0\\") + key;
        EXPECT_TRUE(VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) && length > 1)
            << key;
    }
}

// An icon drawn at its own size on white, with that size: the way to compare icons that the
// window manager may have copied (Wine keeps copies of a class's icons).
struct IconPixels {
    int width = 0, height = 0;
    std::vector<DWORD> pixels;
    bool operator==(const IconPixels& other) const {
        return width == other.width && height == other.height && pixels == other.pixels;
    }
};

IconPixels Draw(HICON icon, int width = 0, int height = 0) {
    IconPixels drawn;
    ICONINFO info = {};
    if (!GetIconInfo(icon, &info)) return drawn;
    BITMAP bitmap = {};
    GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    drawn.width = width ? width : bitmap.bmWidth;
    drawn.height = height ? height : (info.hbmColor ? bitmap.bmHeight : bitmap.bmHeight / 2);
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof(format.bmiHeader);
    format.bmiHeader.biWidth = drawn.width;
    format.bmiHeader.biHeight = -drawn.height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP target = CreateDIBSection(dc, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, target);
    DWORD* pixels = static_cast<DWORD*>(bits);
    std::fill(pixels, pixels + drawn.width * drawn.height, 0xFFFFFFu);
    DrawIconEx(dc, 0, 0, icon, drawn.width, drawn.height, 0, nullptr, DI_NORMAL);
    GdiFlush();
    drawn.pixels.assign(pixels, pixels + drawn.width * drawn.height);
    SelectObject(dc, old);
    DeleteObject(target);
    DeleteDC(dc);
    return drawn;
}

// The agent's own class registration, made with the shipped file's resources.
TEST_F(AgentResources, ClassCarriesIconGroups107And108) {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(module);
    lstrcpynA(windowClassName, "Keyvane Utility icon test", sizeof(windowClassName));
    RegisterAgentClass(instance);
    WNDCLASSEXA registered = {};
    registered.cbSize = sizeof(registered);
    ASSERT_TRUE(GetClassInfoExA(instance, windowClassName, &registered)) << GetLastError();
    UnregisterClassA(windowClassName, instance);

    const struct {
        const char* name;
        HICON icon;
        WORD group;
    } cases[] = {{"icon", registered.hIcon, 107}, {"small icon", registered.hIconSm, 108}};
    for (const auto& c : cases) {
        IconPixels seen = Draw(c.icon);
        ASSERT_GT(seen.width, 0) << c.name;
        HICON expected = static_cast<HICON>(
            LoadImageA(instance, MAKEINTRESOURCEA(c.group), IMAGE_ICON, seen.width, seen.height, 0));
        ASSERT_NE(expected, nullptr) << c.name << " error " << GetLastError();
        EXPECT_TRUE(Draw(expected) == seen) << c.name << " is not group " << c.group;
        DestroyIcon(expected);
    }
    // The comparison tells the groups apart: 108 has no 32x32 image of its own.
    HICON big = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(107), IMAGE_ICON, 32, 32, 0));
    HICON small = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(108), IMAGE_ICON, 32, 32, 0));
    EXPECT_FALSE(Draw(big) == Draw(small));
    DestroyIcon(big);
    DestroyIcon(small);
}

}  // namespace
