#pragma once

// Makes screen readers announce the program's own windows as what they are: a window that is
// a dialog (the download and search windows) as a dialog, the others (the lists window) as a
// window. Qt gives a plain QWidget window the role of a client area, which AT-SPI shows as a
// "filler" that a screen reader passes over. Call once after the application object exists
// and before any window is created.
void installWindowAccessibility();
