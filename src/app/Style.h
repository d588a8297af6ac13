#pragma once

#include <QPixmap>
#include <QString>

// The dark slate-grey look shared by the main window and the terms dialog.
QString OrvaneStyleSheet();

// The product logo rendered at ASize x ASize device-independent pixels.
QPixmap OrvaneLogo(int ASize, qreal ADevicePixelRatio = 1.0);
