#pragma once

#include "forms.h"
#include "updaterun.h"

#include <QObject>
#include <QString>
#include <memory>

// The running program: creates each window the first time it is needed, keeps it until the
// end, and ends everything at once.
class Program final : public QObject, public Forms
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Program)

public:
    Program(Dialogs& dialogs, QString listUrl, QObject* parent = nullptr);
    ~Program() override;

    // The list's address: the build's own, unless CAMUPDATE_LIST_URL names a mirror.
    static QString configuredListUrl();

    // Shows the download window; its timers start the run.
    void start();

    UpdateRun& run() override { return m_run; }
    Form1& form1() override;
    Form2& form2() override;
    Form3& form3() override;
    Dialogs& dialogs() override { return m_dialogs; }
    QString listUrl() const override { return m_listUrl; }
    bool isEnding() const override { return m_ending; }
    void endProgram() override;

    bool hasForm2() const { return m_form2 != nullptr; }
    bool hasForm3() const { return m_form3 != nullptr; }

Q_SIGNALS:
    // The program has ended; the event loop should stop with this code.
    void ended(int exitCode);

private:
    Dialogs& m_dialogs;
    QString m_listUrl;
    UpdateRun m_run;
    std::unique_ptr<Form1> m_form1;
    std::unique_ptr<Form2> m_form2;
    std::unique_ptr<Form3> m_form3;
    bool m_ending = false;
};
