#include "windows/centring.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

void centreOnScreen(QWidget& window)
{
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect placed(QPoint(), window.size());
    placed.moveCenter(screen->availableGeometry().center());
    window.move(placed.topLeft());
}
