#pragma once

#include "internettransfer.h"

#include <QTimer>
#include <QWidget>
#include <array>

class Forms;
class QLabel;
class QPushButton;
class TextBox;

// The download window: shown at the start, it fetches the server's list under a wait animation
// and hands over to the lists window. Cancel ends the program at any time.
class Form1 final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form1)

public:
    static constexpr int frameCount = 14;

    explicit Form1(Forms& forms);
    ~Form1() override;

    QString GetHTML(const QString& WWW_Adresse);
    void stopTimers();

    QLabel* Image2;
    std::array<QLabel*, frameCount> Image1{};
    QLabel* Label1;
    TextBox* Text1;
    QPushButton* Command1;
    InternetTransfer Inet1;
    QTimer Timer1;
    QTimer Timer2;

    // The event procedures, one per timer tick or click; public so a test can drive them.
    void Timer1_Timer();
    void Timer2_Timer();
    void Command1_Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    Forms& m_forms;
};
