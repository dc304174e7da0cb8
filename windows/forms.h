#pragma once

#include <QString>

class Dialogs;
class Form1;
class Form2;
class Form3;
class UpdateRun;

// What a window needs of the program around it: the update run it shows; the other windows,
// each created the first time it is asked for and kept until the end; the message boxes; the
// list's address; and the end of the program. Every event procedure asks isEnding() first, since
// events already queued can still arrive after the end has begun.
class Forms
{
public:
    virtual ~Forms() = default;

    virtual UpdateRun& run() = 0;
    virtual Form1& form1() = 0;
    virtual Form2& form2() = 0;
    virtual Form3& form3() = 0;
    virtual Dialogs& dialogs() = 0;
    virtual QString listUrl() const = 0;

    virtual bool isEnding() const = 0;
    // Stops every timer and transfer, closes every window, and ends the event loop.
    virtual void endProgram() = 0;
};
