// Reading a tray picture back: the tray unit test and the in-process bar test both tell the
// pictures apart by their colours.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

namespace vorn::test {

// How many pixels of the picture have exactly this colour; -1 for a dead handle.
inline int PixelsOfColour(HICON icon, COLORREF colour) {
    ICONINFO ii{};
    if (icon == nullptr || !GetIconInfo(icon, &ii))
        return -1;
    BITMAP bm{};
    GetObjectA(ii.hbmColor, sizeof bm, &bm);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = bm.bmWidth;
    bi.bmiHeader.biHeight = -bm.bmHeight;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    std::vector<RGBQUAD> px(static_cast<std::size_t>(bm.bmWidth) * bm.bmHeight);
    HDC dc = GetDC(nullptr);
    const int rows =
        px.empty() ? 0 : GetDIBits(dc, ii.hbmColor, 0, bm.bmHeight, px.data(), &bi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    DeleteObject(ii.hbmColor);
    DeleteObject(ii.hbmMask);
    if (rows != bm.bmHeight)
        return -1;
    int n = 0;
    for (const RGBQUAD& q : px)
        n += RGB(q.rgbRed, q.rgbGreen, q.rgbBlue) == colour;
    return n;
}

}  // namespace vorn::test
