// A stand-in for the bar, for the driver's own tests: a modal dialog of the same window class,
// font and kind of controls, run by the system's dialog manager just as the bar is.
//
//   (no argument or any text)  the dialog; slot 1005 shows the text, slot 1006 counts "tick N"
//   --hidden-exit              ends with code 7 after 300 ms without ever showing a window
//   --flash                    shows a plain window for about 60 ms, then ends with code 8
//   --font                     the dialog with Japanese texts, for looking at the font
//
// The dialog ends with 11 for OK (Enter), 12 for cancel (Escape), 13 for the exit button.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kIdExit = 1004;
constexpr int kIdTopMost = 1001;
constexpr int kIdSaveIni = 1002;
constexpr int kIdIndicator = 1003;
constexpr int kIdSlot0 = 1005;
constexpr int kSlots = 4;
constexpr UINT_PTR kTickTimer = 1;

std::string g_tail;
bool g_japanese = false;
int g_ticks = 0;

// Builds a DLGTEMPLATE in memory: header, then the items, each DWORD-aligned.
class TemplateBuilder {
public:
    void Header(DWORD style, DWORD exStyle, short cx, short cy, int items, const wchar_t* font,
                WORD points) {
        DLGTEMPLATE t{};
        t.style = style;
        t.dwExtendedStyle = exStyle;
        t.cdit = static_cast<WORD>(items);
        t.cx = cx;
        t.cy = cy;
        Raw(&t, sizeof t);
        Word(0);  // no menu
        Word(0);  // the dialog class
        Word(0);  // empty title
        Word(points);
        Text(font);
    }

    void Item(DWORD style, DWORD exStyle, short x, short y, short cx, short cy, int id, WORD atom) {
        Align();
        DLGITEMTEMPLATE it{};
        it.style = style;
        it.dwExtendedStyle = exStyle;
        it.x = x;
        it.y = y;
        it.cx = cx;
        it.cy = cy;
        it.id = static_cast<WORD>(id);
        Raw(&it, sizeof it);
        Word(0xFFFF);
        Word(atom);
        Word(0);  // empty text
        Word(0);  // no creation data
    }

    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(buf_.data()); }

private:
    void Raw(const void* p, std::size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        buf_.insert(buf_.end(), b, b + n);
    }
    void Word(WORD w) { Raw(&w, sizeof w); }
    void Text(const wchar_t* s) {
        for (; *s != L'\0'; ++s) {
            Word(static_cast<WORD>(*s));
        }
        Word(0);
    }
    void Align() {
        while (buf_.size() % 4 != 0) {
            buf_.push_back(0);
        }
    }

    std::vector<unsigned char> buf_;
};

INT_PTR CALLBACK DialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
    switch (msg) {
        case WM_INITDIALOG:
            SetWindowTextA(dlg, ("FAKE - " + g_tail).c_str());
            if (g_japanese) {
                SetDlgItemTextW(dlg, kIdSlot0,
                                L"\x30B4\x30B7\x30C3\x30AF\x4F53 \x65E5\x672C\x8A9E");
                SetDlgItemTextW(dlg, kIdSlot0 + 1, L"\xFF8A\xFF9E\xFF70\xFF7C\xFF9E\xFF6E\xFF9D");
                SetDlgItemTextW(dlg, kIdSlot0 + 2, L"\x6E29\x5EA6 45.0");
                SetDlgItemTextW(dlg, kIdSlot0 + 3, L"ABC abc 123");
            } else {
                SetDlgItemTextA(dlg, kIdSlot0, g_tail.c_str());
                SetTimer(dlg, kTickTimer, 100, nullptr);
            }
            SendDlgItemMessageA(dlg, kIdSaveIni, BM_SETCHECK, BST_CHECKED, 0);
            SetFocus(GetDlgItem(dlg, kIdTopMost));
            return FALSE;
        case WM_TIMER:
            ++g_ticks;
            SetDlgItemTextA(dlg, kIdSlot0 + 1, ("tick " + std::to_string(g_ticks)).c_str());
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wp)) {
                case IDOK:
                    EndDialog(dlg, 11);
                    return TRUE;
                case IDCANCEL:
                    EndDialog(dlg, 12);
                    return TRUE;
                case kIdExit:
                    EndDialog(dlg, 13);
                    return TRUE;
                default:
                    return FALSE;
            }
        default:
            return FALSE;
    }
}

int RunDialog(HINSTANCE inst) {
    const DWORD kChildButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
    TemplateBuilder t;
    const short width = g_japanese ? 400 : 200;
    t.Header(WS_POPUP | WS_VISIBLE | DS_MODALFRAME | DS_SETFONT, WS_EX_TOOLWINDOW, width, 12,
             4 + kSlots, L"\xFF2D\xFF33 \x30B4\x30B7\x30C3\x30AF", 9);
    t.Item(kChildButton | BS_PUSHBUTTON, WS_EX_STATICEDGE, 36, 0, 10, 10, kIdExit, 0x0080);
    t.Item(kChildButton | BS_PUSHLIKE | BS_AUTOCHECKBOX, WS_EX_STATICEDGE, 0, 0, 10, 10, kIdTopMost,
           0x0080);
    t.Item(kChildButton | BS_PUSHLIKE | BS_AUTOCHECKBOX, WS_EX_STATICEDGE, 12, 0, 10, 10,
           kIdSaveIni, 0x0080);
    t.Item(kChildButton | BS_PUSHBUTTON, WS_EX_STATICEDGE, 24, 0, 10, 10, kIdIndicator, 0x0080);
    const short slotWidth = static_cast<short>((width - 48) / kSlots - 2);
    for (int s = 0; s < kSlots; ++s) {
        t.Item(WS_CHILD | WS_VISIBLE | WS_GROUP | SS_SUNKEN | SS_CENTERIMAGE | SS_LEFT, 0,
               static_cast<short>(48 + (slotWidth + 2) * s), 0, slotWidth, 10, kIdSlot0 + s,
               0x0082);
    }
    return static_cast<int>(DialogBoxIndirectParamA(inst, t.Get(), nullptr, DialogProc, 0));
}

int Flash(HINSTANCE inst) {
    HWND w = CreateWindowExA(0, "STATIC", "flash", WS_POPUP | WS_VISIBLE, 10, 10, 100, 20, nullptr,
                             nullptr, inst, nullptr);
    const DWORD until = GetTickCount() + 60;
    MSG m;
    while (GetTickCount() < until) {
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&m);
        }
        Sleep(5);
    }
    DestroyWindow(w);
    return 8;
}

}  // namespace

int WINAPI WinMain(HINSTANCE inst, HINSTANCE, LPSTR cmdLine, int) {
    g_tail = cmdLine != nullptr ? cmdLine : "";
    if (g_tail == "--hidden-exit") {
        Sleep(300);
        return 7;
    }
    if (g_tail == "--flash") {
        return Flash(inst);
    }
    g_japanese = g_tail == "--font";
    return RunDialog(inst);
}
