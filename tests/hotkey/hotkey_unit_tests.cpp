// The recognition and configuration decisions, called directly.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include <objbase.h>

#include "action_observers.h"
#include "hotkey/raw_input.h"
#include "hotkey/shortcut_action.h"
#include "simulated_keyboard.h"

namespace {

TEST(SupportedKeyboards, EachVendorHasExactlyItsOwnProduct) {
    const struct {
        DWORD vendor, product;
        bool supported;
    } cases[] = {
        {0x04B3, 0x3021, true},  {0x17EF, 0x600B, true},  {0x04F2, 0x0761, true},
        {0x04B3, 0x600B, false}, {0x17EF, 0x3021, false}, {0x04F2, 0x3021, false},
        {0x0761, 0x04F2, false}, {0x0000, 0x0000, false}, {0x104B3, 0x3021, false},
        {0x04B3, 0x13021, false}, {0xFFFF, 0xFFFF, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsSupportedKeyboard(c.vendor, c.product), c.supported) << std::hex << c.vendor << "/" << c.product;
    // A second model of one vendor, after the first: every row is compared, not the vendor's first.
    const KeyboardId twoModels[] = {{0x04B3, 0x3021}, {0x04B3, 0x3025}};
    EXPECT_TRUE(IsKeyboardIn(twoModels, 2, 0x04B3, 0x3025));
    EXPECT_FALSE(IsKeyboardIn(twoModels, 2, 0x04B3, 0x3026));
}

// Places a packet so that it ends exactly at a page that may not be touched: any read past
// its last byte faults instead of passing unnoticed.
class GuardedPacket {
public:
    explicit GuardedPacket(const std::vector<BYTE>& bytes) {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        page_ = system.dwPageSize;
        base_ = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
        data_ = base_ + page_ - bytes.size();
        memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedPacket() { VirtualFree(base_, 0, MEM_RELEASE); }
    const RAWINPUT* get() const { return reinterpret_cast<const RAWINPUT*>(data_); }

private:
    DWORD page_;
    BYTE* base_;
    BYTE* data_;
};

TEST(IsShortcutPacket, ChecksClaimedSizesBeforeReading) {
    HANDLE device = reinterpret_cast<HANDLE>(1);
    const std::vector<BYTE> shortcut = simkb::HidPacket(device, {0x00, 0x01});
    const UINT hidHeader = offsetof(RAWINPUT, data.hid.bRawData);
    auto withHid = [&](DWORD sizeHid, DWORD count) {
        std::vector<BYTE> packet = shortcut;
        RAWINPUT* raw = reinterpret_cast<RAWINPUT*>(packet.data());
        raw->data.hid.dwSizeHid = sizeHid;
        raw->data.hid.dwCount = count;
        return packet;
    };
    const struct {
        const char* name;
        std::vector<BYTE> packet;
        UINT size;  // bytes the caller read; the packet is placed to end there
        bool shortcut;
    } cases[] = {
        {"whole shortcut", shortcut, static_cast<UINT>(shortcut.size()), true},
        {"report cut to one byte", shortcut, static_cast<UINT>(shortcut.size()) - 1, false},
        {"no report bytes", shortcut, hidHeader, false},
        {"HID header cut", shortcut, hidHeader - 1, false},
        {"header only", shortcut, sizeof(RAWINPUTHEADER), false},
        {"nothing", shortcut, 0, false},
        {"size claims one more byte", withHid(3, 1), static_cast<UINT>(shortcut.size()), false},
        {"count claims a second report", withHid(2, 2), static_cast<UINT>(shortcut.size()), false},
        {"huge size", withHid(0xFFFFFFFFu, 1), static_cast<UINT>(shortcut.size()), false},
        {"product wraps to zero", withHid(0x80000000u, 2), static_cast<UINT>(shortcut.size()), false},
        {"no reports", withHid(2, 0), static_cast<UINT>(shortcut.size()), false},
        {"one-byte reports", withHid(1, 2), static_cast<UINT>(shortcut.size()), false},
    };
    for (const auto& c : cases) {
        std::vector<BYTE> visible(c.packet.begin(), c.packet.begin() + c.size);
        GuardedPacket guarded(visible);
        EXPECT_EQ(IsShortcutPacket(guarded.get(), c.size), c.shortcut) << c.name;
    }
}

class ConfigString : public ::testing::Test {
protected:
    // A scratch key of the test's own; the function under test takes any open key.
    void SetUp() override {
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Keyvane tests\\config string", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(key);
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Keyvane tests\\config string");
    }
    HKEY key = nullptr;
};

TEST_F(ConfigString, BufferIsAlwaysTerminatedAndNeverOverrun) {
    const struct {
        const char* name;
        DWORD type;
        std::string stored;  // exact bytes written
        bool ok;
        std::string read;
    } cases[] = {
        {"plain", REG_SZ, std::string("abc", 4), true, "abc"},
        {"expandable", REG_EXPAND_SZ, std::string("%x%", 4), true, "%x%"},
        {"empty", REG_SZ, std::string("", 1), true, ""},
        {"no bytes at all", REG_SZ, std::string(), true, ""},
        {"without terminator", REG_SZ, "abc", true, "abc"},
        {"511 and terminator", REG_SZ, std::string(511, 'a') + '\0', true, std::string(511, 'a')},
        {"511 without terminator", REG_SZ, std::string(511, 'b'), true, std::string(511, 'b')},
        {"512 without terminator", REG_SZ, std::string(512, 'c'), false, ""},
        {"512 and terminator", REG_SZ, std::string(512, 'd') + '\0', false, ""},
        {"far too long", REG_SZ, std::string(5000, 'e') + '\0', false, ""},
        {"number", REG_DWORD, std::string("\x01\x02\x03\x04", 4), false, ""},
        {"binary", REG_BINARY, std::string("abc", 4), false, ""},
        {"multi-string", REG_MULTI_SZ, std::string("a\0b\0\0", 5), false, ""},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(RegSetValueExA(key, "Value", 0, c.type, reinterpret_cast<const BYTE*>(c.stored.data()),
                                 static_cast<DWORD>(c.stored.size())),
                  ERROR_SUCCESS)
            << c.name;
        // A guard byte right after the buffer shows a terminator written one past its end.
        struct {
            char buffer[ConfigValueBufferSize];
            char guard;
        } read;
        memset(&read, '#', sizeof(read));
        EXPECT_EQ(ReadConfigString(key, "Value", read.buffer), c.ok) << c.name;
        EXPECT_EQ(std::string(read.buffer, strnlen(read.buffer, sizeof(read.buffer))), c.read) << c.name;
        EXPECT_NE(memchr(read.buffer, '\0', sizeof(read.buffer)), nullptr) << c.name << ": not terminated";
        EXPECT_EQ(read.guard, '#') << c.name << ": written past the buffer";
    }
    char buffer[ConfigValueBufferSize];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_FALSE(ReadConfigString(key, "Missing", buffer));
    EXPECT_EQ(buffer[0], '\0');
}

// Windows hands over a string that fills the buffer exactly without adding a terminator; Wine's
// registry refuses it before the agent's own check is reached, so the read answers as Windows does.
TEST(ConfigStringAsWindowsAnswers, ValueThatFillsTheBufferIsRefusedWithoutWritingPastIt) {
    static std::string stored;
    configReads.queryValue = [](HKEY, LPCSTR, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) -> LSTATUS {
        *type = REG_SZ;
        const DWORD needed = static_cast<DWORD>(stored.size());
        const bool fits = *size >= needed;
        if (fits) memcpy(data, stored.data(), needed);
        *size = needed;
        return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
    };
    const struct {
        std::string stored;
        bool ok;
        std::string read;
    } cases[] = {
        {std::string(512, 'c'), false, ""},
        {std::string(511, 'b'), true, std::string(511, 'b')},
        {std::string(510, 'a') + '\0', true, std::string(510, 'a')},
        {std::string(513, 'd'), false, ""},
        {"", true, ""},
    };
    for (const auto& c : cases) {
        stored = c.stored;
        struct {
            char buffer[ConfigValueBufferSize];
            char guard;
        } read;
        memset(&read, '#', sizeof(read));
        EXPECT_EQ(ReadConfigString(nullptr, "Value", read.buffer), c.ok) << c.stored.size();
        EXPECT_EQ(std::string(read.buffer, strnlen(read.buffer, sizeof(read.buffer))), c.read) << c.stored.size();
        EXPECT_NE(memchr(read.buffer, '\0', sizeof(read.buffer)), nullptr) << c.stored.size() << ": not terminated";
        EXPECT_EQ(read.guard, '#') << c.stored.size() << " bytes: written past the buffer";
    }
    configReads.queryValue = RegQueryValueExA;
}

// Every path through the handler releases the packet buffer.
TEST(HandleRawInput, ReleasesTheBufferOnEveryPath) {
    simkb::Install();
    HANDLE unsupported = simkb::AddDevice(0x1234, 0x5678);
    HANDLE supported = simkb::AddDevice(0x04B3, 0x3021);
    simkb::Faults shortCopy;
    shortCopy.copyReturnsLess = true;
    const struct {
        std::vector<BYTE> packet;
        simkb::Faults faults;
    } paths[] = {
        {simkb::HidPacket(unsupported, {0x00, 0x01}), {}},
        {simkb::HidPacket(supported, {0x01, 0x01}), {}},
        {simkb::HidPacket(simkb::UnknownDevice, {0x00, 0x01}), {}},
        {simkb::OtherPacket(supported, RIM_TYPEMOUSE), {}},
        {simkb::HidPacket(supported, {0x00, 0x01}), shortCopy},
    };
    auto busyBlocks = [] {
        PROCESS_HEAP_ENTRY entry = {};
        size_t busy = 0;
        HeapLock(GetProcessHeap());
        while (HeapWalk(GetProcessHeap(), &entry)) busy += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0;
        HeapUnlock(GetProcessHeap());
        return busy;
    };
    std::vector<HRAWINPUT> inputs;
    const int Rounds = 400;
    for (int round = 0; round < Rounds; ++round)
        for (const auto& path : paths) inputs.push_back(simkb::Queue(path.packet, path.faults));
    size_t before = busyBlocks();
    for (HRAWINPUT input : inputs) HandleRawInput(input);
    size_t after = busyBlocks();
    EXPECT_LT(after, before + Rounds / 4) << "busy heap blocks before " << before << ", after " << after;
    EXPECT_EQ(simkb::ReadCounts().copies, static_cast<int>(inputs.size()));
    simkb::Uninstall();
}

// The resident agent pays for COM only once a launch is due, then in the apartment the shell needs.
TEST(LaunchConfiguredApp, InitialisesComOnTheLaunchingThreadAtTheFirstLaunch) {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    ASSERT_EQ(CoGetApartmentType(&type, &qualifier), CO_E_NOTINITIALIZED);
    observe::LaunchLog launches;
    ASSERT_TRUE(observe::WriteConfig({{"File", REG_SZ, observe::LaunchTargetPath()}}));
    LaunchConfiguredApp();
    EXPECT_EQ(launches.WaitForLines(1), std::vector<std::string>{"launch_target.exe|"});
    observe::DeleteConfig();
    ASSERT_EQ(CoGetApartmentType(&type, &qualifier), S_OK);
    EXPECT_TRUE(type == APTTYPE_MAINSTA || type == APTTYPE_STA) << "apartment type " << type;
}

}  // namespace
