#pragma once
// The pictures the program shows: the main window's connection indicator and its own icon.

#include <QColor>
#include <QIcon>
#include <QPixmap>

enum class TConnectionPicture {
    idle,       // offline: a pale blue lamp
    connected,  // online: a green lamp
    activity,   // traffic: a red lamp
};

// The grey the indicator pictures are drawn on, the face colour of the window around them.
inline constexpr QColor pictureBackground{212, 208, 200};

// A 32 x 32 picture of the connection indicator.
QPixmap connectionPicture(TConnectionPicture which);

// The program's icon, in 48 and 128 pixels.
QIcon programIcon();
