#pragma once

#include <QImage>
#include <QList>
#include <QRect>
#include <QRgb>

// The launcher's skin, drawn from nothing but code and the Nanum fonts: the
// window surface (bitmap 138), the twelve button images and the icon. The
// geometry below is the window's: the controls sit at these pixels, and the
// picture must leave them room.
namespace skingen {

inline constexpr int SKIN_WIDTH = 600;
inline constexpr int SKIN_HEIGHT = 385;
inline constexpr int BUTTON_WIDTH = 140;
inline constexpr int BUTTON_HEIGHT = 41;
inline constexpr int BAND_TOP = 158;     // the button band: rows 158 to 198
inline constexpr int BAND_BOTTOM = 198;

inline constexpr QRect NOTICE_PANEL{11, 206, 289, 149};
inline constexpr QRect BAR_FILE{339, 257, 217, 9};
inline constexpr QRect BAR_TOTAL{339, 300, 217, 9};
// Status line and counters: the window draws them black on white.
inline constexpr QRect TEXT_RECTS[] = {
    {338, 229, 230, 15},  // status line
    {390, 270, 163, 15},  // current file name
    {430, 285, 123, 15},  // current file bytes
    {430, 315, 123, 15},  // file counter
    {430, 330, 123, 15},  // total bytes
};

// The colour under both progress bars; kept exact through the palette.
inline constexpr QRgb TRACK_COLOUR = 0xFF2B2219u;
inline constexpr QRgb WHITE = 0xFFFFFFFFu;

enum class ButtonState { Normal, Focus, Pressed };

struct CButtonArt {
    int nNormal, nPressed, nFocus;
    int x;
    const char16_t* label;
};

// Options, homepage, game, exit, in the window's order.
inline constexpr CButtonArt BUTTONS[] = {
    {150, 140, 139, 14, u"옵 션"},
    {151, 142, 141, 157, u"홈페이지"},
    {152, 145, 144, 302, u"게임 접속"},
    {153, 147, 146, 446, u"종료"},
};

// nScale 2 draws the same artwork at twice the size, for scaled screens.
QImage DrawButton(const CButtonArt& button, ButtonState state, int nScale = 1);
QImage DrawSkin(int nScale = 1);
QImage DrawIcon(int nSize);

} // namespace skingen
