// Posts one message to the running bar, as the shell or another program would:
//
//   e2e_commands_post [--owned] MESSAGE WPARAM LPARAM
//
// Numbers in C notation (0x8097 for the tray callback). The bar is the visible dialog whose
// title starts with "TERVALO" or, with VORN_BAR_TITLE set, the one with that exact title;
// --owned posts to the visible window that the bar owns (the About box) instead.
// Exits 0 once posted, 1 when no window is found within five seconds, 2 on a usage error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Search {
    const char* title;
    HWND found;
};

struct OwnedSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindOwned(HWND hwnd, LPARAM lp) {
    auto* s = reinterpret_cast<OwnedSearch*>(lp);
    if (IsWindowVisible(hwnd) && GetWindow(hwnd, GW_OWNER) == s->owner) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindBar(HWND hwnd, LPARAM lp) {
    auto* s = reinterpret_cast<Search*>(lp);
    char cls[32] = {};
    char text[256] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    GetWindowTextA(hwnd, text, sizeof text);
    if (!IsWindowVisible(hwnd) || std::strcmp(cls, "#32770") != 0)
        return TRUE;
    const bool match =
        s->title ? std::strcmp(text, s->title) == 0 : std::strncmp(text, "TERVALO", 7) == 0;
    if (match) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    const bool owned = argc == 5 && std::strcmp(argv[1], "--owned") == 0;
    if (argc != 4 && !owned) {
        std::fprintf(stderr, "usage: %s [--owned] MESSAGE WPARAM LPARAM\n", argv[0]);
        return 2;
    }
    argv += owned ? 1 : 0;
    const UINT message = static_cast<UINT>(std::strtoul(argv[1], nullptr, 0));
    const WPARAM wp = static_cast<WPARAM>(std::strtoull(argv[2], nullptr, 0));
    const LPARAM lp = static_cast<LPARAM>(std::strtoll(argv[3], nullptr, 0));
    Search search{std::getenv("VORN_BAR_TITLE"), nullptr};
    for (int i = 0; i < 100 && search.found == nullptr; ++i) {
        EnumWindows(&FindBar, reinterpret_cast<LPARAM>(&search));
        if (search.found == nullptr)
            Sleep(50);
    }
    if (search.found == nullptr) {
        std::fprintf(stderr, "e2e_commands_post: no bar on view\n");
        return 1;
    }
    HWND target = search.found;
    if (owned) {
        OwnedSearch o{search.found, nullptr};
        for (int i = 0; i < 100 && o.found == nullptr; ++i) {
            EnumWindows(&FindOwned, reinterpret_cast<LPARAM>(&o));
            if (o.found == nullptr)
                Sleep(50);
        }
        if (o.found == nullptr) {
            std::fprintf(stderr, "e2e_commands_post: the bar owns no window on view\n");
            return 1;
        }
        target = o.found;
    }
    return PostMessageA(target, message, wp, lp) ? 0 : 1;
}
