#pragma once

class QWidget;

// Places a window in the middle of the screen it will be shown on.
void centreOnScreen(QWidget& window);
