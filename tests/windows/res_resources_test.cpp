// The program's resources as windres built them, read back from this test program, which
// links the same resource object as VORNBAR.exe.
#include "res/resource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

const WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);

HMODULE Module() {
    return GetModuleHandleW(nullptr);
}

std::wstring Wide(const char* utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, &out[0], n);
    return out;
}

// The number of a predefined resource type (RT_ICON and friends).
WORD Type(LPCSTR rt) {
    return static_cast<WORD>(reinterpret_cast<ULONG_PTR>(rt));
}

std::vector<BYTE> Resource(LPCSTR type, WORD id) {
    HRSRC r =
        FindResourceExW(Module(), MAKEINTRESOURCEW(Type(type)), MAKEINTRESOURCEW(id), kJapanese);
    if (!r)
        return {};
    const BYTE* p = static_cast<const BYTE*>(LockResource(LoadResource(Module(), r)));
    return std::vector<BYTE>(p, p + SizeofResource(Module(), r));
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD lang, LONG_PTR out) {
    reinterpret_cast<std::vector<WORD>*>(out)->push_back(lang);
    return TRUE;
}

std::vector<WORD> Languages(LPCSTR type, WORD id) {
    std::vector<WORD> langs;
    EnumResourceLanguagesW(Module(), MAKEINTRESOURCEW(Type(type)), MAKEINTRESOURCEW(id),
                           CollectLanguage, reinterpret_cast<LONG_PTR>(&langs));
    return langs;
}

// Little-endian reader over a resource.
class Reader {
public:
    explicit Reader(const std::vector<BYTE>& data) : m_data(data) {}
    bool Ok() const { return m_ok; }
    size_t Pos() const { return m_pos; }
    BYTE Byte() { return Take(1) ? m_data[m_pos - 1] : 0; }
    WORD Word() {
        return Take(2) ? static_cast<WORD>(m_data[m_pos - 2] | m_data[m_pos - 1] << 8) : 0;
    }
    DWORD DWord() {
        const DWORD lo = Word();
        return lo | static_cast<DWORD>(Word()) << 16;
    }
    short Short() { return static_cast<short>(Word()); }
    void AlignDWord() {
        while (m_pos % 4 && Take(1)) {
        }
    }
    void Skip(size_t n) { Take(n); }
    // A name or an ordinal: 0xFFFF then the number, or a NUL-terminated UTF-16 text.
    std::pair<int, std::wstring> SzOrOrd() {
        WORD w = Word();
        if (w == 0xFFFF)
            return {Word(), L""};
        std::wstring s;
        while (m_ok && w != 0) {
            s += static_cast<wchar_t>(w);
            w = Word();
        }
        return {-1, s};
    }

private:
    bool Take(size_t n) {
        if (!m_ok || m_pos + n > m_data.size()) {
            m_ok = false;
            return false;
        }
        m_pos += n;
        return true;
    }
    const std::vector<BYTE>& m_data;
    size_t m_pos = 0;
    bool m_ok = true;
};

// --- Icons ------------------------------------------------------------------------------

struct GroupEntry {
    int width, height, colours, bitCount;
    DWORD bytes;
    WORD iconId;
};

std::vector<GroupEntry> IconGroup(WORD id) {
    const std::vector<BYTE> data = Resource(RT_GROUP_ICON, id);
    Reader r(data);
    std::vector<GroupEntry> entries;
    if (r.Word() != 0 || r.Word() != 1)
        return entries;
    const WORD count = r.Word();
    for (WORD i = 0; i < count && r.Ok(); ++i) {
        GroupEntry e;
        e.width = r.Byte();
        e.height = r.Byte();
        e.colours = r.Byte();
        r.Byte();
        r.Word();  // planes
        e.bitCount = r.Word();
        e.bytes = r.DWord();
        e.iconId = r.Word();
        if (r.Ok())
            entries.push_back(e);
    }
    return entries;
}

struct Image {
    int width = 0, height = 0, bpp = 0;
    DWORD compression = ~0u;
    std::vector<RGBQUAD> palette;
    std::vector<int> index;   // row 0 at the top
    std::vector<bool> clear;  // AND mask: true = transparent
    std::vector<BYTE> raw;

    COLORREF Colour(int x, int y) const {
        const RGBQUAD q = palette[index[y * width + x]];
        return RGB(q.rgbRed, q.rgbGreen, q.rgbBlue);
    }
    bool Clear(int x, int y) const { return clear[y * width + x]; }
};

Image IconImage(WORD iconId) {
    Image img;
    img.raw = Resource(RT_ICON, iconId);
    Reader r(img.raw);
    const DWORD headerSize = r.DWord();
    img.width = static_cast<int>(r.DWord());
    img.height = static_cast<int>(r.DWord()) / 2;  // colour rows and mask rows
    r.Word();
    img.bpp = r.Word();
    img.compression = r.DWord();
    r.Skip(headerSize - 20);
    if (!r.Ok() || headerSize != sizeof(BITMAPINFOHEADER) || (img.bpp != 4 && img.bpp != 8) ||
        img.width <= 0 || img.width > 256)
        return Image();
    for (int i = 0; i < (1 << img.bpp); ++i) {
        RGBQUAD q;
        q.rgbBlue = r.Byte();
        q.rgbGreen = r.Byte();
        q.rgbRed = r.Byte();
        q.rgbReserved = r.Byte();
        img.palette.push_back(q);
    }
    const int w = img.width, h = img.height;
    const size_t colourStride = ((w * img.bpp + 31) / 32) * 4;
    const size_t maskStride = ((w + 31) / 32) * 4;
    const size_t colourAt = r.Pos();
    const size_t maskAt = colourAt + colourStride * h;
    if (maskAt + maskStride * h > img.raw.size())
        return Image();
    img.index.assign(w * h, 0);
    img.clear.assign(w * h, false);
    for (int y = 0; y < h; ++y) {
        const BYTE* row = &img.raw[colourAt + colourStride * (h - 1 - y)];
        const BYTE* mask = &img.raw[maskAt + maskStride * (h - 1 - y)];
        for (int x = 0; x < w; ++x) {
            img.index[y * w + x] =
                img.bpp == 8 ? row[x] : (x % 2 ? row[x / 2] & 0xF : row[x / 2] >> 4);
            img.clear[y * w + x] = (mask[x / 8] >> (7 - x % 8)) & 1;
        }
    }
    return img;
}

// The standard 16-colour palette.
const COLORREF kStandard16[16] = {
    RGB(0, 0, 0),       RGB(128, 0, 0),   RGB(0, 128, 0),   RGB(128, 128, 0),
    RGB(0, 0, 128),     RGB(128, 0, 128), RGB(0, 128, 128), RGB(192, 192, 192),
    RGB(128, 128, 128), RGB(255, 0, 0),   RGB(0, 255, 0),   RGB(255, 255, 0),
    RGB(0, 0, 255),     RGB(255, 0, 255), RGB(0, 255, 255), RGB(255, 255, 255),
};

struct TrayPicture {
    WORD id;
    COLORREF bright, dark;
};
const TrayPicture kTrayPictures[] = {
    {IDI_TRAY_IDLE, RGB(255, 0, 0), RGB(128, 0, 0)},
    {IDI_TRAY_OK, RGB(0, 255, 0), RGB(0, 128, 0)},
    {IDI_TRAY_ERROR, RGB(255, 0, 255), RGB(128, 0, 128)},
};

// 0 transparent, 1 bright, 2 dark, 3 any other colour.
std::vector<int> Pattern(const Image& img, COLORREF bright, COLORREF dark) {
    std::vector<int> p;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            if (img.Clear(x, y))
                p.push_back(0);
            else if (img.Colour(x, y) == bright)
                p.push_back(1);
            else if (img.Colour(x, y) == dark)
                p.push_back(2);
            else
                p.push_back(3);
        }
    return p;
}

Image OnlyImage(WORD group) {
    const std::vector<GroupEntry> entries = IconGroup(group);
    return entries.size() == 1 ? IconImage(entries[0].iconId) : Image();
}

TEST(ResourceIcons, TrayPicturesAreOneSixteenPixelSixteenColourImageEach) {
    for (const TrayPicture& t : kTrayPictures) {
        const std::vector<GroupEntry> entries = IconGroup(t.id);
        ASSERT_EQ(entries.size(), 1u) << t.id;
        EXPECT_EQ(entries[0].width, 16) << t.id;
        EXPECT_EQ(entries[0].height, 16) << t.id;
        EXPECT_EQ(entries[0].bitCount, 4) << t.id;
        EXPECT_EQ(entries[0].colours, 16) << t.id;
        const Image img = IconImage(entries[0].iconId);
        EXPECT_EQ(img.width, 16) << t.id;
        EXPECT_EQ(img.height, 16) << t.id;
        EXPECT_EQ(img.bpp, 4) << t.id;
        EXPECT_EQ(img.compression, static_cast<DWORD>(BI_RGB)) << t.id;
        EXPECT_EQ(entries[0].bytes, img.raw.size()) << t.id;
        ASSERT_EQ(img.palette.size(), 16u) << t.id;
        for (int i = 0; i < 16; ++i) {
            const RGBQUAD q = img.palette[i];
            EXPECT_EQ(RGB(q.rgbRed, q.rgbGreen, q.rgbBlue), kStandard16[i])
                << t.id << " palette entry " << i;
        }
    }
}

TEST(ResourceIcons, TrayPicturesShareOneMaskAndOneBrightDarkPattern) {
    std::vector<std::vector<int>> patterns;
    for (const TrayPicture& t : kTrayPictures) {
        const Image img = OnlyImage(t.id);
        ASSERT_EQ(img.width, 16) << t.id;
        patterns.push_back(Pattern(img, t.bright, t.dark));
        const std::vector<int>& p = patterns.back();
        EXPECT_EQ(std::count(p.begin(), p.end(), 3), 0) << t.id << ": a colour other than its two";
        EXPECT_GT(std::count(p.begin(), p.end(), 1), 20) << t.id;
        EXPECT_GT(std::count(p.begin(), p.end(), 2), 20) << t.id;
    }
    EXPECT_EQ(patterns[1], patterns[0]);
    EXPECT_EQ(patterns[2], patterns[0]);
}

TEST(ResourceIcons, PicturesAreTransparentOutsideTheRingAndOpaqueInside) {
    std::vector<std::pair<WORD, Image>> images;
    for (const GroupEntry& e : IconGroup(IDR_MAINFRAME))
        images.emplace_back(IDR_MAINFRAME, IconImage(e.iconId));
    for (const TrayPicture& t : kTrayPictures)
        images.emplace_back(t.id, OnlyImage(t.id));
    ASSERT_EQ(images.size(), 7u);
    for (const auto& entry : images) {
        const Image& img = entry.second;
        ASSERT_GT(img.width, 0) << entry.first;
        const double c = img.width / 2.0;
        int inside = 0, opaqueInside = 0;
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x) {
                const double d = std::hypot(x + 0.5 - c, y + 0.5 - c);
                if (d > c + 0.5) {
                    EXPECT_TRUE(img.Clear(x, y)) << entry.first << " at " << x << "," << y;
                }
                if (d < c * 0.7) {
                    ++inside;
                    opaqueInside += !img.Clear(x, y);
                }
            }
        EXPECT_EQ(opaqueInside, inside) << entry.first << " " << img.width << "x" << img.bpp;
        EXPECT_TRUE(img.Clear(0, 0) && img.Clear(img.width - 1, img.height - 1)) << entry.first;
    }
}

TEST(ResourceIcons, ApplicationIconHasFourImagesInRedTones) {
    const std::vector<GroupEntry> entries = IconGroup(IDR_MAINFRAME);
    std::set<std::pair<int, int>> kinds;
    for (const GroupEntry& e : entries) {
        EXPECT_EQ(e.width, e.height);
        kinds.insert({e.width, e.bitCount});
        const Image img = IconImage(e.iconId);
        EXPECT_EQ(img.width, e.width);
        EXPECT_EQ(img.bpp, e.bitCount);
        EXPECT_EQ(e.colours, e.bitCount == 4 ? 16 : 0);
        bool orangeRed = false, pink = false;
        int bright = 0, dark = 0;
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x) {
                if (img.Clear(x, y))
                    continue;
                const COLORREF c = img.Colour(x, y);
                const int r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
                bright += c == RGB(255, 0, 0);
                dark += c == RGB(128, 0, 0);
                orangeRed = orangeRed || (r == 255 && g > 20 && g < 128 && b < g);
                pink = pink || (r == 255 && g >= 128 && b >= 128 && c != RGB(255, 255, 255));
                if (e.bitCount == 4) {
                    EXPECT_TRUE(c == RGB(255, 0, 0) || c == RGB(128, 0, 0))
                        << e.width << " at " << x << "," << y;
                }
            }
        EXPECT_GT(bright, 0) << e.width << "x" << e.bitCount;
        EXPECT_GT(dark, 0) << e.width << "x" << e.bitCount;
        if (e.bitCount == 8) {
            EXPECT_TRUE(orangeRed) << e.width << ": orange-red tone";
            EXPECT_TRUE(pink) << e.width << ": pink tone";
        }
    }
    const std::set<std::pair<int, int>> expected = {{32, 4}, {16, 4}, {32, 8}, {16, 8}};
    EXPECT_EQ(entries.size(), 4u);
    EXPECT_EQ(kinds, expected);
}

TEST(ResourceIcons, IdlePictureIsTheApplicationIconsSmallSixteenColourImage) {
    const std::vector<GroupEntry> idle = IconGroup(IDI_TRAY_IDLE);
    ASSERT_EQ(idle.size(), 1u);
    const Image idleImage = IconImage(idle[0].iconId);
    int matches = 0;
    for (const GroupEntry& e : IconGroup(IDR_MAINFRAME))
        if (e.width == 16 && e.bitCount == 4) {
            ++matches;
            EXPECT_EQ(IconImage(e.iconId).raw, idleImage.raw);
        }
    EXPECT_EQ(matches, 1);
}

TEST(ResourceIcons, TrayPicturesLoadAtSixteenPixels) {
    for (const TrayPicture& t : kTrayPictures) {
        HICON icon = static_cast<HICON>(
            LoadImageA(Module(), MAKEINTRESOURCEA(t.id), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
        ASSERT_NE(icon, nullptr) << t.id;
        DestroyIcon(icon);
    }
}

// The alarm picture stands in for the idle one while a reading is past a limit: one 16-pixel
// 16-colour image, told apart from the three ring pictures at a glance by shape and colour.
TEST(ResourceIcons, AlarmPictureIsASixteenPixelImageUnlikeTheRingPictures) {
    const std::vector<GroupEntry> entries = IconGroup(IDI_TRAY_ALARM);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].width, 16);
    EXPECT_EQ(entries[0].bitCount, 4);
    const Image alarm = IconImage(entries[0].iconId);
    ASSERT_EQ(alarm.width, 16);
    ASSERT_EQ(alarm.palette.size(), 16u);
    for (int i = 0; i < 16; ++i) {
        const RGBQUAD q = alarm.palette[i];
        EXPECT_EQ(RGB(q.rgbRed, q.rgbGreen, q.rgbBlue), kStandard16[i]) << i;
    }
    int yellow = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            yellow += !alarm.Clear(x, y) && alarm.Colour(x, y) == RGB(255, 255, 0);
    EXPECT_GT(yellow, 40) << "mostly yellow, a colour no ring picture has";
    for (const TrayPicture& t : kTrayPictures) {
        const Image ring = OnlyImage(t.id);
        ASSERT_EQ(ring.width, 16) << t.id;
        int shapeDiffers = 0, colourDiffers = 0;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) {
                shapeDiffers += ring.Clear(x, y) != alarm.Clear(x, y);
                colourDiffers += !ring.Clear(x, y) && !alarm.Clear(x, y) &&
                                 ring.Colour(x, y) != alarm.Colour(x, y);
            }
        EXPECT_GT(shapeDiffers, 30) << t.id;
        EXPECT_GT(colourDiffers, 60) << t.id;
    }
    HICON icon = static_cast<HICON>(LoadImageA(Module(), MAKEINTRESOURCEA(IDI_TRAY_ALARM),
                                               IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    ASSERT_NE(icon, nullptr);
    DestroyIcon(icon);
}

// --- Dialog templates -------------------------------------------------------------------

struct Control {
    DWORD id, style, exStyle;
    int x, y, cx, cy;
    int classAtom;
    std::wstring className;
    int titleOrdinal;
    std::wstring title;
};

struct Dialog {
    bool ok = false;
    WORD version = 0, signature = 0;
    DWORD helpId = 0, exStyle = 0, style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::pair<int, std::wstring> menu, windowClass;
    std::wstring title;
    WORD pointSize = 0, weight = 0;
    BYTE italic = 0, charset = 0;
    std::wstring face;
    std::vector<Control> controls;
};

Dialog ParseDialogEx(WORD id) {
    const std::vector<BYTE> data = Resource(RT_DIALOG, id);
    Reader r(data);
    Dialog d;
    d.version = r.Word();
    d.signature = r.Word();
    if (d.version != 1 || d.signature != 0xFFFF)
        return d;
    d.helpId = r.DWord();
    d.exStyle = r.DWord();
    d.style = r.DWord();
    const WORD count = r.Word();
    d.x = r.Short();
    d.y = r.Short();
    d.cx = r.Short();
    d.cy = r.Short();
    d.menu = r.SzOrOrd();
    d.windowClass = r.SzOrOrd();
    d.title = r.SzOrOrd().second;
    if (d.style & DS_SETFONT) {
        d.pointSize = r.Word();
        d.weight = r.Word();
        d.italic = r.Byte();
        d.charset = r.Byte();
        d.face = r.SzOrOrd().second;
    }
    for (WORD i = 0; i < count && r.Ok(); ++i) {
        r.AlignDWord();
        Control c;
        r.DWord();  // help id
        c.exStyle = r.DWord();
        c.style = r.DWord();
        c.x = r.Short();
        c.y = r.Short();
        c.cx = r.Short();
        c.cy = r.Short();
        c.id = r.DWord();
        const auto cls = r.SzOrOrd();
        c.classAtom = cls.first;
        c.className = cls.second;
        const auto title = r.SzOrOrd();
        c.titleOrdinal = title.first;
        c.title = title.second;
        r.Skip(r.Word());  // creation data
        d.controls.push_back(c);
    }
    d.ok = r.Ok() && d.controls.size() == count;
    return d;
}

const int kButtonAtom = 0x0080;
const int kStaticAtom = 0x0082;

// The control's class as an atom, whether the template names it by atom or by text.
int ClassAtom(const Control& c) {
    if (c.classAtom >= 0)
        return c.classAtom;
    if (_wcsicmp(c.className.c_str(), L"Button") == 0)
        return kButtonAtom;
    if (_wcsicmp(c.className.c_str(), L"Static") == 0)
        return kStaticAtom;
    return -1;
}

TEST(ResourceDialogs, BarTemplateHasItsStylesSizeAndFont) {
    const Dialog d = ParseDialogEx(IDD_BAR);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.style, 0x900000C0u);
    EXPECT_EQ(d.style, static_cast<DWORD>(WS_POPUP | WS_VISIBLE | DS_MODALFRAME | DS_SETFONT));
    EXPECT_EQ(d.exStyle, 0x00040080u);
    EXPECT_EQ(d.helpId, 0u);
    EXPECT_EQ(d.x, 0);
    EXPECT_EQ(d.y, 0);
    EXPECT_EQ(d.cx, 802);
    EXPECT_EQ(d.cy, 10);
    EXPECT_EQ(d.menu, (std::pair<int, std::wstring>(-1, L"")));
    EXPECT_EQ(d.windowClass, (std::pair<int, std::wstring>(-1, L"")));
    EXPECT_EQ(d.title, L"");
    EXPECT_EQ(d.pointSize, 9);
    EXPECT_EQ(d.weight, 0);
    EXPECT_EQ(d.italic, 0);
    EXPECT_EQ(d.charset, 1);
    EXPECT_EQ(d.face, Wide(u8"ＭＳ ゴシック"));
}

TEST(ResourceDialogs, BarTemplateHasFourButtonsAtTheLeftThenFourteenSlotsInOneRow) {
    const Dialog d = ParseDialogEx(IDD_BAR);
    ASSERT_TRUE(d.ok);
    // Tab order: exit first, then the other buttons, then the slots from left to right.
    std::vector<DWORD> tabOrder = {IDC_EXIT, IDC_TOPMOST, IDC_SAVEINI, IDC_INDICATOR};
    for (int s = 0; s < 14; ++s)
        tabOrder.push_back(static_cast<DWORD>(IDC_SLOT00 + s));
    std::vector<DWORD> ids;
    for (const Control& c : d.controls)
        ids.push_back(c.id);
    ASSERT_EQ(ids, tabOrder);

    const auto find = [&d](DWORD id) -> const Control& {
        for (const Control& c : d.controls)
            if (c.id == id)
                return c;
        return d.controls.front();  // not reached: the order above holds every id
    };
    // From left to right: keep on top, save at exit, status, exit, then the slots; side by
    // side without overlap, the last slot ending at the bar's edge.
    std::vector<DWORD> leftToRight = {IDC_TOPMOST, IDC_SAVEINI, IDC_INDICATOR, IDC_EXIT};
    for (int s = 0; s < 14; ++s)
        leftToRight.push_back(static_cast<DWORD>(IDC_SLOT00 + s));
    EXPECT_EQ(find(leftToRight.front()).x, 0);
    for (size_t i = 1; i < leftToRight.size(); ++i) {
        const Control& before = find(leftToRight[i - 1]);
        const Control& c = find(leftToRight[i]);
        EXPECT_GE(c.x, before.x + before.cx) << c.id << " overlaps " << before.id;
        EXPECT_LE(c.x - (before.x + before.cx), 2) << "a gap before " << c.id;
    }
    const Control& last = find(leftToRight.back());
    EXPECT_EQ(last.x + last.cx, d.cx) << "the last slot ends at the edge";

    for (const Control& c : d.controls) {
        const bool slot = c.id >= IDC_SLOT00 && c.id <= IDC_SLOT13;
        const DWORD kind = c.style & BS_TYPEMASK;
        EXPECT_EQ(c.y, 0) << c.id << ": one row";
        EXPECT_EQ(c.cy, d.cy) << c.id << ": as high as the bar";
        EXPECT_EQ(c.style & (WS_CHILD | WS_VISIBLE), static_cast<DWORD>(WS_CHILD | WS_VISIBLE))
            << c.id;
        EXPECT_EQ(c.titleOrdinal, -1) << c.id;
        EXPECT_EQ(c.title, L"") << c.id << ": no control has text of its own";
        if (slot) {
            EXPECT_EQ(ClassAtom(c), kStaticAtom) << c.id;
            EXPECT_NE(c.style & SS_SUNKEN, 0u) << c.id << ": a sunken slot";
            EXPECT_NE(c.style & SS_CENTERIMAGE, 0u) << c.id << ": text centred in height";
            EXPECT_EQ(c.style & WS_TABSTOP, 0u) << c.id << ": slots take no focus";
            EXPECT_GT(c.cx, 4 * d.cy) << c.id << ": wide enough for a value line";
        } else {
            EXPECT_EQ(ClassAtom(c), kButtonAtom) << c.id;
            EXPECT_NE(c.style & WS_TABSTOP, 0u) << c.id;
            EXPECT_NE(c.exStyle & WS_EX_STATICEDGE, 0u) << c.id << ": a flat tiny button";
            EXPECT_EQ(c.cx, c.cy) << c.id << ": square";
            const bool toggle = c.id == IDC_TOPMOST || c.id == IDC_SAVEINI;
            if (toggle) {
                EXPECT_EQ(kind, static_cast<DWORD>(BS_AUTOCHECKBOX)) << c.id << ": a toggle";
                EXPECT_NE(c.style & BS_PUSHLIKE, 0u) << c.id << ": drawn as a button";
            } else {
                EXPECT_EQ(kind, static_cast<DWORD>(BS_PUSHBUTTON)) << c.id << ": a command";
            }
        }
    }
}

INT_PTR CALLBACK QuietDialog(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

TEST(ResourceDialogs, BarTemplateCreatesItsControlsInTemplateOrder) {
    HWND bar = CreateDialogParamW(Module(), MAKEINTRESOURCEW(IDD_BAR), nullptr, QuietDialog, 0);
    ASSERT_NE(bar, nullptr);
    std::vector<int> ids;
    std::vector<std::wstring> classes;
    for (HWND c = GetWindow(bar, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        ids.push_back(GetDlgCtrlID(c));
        wchar_t name[32] = {};
        GetClassNameW(c, name, 32);
        classes.push_back(name);
    }
    DestroyWindow(bar);
    std::vector<int> expectedIds = {IDC_EXIT, IDC_TOPMOST, IDC_SAVEINI, IDC_INDICATOR};
    for (int s = 0; s < 14; ++s)
        expectedIds.push_back(IDC_SLOT00 + s);
    EXPECT_EQ(ids, expectedIds);
    ASSERT_EQ(classes.size(), 18u);
    for (size_t i = 0; i < 18; ++i)
        EXPECT_EQ(_wcsicmp(classes[i].c_str(), i < 4 ? L"Button" : L"Static"), 0) << i;
}

TEST(ResourceDialogs, AboutTemplateHasItsCaptionStylesAndFont) {
    const Dialog d = ParseDialogEx(IDD_ABOUTBOX);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.title, Wide(u8"バージョン情報"));
    EXPECT_EQ(d.cx, 177);
    EXPECT_EQ(d.cy, 91);
    EXPECT_EQ(d.style, static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
                                          DS_SETFONT | DS_3DLOOK));
    EXPECT_EQ(d.exStyle, static_cast<DWORD>(WS_EX_CLIENTEDGE));
    EXPECT_EQ(d.pointSize, 9);
    EXPECT_EQ(d.face, Wide(u8"ＭＳ ゴシック"));
}

TEST(ResourceDialogs, AboutTemplateHasItsFiveControlsInOrder) {
    const Dialog d = ParseDialogEx(IDD_ABOUTBOX);
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.controls.size(), 5u);
    const DWORD kStatic = 0xFFFFFFFF;  // -1, the id of every static control
    const DWORD centred = SS_CENTER | SS_CENTERIMAGE;
    for (const Control& c : d.controls)
        EXPECT_EQ(c.style & (WS_CHILD | WS_VISIBLE), static_cast<DWORD>(WS_CHILD | WS_VISIBLE));

    const Control& icon = d.controls[0];
    EXPECT_EQ(icon.id, kStatic);
    EXPECT_EQ(ClassAtom(icon), kStaticAtom);
    EXPECT_EQ(icon.style & SS_TYPEMASK, static_cast<DWORD>(SS_ICON));
    EXPECT_EQ(icon.titleOrdinal, IDR_MAINFRAME);
    EXPECT_EQ(std::vector<int>({icon.x, icon.y, icon.cx, icon.cy}),
              std::vector<int>({4, 6, 20, 20}));

    const Control& name = d.controls[1];
    EXPECT_EQ(name.id, kStatic);
    EXPECT_EQ(ClassAtom(name), kStaticAtom);
    EXPECT_EQ(name.style & (SS_TYPEMASK | SS_CENTERIMAGE), centred);
    EXPECT_TRUE(name.style & SS_SUNKEN);
    EXPECT_TRUE(name.style & SS_NOPREFIX);
    EXPECT_EQ(name.title, L"TERVALO PLUGIN");
    EXPECT_EQ(std::vector<int>({name.x, name.y, name.cx, name.cy}),
              std::vector<int>({29, 10, 119, 14}));

    const Control& author = d.controls[2];
    EXPECT_EQ(author.id, kStatic);
    EXPECT_EQ(ClassAtom(author), kStaticAtom);
    EXPECT_EQ(author.style & (SS_TYPEMASK | SS_CENTERIMAGE), centred);
    EXPECT_FALSE(author.title.empty());
    EXPECT_EQ(std::vector<int>({author.x, author.y, author.cx, author.cy}),
              std::vector<int>({38, 50, 100, 8}));

    const Control& ok = d.controls[3];
    EXPECT_EQ(ok.id, static_cast<DWORD>(IDOK));
    EXPECT_EQ(ClassAtom(ok), kButtonAtom);
    EXPECT_EQ(ok.style & BS_TYPEMASK, static_cast<DWORD>(BS_DEFPUSHBUTTON));
    EXPECT_TRUE(ok.style & WS_TABSTOP);
    EXPECT_EQ(ok.title, L"OK");
    EXPECT_EQ(std::vector<int>({ok.x, ok.y, ok.cx, ok.cy}), std::vector<int>({72, 70, 32, 14}));

    const Control& version = d.controls[4];
    EXPECT_EQ(version.id, kStatic);
    EXPECT_EQ(ClassAtom(version), kStaticAtom);
    EXPECT_EQ(version.style & (SS_TYPEMASK | SS_CENTERIMAGE), centred);
    EXPECT_EQ(version.title, L"Version 1.07a");
    EXPECT_EQ(std::vector<int>({version.x, version.y, version.cx, version.cy}),
              std::vector<int>({58, 30, 60, 8}));
}

// --- Menu and string ------------------------------------------------------------------

TEST(ResourceTexts, AboutStringArrivesInHalfWidthKatakana) {
    wchar_t buf[64] = {};
    const int n = LoadStringW(Module(), IDS_ABOUTBOX, buf, 64);
    EXPECT_EQ(std::wstring(buf, n > 0 ? n : 0), Wide(u8"ﾊﾞｰｼﾞｮﾝ情報(&A)..."));
}

TEST(ResourceTexts, HistoryWindowTextsArriveInJapanese) {
    const std::pair<UINT, const char*> texts[] = {
        {IDS_HISTORY_TITLE, u8"履歴 - "},
        {IDS_HISTORY_SPAN0, u8"10分"},
        {IDS_HISTORY_SPAN3, u8"30日"},
        {IDS_HISTORY_FIGURES, u8"最小 %s  平均 %s  最大 %s"},
    };
    for (const auto& t : texts) {
        wchar_t buf[128] = {};
        const int n = LoadStringW(Module(), t.first, buf, 128);
        EXPECT_EQ(std::wstring(buf, n > 0 ? n : 0), Wide(t.second)) << t.first;
    }
    for (UINT id = IDS_HISTORY_LOADING; id <= IDS_HISTORY_UPDATED; ++id) {
        wchar_t buf[128] = {};
        EXPECT_GT(LoadStringW(Module(), id, buf, 128), 0) << id;
    }
}

TEST(ResourceTexts, TrayMenuHasOnePopUpWithNineItems) {
    HMENU menu = LoadMenuW(Module(), MAKEINTRESOURCEW(IDR_TRAYMENU));
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(GetMenuItemCount(menu), 1);
    wchar_t caption[16] = {};
    GetMenuStringW(menu, 0, caption, 16, MF_BYPOSITION);
    EXPECT_STREQ(caption, L"MENU");
    HMENU popup = GetSubMenu(menu, 0);
    ASSERT_NE(popup, nullptr);

    struct Item {
        UINT id;
        const char* text;  // null: separator
    };
    const Item expected[] = {
        {ID_MENU_TOPMOST, u8"常に手前に表示"},     {ID_MENU_STICK, u8"ウィンドウを固定"},
        {ID_MENU_SAVEINI, u8"終了時に設定保存"},   {0, nullptr},
        {ID_MENU_INDICATOR, u8"インジケータ切替"}, {ID_MENU_HISTORY, u8"履歴グラフ"},
        {ID_MENU_ABOUT, u8"バージョン情報"},       {0, nullptr},
        {ID_MENU_EXIT, u8"プログラムの終了"},
    };
    ASSERT_EQ(GetMenuItemCount(popup), 9);
    for (UINT i = 0; i < 9; ++i) {
        wchar_t text[64] = {};
        MENUITEMINFOW mi = {};
        mi.cbSize = sizeof mi;
        mi.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING | MIIM_STATE | MIIM_SUBMENU;
        mi.dwTypeData = text;
        mi.cch = 64;
        ASSERT_TRUE(GetMenuItemInfoW(popup, i, TRUE, &mi)) << i;
        EXPECT_EQ(mi.hSubMenu, nullptr) << i;
        EXPECT_EQ(mi.fState & MFS_CHECKED, 0u) << i;
        if (!expected[i].text) {
            EXPECT_TRUE(mi.fType & MFT_SEPARATOR) << i;
            continue;
        }
        EXPECT_FALSE(mi.fType & MFT_SEPARATOR) << i;
        EXPECT_EQ(mi.wID, expected[i].id) << i;
        EXPECT_EQ(std::wstring(text), Wide(expected[i].text)) << i;
    }
    DestroyMenu(menu);
}

// --- Version, manifest, language ----------------------------------------------------------

std::vector<BYTE> VersionBlock() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    std::vector<BYTE> block(size);
    if (!size || !GetFileVersionInfoW(path, 0, size, block.data()))
        block.clear();
    return block;
}

std::wstring VersionString(std::vector<BYTE>& block, const wchar_t* name) {
    std::wstring path = std::wstring(L"\\StringFileInfo\\041104B0\\") + name;
    void* value = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(block.data(), path.c_str(), &value, &len) || !value)
        return L"<missing>";
    return std::wstring(static_cast<const wchar_t*>(value));
}

TEST(ResourceVersion, FixedPartIsOneSevenZeroOnePrivateBuildApplication) {
    std::vector<BYTE> block = VersionBlock();
    ASSERT_FALSE(block.empty());
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    ASSERT_GE(len, sizeof *fixed);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010007u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010007u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, static_cast<DWORD>(VS_FF_PRIVATEBUILD));
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

TEST(ResourceVersion, OneJapaneseStringTableInUnicode) {
    std::vector<BYTE> block = VersionBlock();
    ASSERT_FALSE(block.empty());
    WORD* translation = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &len));
    ASSERT_EQ(len, 4u);
    EXPECT_EQ(translation[0], 0x0411);
    EXPECT_EQ(translation[1], 0x04B0);

    EXPECT_EQ(VersionString(block, L"FileVersion"), L"1, 7, 0, 1");
    EXPECT_EQ(VersionString(block, L"ProductVersion"), L"1, 7, 0, 1");
    EXPECT_EQ(VersionString(block, L"InternalName"), L"VORNBAR");
    EXPECT_EQ(VersionString(block, L"OriginalFilename"), L"VORNBAR.EXE");
    for (const wchar_t* name :
         {L"CompanyName", L"FileDescription", L"LegalCopyright", L"ProductName", L"PrivateBuild"}) {
        const std::wstring value = VersionString(block, name);
        EXPECT_NE(value, L"<missing>") << name;
        EXPECT_FALSE(value.empty()) << name;
        // Japanese words arrive as Japanese characters, not as mis-decoded bytes.
        EXPECT_TRUE(std::any_of(value.begin(), value.end(), [](wchar_t ch) {
            return ch >= 0x3000 && ch < 0xA000;
        })) << name;
    }
}

TEST(ResourceManifest, DeclaresDpiAwarenessAndSupportedSystemsButNoExecutionLevel) {
    const std::vector<BYTE> data = Resource(RT_MANIFEST, 1);
    ASSERT_FALSE(data.empty());
    const std::string text(data.begin(), data.end());
    EXPECT_NE(text.find("<dpiAware"), std::string::npos);
    EXPECT_NE(text.find(">true</dpiAware>"), std::string::npos);
    EXPECT_NE(text.find(">system</dpiAwareness>"), std::string::npos);
    for (const char* os :
         {"35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
          "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
        EXPECT_NE(text.find(os), std::string::npos) << os;
    EXPECT_EQ(text.find("requestedExecutionLevel"), std::string::npos);
    EXPECT_EQ(text.find("trustInfo"), std::string::npos);
}

TEST(ResourceLanguage, EveryResourceIsJapaneseOnly) {
    std::vector<std::pair<LPCSTR, WORD>> all = {
        {RT_DIALOG, IDD_BAR},
        {RT_DIALOG, IDD_ABOUTBOX},
        {RT_MENU, IDR_TRAYMENU},
        {RT_STRING, static_cast<WORD>(IDS_ABOUTBOX / 16 + 1)},
        {RT_STRING, static_cast<WORD>(IDS_HISTORY_TITLE / 16 + 1)},
        {RT_STRING, static_cast<WORD>(IDS_HISTORY_UPDATED / 16 + 1)},
        {RT_GROUP_ICON, IDR_MAINFRAME},
        {RT_GROUP_ICON, IDI_TRAY_IDLE},
        {RT_GROUP_ICON, IDI_TRAY_OK},
        {RT_GROUP_ICON, IDI_TRAY_ERROR},
        {RT_VERSION, 1},
        {RT_MANIFEST, 1},
    };
    for (WORD group : {IDR_MAINFRAME, IDI_TRAY_IDLE, IDI_TRAY_OK, IDI_TRAY_ERROR})
        for (const GroupEntry& e : IconGroup(group))
            all.push_back({RT_ICON, e.iconId});
    EXPECT_EQ(all.size(), 12u + 7u);
    for (const auto& r : all)
        EXPECT_EQ(Languages(r.first, r.second), std::vector<WORD>{kJapanese})
            << "type " << Type(r.first) << " id " << r.second;
}

}  // namespace
