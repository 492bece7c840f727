// The main window's own icon, drawn here: the white postal mark on red.
#pragma once

#include <QIcon>

// Needs the application object (the icon holds pixmaps).
QIcon WindowIcon();
