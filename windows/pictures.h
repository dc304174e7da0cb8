#pragma once

#include <QIcon>

// The program's pictures, each drawn at its own size and at twice that size, so that they stay
// sharp on screens scaled to 200 %.
namespace Pictures {

// The program's icon, 48 and 96 pixels.
QIcon icon();
// One frame of the wait animation, 60 and 120 pixels.
QIcon frame(int index);

} // namespace Pictures
